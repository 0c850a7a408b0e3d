"""Xvfb and a WINEPREFIX for the end-to-end tests of the Windows programs.

One WineEnv per test run: an Xvfb of its own (a free display number) and a
fresh WINEPREFIX under /tmp, booted once with `wineboot -i` and kept alive by a
persistent wineserver. CTest creates it in a setup step and removes it in a
cleanup step (`wine_env.py setup|cleanup STATE_DIR`); the test modules find it
through the state file and, when run alone, make and remove their own. The
client-specific helpers (the client, the probe, the logs) are in
wine_harness.py. Everything here has a time limit and every process it starts
is ended by its own id.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# KV_WINE_ARCH=win32 selects the 32-bit Wine and 32-bit prefixes, as the
# emulated PC of scripts/emu32 has them (the host runs 64-bit programs only).
# KV_WINE_PREFIX_SEED names a booted prefix, a folder or a tar of one: a new
# prefix starts from it instead of being booted (a minute and more in the
# emulated PC). A folder is laid under the new prefix copy-on-write (an
# overlay mount, root only), so nothing is copied.
ARCH = os.environ.get("KV_WINE_ARCH", "win64")
WINE = os.environ.get("KV_WINE", "/usr/lib/wine/wine" if ARCH == "win32" else "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("KV_WINESERVER", "/usr/lib/wine/wineserver")
PREFIX_SEED = os.environ.get("KV_WINE_PREFIX_SEED")
# How much longer than on the host a program may take to start, show a
# window or end: KV_TIME_SCALE, 1 on the host (the emulated PC's lane sets it).
TIME_SCALE = float(os.environ.get("KV_TIME_SCALE", "1"))
STATE_FILE = "wine_env.json"


def wine_variables():
    """The environment every Wine process of the tests gets."""
    variables = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
    if ARCH == "win32":
        variables["WINEARCH"] = "win32"
    return variables


def restore_seed(prefix):
    """Fills an empty prefix folder from PREFIX_SEED; returns False when there
    is no seed (the caller boots the prefix instead)."""
    if not PREFIX_SEED:
        return False
    os.makedirs(prefix, exist_ok=True)
    if os.path.isdir(PREFIX_SEED):
        upper, work = prefix + ".upper", prefix + ".work"
        os.makedirs(upper, exist_ok=True)
        os.makedirs(work, exist_ok=True)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s,workdir=%s"
                        % (PREFIX_SEED, upper, work), prefix], check=True, timeout=60)
    else:
        subprocess.run(["tar", "-C", prefix, "-xf", PREFIX_SEED], check=True, timeout=300)
    return True


def remove_prefix(prefix):
    """Removes a prefix folder, and the overlay of a seed under it."""
    if os.path.ismount(prefix):
        subprocess.run(["umount", prefix], timeout=60)
    for path in (prefix, prefix + ".upper", prefix + ".work"):
        shutil.rmtree(path, ignore_errors=True)


def _alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except (ProcessLookupError, PermissionError):
        return False


def stop_process(proc, grace=5.0):
    """Ends a process we started: SIGTERM, then SIGKILL after the grace time."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(grace)


