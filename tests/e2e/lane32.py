#!/usr/bin/env python3
"""The 32-bit lane, run inside the emulated PC (scripts/test_win32.sh boots
it): the win32 build under the 32-bit Wine, in one boot.

1. units: every bin/*_test.exe of the i686 build (the portable core at the
   target's layout, the thread, socket and installer-logic tests of the
   Win32 layer), two at a time in one Wine environment.
2. client: the client's shell and IPC cases that need no server (plug-in
   mode, the request-log switches, the Info dialog, WM_CLOSE), in the same
   environment, through the e2e suites' own modules.
3. link: the client against the native server_sim across two network
   namespaces (link up, blocks and update frames, a write round trip, the
   closing lines of the event log; the web gateway read from the other
   namespace, written to with the key only); leaves status_window.png in OUT.
4. installer: TARNEX_Install.exe installing into a scratch X-Plane folder.

Every Wine prefix is restored from the seed that scripts/emu32/setup.sh
made. Prints each step's result and time; exits 1 when any step failed.

    lane32.py --bin build/win32/bin --server-sim build/native/bin/server_sim
              --prefix-seed PREFIX.tar --out OUT
"""

import argparse
import concurrent.futures
import glob
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

CLIENT_CASES = [
    "test_ipc_wine.PluginMode.test_hidden_window_serves_requests",
    "test_ipc_wine.RequestLogging.test_switches_log_exactly_the_records_in_between",
    "test_client_shell_wine.InfoDialog",
]
LINK_CASES = [
    "test_link_wine.LinkUp.test_connects_in_order_and_serves_blocks_and_updates",
    "test_link_wine.LinkUp.test_local_write_reaches_the_server_and_follows_it_after_the_echo",
    "test_web_wine.Gateway.test_another_pc_reads_and_writes_only_with_the_key",
]
INSTALLER_CASES = ["Install.test_package_and_main_folder_at_drive_roots"]

# Left to the 64-bit lane on the host: the join race, whose 4,500 rounds of
# thread starts take two minutes at the emulated PC's speed.
UNIT_OPTIONS = {"receiver_thread_wine_test.exe": ["--gtest_filter=-ReceiverThread.EveryJoinerWaitsForTheEnd"]}
UNIT_LIMIT = 180      # seconds for one unit-test program
SUITE_LIMIT = 600     # seconds for one e2e suite


def say(text=""):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def tail(text, lines=40):
    return "\n".join(text.splitlines()[-lines:])


