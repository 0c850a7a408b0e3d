"""What both Wine benches check and set before they start."""

import os

import kvnet

HERE = os.path.dirname(os.path.abspath(__file__))


def cannot_run():
    """Why the benches cannot run here (no network namespaces), or None after
    pointing the harness at this checkout's native server_sim and Windows
    build, unless the environment names others."""
    reason = kvnet.netns_unavailable_reason()
    if reason:
        return reason
    os.environ.setdefault("KV_SERVER_SIM", os.path.join(HERE, "..", "build", "native", "bin", "server_sim"))
    os.environ.setdefault("KV_BIN_DIR", os.path.join(HERE, "..", "build", "win64", "bin"))
    return None