class WineEnv:
    """Xvfb plus one WINEPREFIX, shared by every test of a run.

    netns: the network namespace to run everything in. Wine makes its sockets
    in the wineserver, so every Wine process of a prefix must live in the
    namespace where its wineserver started; Xvfb starts there too, so that
    its abstract socket is reachable as well."""

    def __init__(self, state_dir=None, netns=None, display=True, prefix=None):
        """display: False for console programs only (no Xvfb).
        prefix: a WINEPREFIX folder to use and keep, booted on its first use
        only (quicker later starts), instead of a fresh one under /tmp that
        stop() removes."""
        self.state_dir = state_dir
        self.netns = netns
        self.wants_display = display
        self.display = None
        self.prefix = os.path.abspath(prefix) if prefix else None
        self.keep_prefix = prefix is not None
        self.xvfb_pid = None
        self.owned = False
        self._xvfb = None

    # -- life cycle -------------------------------------------------------

    @classmethod
    def acquire(cls):
        """The run's environment if CTest made one, else a private one."""
        state_dir = os.environ.get("KV_WINE_STATE")
        if state_dir:
            env = cls.load(state_dir)
            if env:
                return env
        env = cls()
        env.start()
        return env

    @classmethod
    def load(cls, state_dir):
        path = os.path.join(state_dir, STATE_FILE)
        try:
            with open(path) as f:
                state = json.load(f)
        except (OSError, ValueError):
            return None
        if not _alive(state["xvfb_pid"]) or not os.path.isdir(state["prefix"]):
            return None
        env = cls(state_dir)
        env.display, env.prefix, env.xvfb_pid = state["display"], state["prefix"], state["xvfb_pid"]
        return env

    def start(self):
        self.owned = True
        try:
            if self.wants_display:
                self._start_xvfb()
            quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
            booted_mark = None
            if self.keep_prefix:
                os.makedirs(self.prefix, exist_ok=True)
                booted_mark = os.path.join(self.prefix, ".kv-booted")
                # A server of this prefix left by an interrupted run may live in
                # another namespace: end it (it is reached through /tmp).
                subprocess.run([WINESERVER, "-k"], env=self.environ(), timeout=30, **quiet)
            else:
                self.prefix = tempfile.mkdtemp(prefix="kv-wine-")
            booted = booted_mark is not None and os.path.exists(booted_mark)
            seeded = not booted and restore_seed(self.prefix)
            # A persistent server keeps every later Wine start quick. Nothing
            # that outlives this call may hold our standard streams (CTest
            # waits for them to close): a restored prefix is booted here too,
            # so that its services start with these streams, not with the
            # first test program's.
            subprocess.run(self.wrap([WINESERVER, "-p"]), env=self.environ(), timeout=30, **quiet)
            if not booted:
                boot = subprocess.run(self.wrap([WINE, "wineboot"] + ([] if seeded else ["-i"])),
                                      env=self.environ(), timeout=300, **quiet)
                if boot.returncode != 0:
                    raise RuntimeError("wineboot failed with %d" % boot.returncode)
                if booted_mark:
                    open(booted_mark, "w").close()
        except BaseException:
            self.stop()
            raise
        if self.state_dir:
            os.makedirs(self.state_dir, exist_ok=True)
            with open(os.path.join(self.state_dir, STATE_FILE), "w") as f:
                json.dump({"display": self.display, "prefix": self.prefix, "xvfb_pid": self.xvfb_pid}, f)

    def _start_xvfb(self):
        first = 100 + os.getpid() % 100
        for number in range(first, first + 50):
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            proc = subprocess.Popen(self.wrap(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24",
                                               "-nolisten", "tcp"]),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and proc.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    self._xvfb, self.xvfb_pid, self.display = proc, proc.pid, ":%d" % number
                    return
                time.sleep(0.05)
            stop_process(proc)
        raise RuntimeError("no free X display for Xvfb")

    def stop(self):
        """Ends the wineserver and Xvfb and removes the prefix (only our own,
        and not a kept one)."""
        if self.prefix and os.path.isdir(self.prefix):
            try:
                subprocess.run(self.wrap([WINESERVER, "-k"]), env=self.environ(), timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                pass
            if not self.keep_prefix:
                remove_prefix(self.prefix)
        if self._xvfb is not None:
            stop_process(self._xvfb)
        elif self.xvfb_pid and _alive(self.xvfb_pid):
            os.kill(self.xvfb_pid, signal.SIGTERM)
            deadline = time.monotonic() + 5
            while _alive(self.xvfb_pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            if _alive(self.xvfb_pid):
                os.kill(self.xvfb_pid, signal.SIGKILL)
        if self.state_dir:
            try:
                os.remove(os.path.join(self.state_dir, STATE_FILE))
            except OSError:
                pass
        self.prefix = self.xvfb_pid = self._xvfb = None

    def release(self):
        """Ends the environment if this process made it for itself."""
        if self.owned and not self.state_dir:
            self.stop()

    # -- running programs -------------------------------------------------

    def wrap(self, argv):
        """argv, run inside the environment's namespace if it has one."""
        return ["ip", "netns", "exec", self.netns] + list(argv) if self.netns else list(argv)

    def environ(self):
        env = dict(os.environ)
        env.update(wine_variables())
        env["WINEPREFIX"] = self.prefix
        if self.display:
            env["DISPLAY"] = self.display
        else:
            env.pop("DISPLAY", None)
        return env

    def popen(self, argv, cwd=None, **kwargs):
        """Starts a Windows program (its Unix path first) under Wine."""
        return subprocess.Popen(self.wrap([WINE] + list(argv)), cwd=cwd, env=self.environ(), **kwargs)


def wait_until(condition, timeout, interval=0.1):
    """Polls condition() until it returns something true (returned) or the
    timeout passes (None)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(interval)


def wine_path(path):
    """A Unix path as Windows programs under Wine see it (drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main(argv):
    """`wine_env.py setup STATE_DIR` / `cleanup STATE_DIR` for CTest."""
    if len(argv) != 3 or argv[1] not in ("setup", "cleanup"):
        print("usage: wine_env.py setup|cleanup STATE_DIR", file=sys.stderr)
        return 2
    state_dir = argv[2]
    old = WineEnv.load(state_dir)
    if old:
        old.stop()  # a leftover of an interrupted run
    if argv[1] == "setup":
        WineEnv(state_dir).start()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
