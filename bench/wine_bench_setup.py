"""What both Wine benches check and set before they start, and the small
helpers they share."""

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


def percentile(values, p):
    """Nearest rank: p99 of 100 values is the 99th smallest."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]


def words(answer):
    return dict(w.split("=", 1) for w in answer.split() if "=" in w)


def read_columns(path):
    with open(path) as f:
        return [line.split() for line in f if line.strip()]


def journal_times(sim, offset):
    """Written 4-byte value at offset -> kernel receive stamp (ns), from the
    server's journal."""
    times, seq_time = {}, {}
    for line in sim.journal_lines():
        w = line.split()
        if w[0] == "time":
            seq_time[w[1]] = int(w[2])
        elif w[0] == "write" and int(w[2], 16) == offset and w[3] == "4":
            times[int.from_bytes(bytes.fromhex(w[4]), "little")] = seq_time[w[1]]
    return times