class Lane:
    def __init__(self, args):
        self.args = args
        self.results = []  # (step, ok, seconds, detail)
        self.env = None

    def step(self, name, run):
        say("--- %s" % name)
        start = time.monotonic()
        try:
            ok, detail = run()
        except Exception as error:  # a broken step fails; the others still run
            ok, detail = False, "%s: %s" % (type(error).__name__, error)
        took = time.monotonic() - start
        self.results.append((name, ok, took, detail))
        say("--- %s: %s in %.0f s%s" % (name, "ok" if ok else "FAILED", took, (" (%s)" % detail) if detail else ""))

    # -- the steps ------------------------------------------------------------

    def open_wine(self):
        from wine_env import WineEnv
        self.env = WineEnv(os.path.join(self.args.state, "wine"))
        self.env.start()
        return True, "prefix restored, Xvfb %s" % self.env.display

    def units(self):
        programs = sorted(glob.glob(os.path.join(self.args.bin, "*_test.exe")))
        if not programs:
            return False, "no *_test.exe in %s" % self.args.bin

        def run(program):
            start = time.monotonic()
            try:
                argv = [self.wine(), program] + UNIT_OPTIONS.get(os.path.basename(program), [])
                done = subprocess.run(self.env.wrap(argv), env=self.env.environ(),
                                      cwd=self.args.state, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, timeout=UNIT_LIMIT)
                code, out = done.returncode, done.stdout.decode("latin-1")
            except subprocess.TimeoutExpired as error:
                code, out = None, (error.output or b"").decode("latin-1") + "\n(time limit)"
            return program, code, out, time.monotonic() - start

        failed, tests = [], 0
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for done in concurrent.futures.as_completed([pool.submit(run, p) for p in programs]):
                program, code, out, took = done.result()
                name = os.path.basename(program)
                passed = [l for l in out.splitlines() if l.startswith("[  PASSED  ]")]
                count = passed[-1].split()[3] if passed else "?"
                if code == 0 and passed:
                    tests += int(count)
                    say("    ok      %-36s %4s tests %5.1f s" % (name, count, took))
                else:
                    failed.append(name)
                    say("    FAILED  %-36s exit %s, %5.1f s\n%s" % (name, code, took, tail(out)))
        if failed:
            return False, "%d of %d programs failed: %s" % (len(failed), len(programs), ", ".join(failed))
        return True, "%d programs, %d tests" % (len(programs), tests)

    def suite(self, argv, extra_env=None):
        env = dict(os.environ)
        env.update({"KV_BIN_DIR": self.args.bin, "KV_SERVER_SIM": self.args.server_sim,
                    "KV_WINE_STATE": os.path.join(self.args.state, "wine"), "KV_ARTIFACT_DIR": self.args.out,
                    "PYTHONDONTWRITEBYTECODE": "1"})
        env.update(extra_env or {})
        try:
            done = subprocess.run([sys.executable] + argv, cwd=HERE, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=SUITE_LIMIT)
            code, out = done.returncode, done.stdout.decode("latin-1")
        except subprocess.TimeoutExpired as error:
            code, out = None, (error.output or b"").decode("latin-1") + "\n(time limit)"
        lines = ["    " + l for l in out.splitlines() if l.startswith(("test_", "FAIL", "ERROR", "Ran ", "OK"))]
        if code != 0:
            lines.append(tail(out, 60))
        say("\n".join(lines))
        return code == 0, "" if code == 0 else "exit %s" % code

    def client(self):
        return self.suite(["-m", "unittest", "-v"] + CLIENT_CASES)

    def link(self):
        return self.suite(["-m", "unittest", "-v"] + LINK_CASES)

    def installer(self):
        bin_dir = self.args.bin
        return self.suite([os.path.join(HERE, "installer_e2e.py"),
                           "--installer", os.path.join(bin_dir, "TARNEX_Install.exe"),
                           "--probe", os.path.join(bin_dir, "installer_probe.exe")] + INSTALLER_CASES,
                          {"KV_INSTALLER_WINEPREFIX": os.path.join(self.args.state, "installer-wine")})

    @staticmethod
    def wine():
        from wine_env import WINE
        return WINE

    # -- the whole lane ---------------------------------------------------------

    def run(self):
        self.step("Wine environment (32-bit prefix from the seed)", self.open_wine)
        try:
            if self.results[-1][1]:
                self.step("unit tests, win32", self.units)
                self.step("client: plug-in mode, request log, Info dialog, WM_CLOSE", self.client)
        finally:
            if self.env is not None:
                self.env.stop()
        # One after the other: side by side, the two cold Wine starts slowed
        # each other past the client's start-up limit.
        self.step("link against server_sim in network namespaces", self.link)
        self.step("installer into a scratch X-Plane folder", self.installer)
        say()
        say("32-bit lane (emulated PC):")
        for name, ok, took, detail in self.results:
            say("  %-6s %5.0f s  %s%s" % ("ok" if ok else "FAILED", took, name, ("  [%s]" % detail) if detail else ""))
        return all(ok for _, ok, _, _ in self.results)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="the i686 build's bin folder")
    parser.add_argument("--server-sim", required=True, help="the native server_sim")
    parser.add_argument("--prefix-seed", required=True, help="tar of a booted 32-bit WINEPREFIX")
    parser.add_argument("--out", required=True, help="folder for the screenshot (shared with the host)")
    args = parser.parse_args()
    args.bin, args.server_sim, args.out = (os.path.abspath(p) for p in (args.bin, args.server_sim, args.out))
    args.state = "/tmp/kv-lane32"
    os.makedirs(args.state, exist_ok=True)
    os.makedirs(args.out, exist_ok=True)
    os.environ.update({"KV_WINE_ARCH": "win32", "KV_WINE_PREFIX_SEED": os.path.abspath(args.prefix_seed),
                       "KV_TIME_SCALE": "8"})
    import wine_env  # noqa: F401 (reads the variables above)
    return 0 if Lane(args).run() else 1


if __name__ == "__main__":
    sys.exit(main())
