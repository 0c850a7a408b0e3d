#!/usr/bin/env python3
"""Runs Kestrovaline the way it is meant to run: the client under Wine on one
host, the simulator's server (server_sim) on another, joined by a network.

The two hosts are two network namespaces joined by a veth pair (namespace A:
the client, its Xvfb and ipc_probe; namespace B: a native server_sim). The
server moves a few values every tick; the client finds it by its beacons and
links up; ipc_probe, standing in for a local add-on, reads live values and
makes one write round trip; a screenshot of the status window is saved, and
one of the gateway's instrument panel as a phone shows it (a headless
Chromium in namespace A, with the server's waves moving the gauges); the
window is closed and the client must end with exit code 0.

    run_demo.py --bin build/win64/bin --server-sim build/native/bin/server_sim --out build/run

With KV_WINE_ARCH=win32 (scripts/run.sh --win32, in the emulated PC) the
32-bit build runs under the 32-bit Wine (tests/e2e/wine_env.py); run.sh
then passes --no-panel, as no browser runs there.

Needs root (network namespaces). Everything it starts is ended on the way
out, also after a failure or Ctrl-C. Exit code 0 on success, 1 on failure.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
import types

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))

import kvnet  # noqa: E402
import wine_harness as wh  # noqa: E402
import demo_screenshots as shots  # noqa: E402
from headless_page import PANEL_WAVES  # noqa: E402
from wine_env import WineEnv, wait_until  # noqa: E402

# What server_sim moves and holds. The status window's data rate is the growth
# per second of the word at 0x337E, scaled by the word at 0x0274 (32768: 1:1).
DATA_RATE_WORD = 0x337E      # u16, +1 every update tick (50 per second)
DATA_RATE_SCALE = 0x0274     # u16, 32768
UPDATES_ONLY = 0x18000       # u32, +1 every tick; above the data blocks: only update frames carry it
SERVER_OWNED = 0x330A        # u16 that only the server sets: a local write shows once the server echoes it
WRITE_VALUE = 0xBEEF

SIM_OPTIONS = ["--set", "0x%04X=32768:2" % DATA_RATE_SCALE,
               "--counter", "0x%04X:2:1" % DATA_RATE_WORD,
               "--counter", "0x%X:4:1" % UPDATES_ONLY] + PANEL_WAVES
WEB_PORT = 8765

TOTAL_LIMIT = 420  # seconds for the whole run, a first Wine prefix boot included


class DemoError(Exception):
    pass


class Interrupted(BaseException):
    pass


def say(text=""):
    print(text, flush=True)


def section(title):
    say()
    say("== " + title)


def item(label, text):
    say("   %-24s %s" % (label, text))


def _on_signal(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


class Demo:
    def __init__(self, args):
        self.args = args
        self.out = os.path.abspath(args.out)
        self.net = self.env = self.sim = self.client = self.probe = None
        self.started = time.monotonic()

    # -- the steps ----------------------------------------------------------

    def run(self):
        self.prepare_output()
        self.open_network()
        self.open_wine()
        self.start_server()
        self.start_client()
        self.show_live_values()
        self.write_round_trip()
        self.take_screenshot()
        if self.args.panel:
            self.take_panel_screenshot()
        self.close_client()
        self.show_event_log()

    def prepare_output(self):
        os.makedirs(self.out, exist_ok=True)
        # Nothing from an earlier run may pass for this run's result.
        for name in ("kestrovaline.png", "panel.png", wh.EVENT_LOG, wh.REQUEST_LOG, wh.SETTINGS,
                     "server_sim_journal.txt"):
            try:
                os.remove(os.path.join(self.out, name))
            except FileNotFoundError:
                pass

    def open_network(self):
        reason = kvnet.netns_unavailable_reason()
        if reason:
            raise DemoError(reason)
        self.net = kvnet.NetPair().open()
        section("Network: two namespaces joined by a veth pair")
        item("client side (A)", "%s  %s" % (self.net.ns_a, self.net.addr_a))
        item("server side (B)", "%s  %s" % (self.net.ns_b, self.net.addr_b))

    def open_wine(self):
        prefix = os.path.abspath(self.args.prefix or os.path.join(self.out, "wineprefix"))
        first = not os.path.exists(os.path.join(prefix, ".kv-booted"))
        section("Wine and a virtual display in namespace A")
        if first:
            item("Wine prefix", "%s: first use, creating it (up to a minute)" % self.rel(prefix))
        start = time.monotonic()
        self.env = WineEnv(netns=self.net.ns_a, prefix=prefix)
        self.env.start()
        item("Wine prefix", "%s ready in %.1f s" % (self.rel(prefix), time.monotonic() - start))
        item("display", "Xvfb %s" % self.env.display)

    def start_server(self):
        # Sim (the e2e suites' server_sim driver) runs a native server_sim inside
        # namespace B when KV_SERVER_SIM names it.
        from link_wine_case import Sim
        self.sim = Sim(types.SimpleNamespace(net=self.net, env_b=None), self.net.addr_b, SIM_OPTIONS)
        section("server_sim in namespace B")
        item("address", "%s (beacons, TCP port 65000)" % self.net.addr_b)
        item("0x%04X (u16)" % DATA_RATE_SCALE, "32768 (data-rate scale 1:1)")
        item("0x%04X (u16)" % DATA_RATE_WORD, "+1 every update tick (the window's Datarate)")
        item("0x%X (u32)" % UPDATES_ONLY, "+1 every update tick (update frames only)")
        item("0x6000 to 0x600C", "waves for the sample panel's four gauges")

    def start_client(self):
        settings = wh.settings_file(self.net.addr_a, self.net.addr_b, web="Port = %d\r\n" % WEB_PORT)
        self.client = wh.Client(self.env, settings=settings)
        self.probe = wh.Probe(self.env)
        section("Kestrovaline.exe under Wine in namespace A")
        item("settings", "IP Address of THIS PC = %s, IP Address of server = %s, web port %d"
             % (self.net.addr_a, self.net.addr_b, WEB_PORT))
        start = time.monotonic()
        self.client.start()
        self.probe.ok("wait-window FS98MAIN 60000", timeout=70)
        # "IPCEvent" comes after the window is shown: start-up is through.
        self.probe.ok("event-open IPCEvent 30000", timeout=40)
        item("window", "up after %.1f s" % (time.monotonic() - start))
        if not wait_until(lambda: self.probe.request("read 0 1")[0] == 1, 30, 0.1):
            raise DemoError("the link did not come up within 30 s (requests still answered 0)")
        item("link", "up after %.1f s (requests answered 1)" % (time.monotonic() - start))
        # Update frames may come first; 0x0274 only arrives with the data blocks.
        if not wait_until(lambda: self.read(DATA_RATE_SCALE, "u16") == 32768, 10, 0.02):
            raise DemoError("no data block within 10 s of the link coming up (0x%04X still not 32768)"
                            % DATA_RATE_SCALE)
        item("data blocks", "arriving after %.1f s" % (time.monotonic() - start))

    def read(self, offset, kind):
        result, fields = self.probe.request("read 0x%X %s" % (offset, kind))
        if result != 1:
            raise DemoError("read 0x%X answered %d: the link went down" % (offset, result))
        return int(fields["value"])

    def show_live_values(self):
        section("Live values read through ipc_probe, like a local add-on")
        say("   %6s  %14s  %15s  %14s" % ("time", "0x%04X u16" % DATA_RATE_WORD, "0x%X u32" % UPDATES_ONLY,
                                          "0x%04X u16" % DATA_RATE_SCALE))
        start = time.monotonic()
        rows = []
        for i in range(5):
            if i:
                time.sleep(0.5)
            row = (self.read(DATA_RATE_WORD, "u16"), self.read(UPDATES_ONLY, "u32"),
                   self.read(DATA_RATE_SCALE, "u16"))
            rows.append(row)
            say("   %5.1fs  %14d  %15d  %14d" % ((time.monotonic() - start,) + row))
        if rows[-1][0] == rows[0][0] or rows[-1][1] == rows[0][1]:
            raise DemoError("the counters did not move")
        if rows[-1][2] != 32768:
            raise DemoError("0x%04X reads %d, not 32768" % (DATA_RATE_SCALE, rows[-1][2]))

    def write_round_trip(self):
        section("One write round trip through 0x%04X (an offset only the server sets)" % SERVER_OWNED)
        before = self.read(SERVER_OWNED, "u16")
        item("read before", "0x%04X" % before)
        journal_before = len(self.journal())
        result, _ = self.probe.request("write 0x%04X u16 0x%04X" % (SERVER_OWNED, WRITE_VALUE))
        if result != 1:
            raise DemoError("the write was answered %d" % result)
        written = time.monotonic()
        item("ipc_probe write", "0x%04X u16 0x%04X: answered %d" % (SERVER_OWNED, WRITE_VALUE, result))
        right_after = self.read(SERVER_OWNED, "u16")
        item("read right after", "0x%04X%s" % (right_after, "  (the client forwarded it; its copy waits for the"
                                               " server)" if right_after != WRITE_VALUE else ""))
        wanted = "0x%05X 2 %02x%02x" % (SERVER_OWNED, WRITE_VALUE & 0xFF, WRITE_VALUE >> 8)
        line = wait_until(lambda: next((l for l in self.journal()[journal_before:]
                                           if l.startswith("write") and wanted in l), None), 10)
        if not line:
            raise DemoError("server_sim's journal shows no write of 0x%04X: %r"
                            % (SERVER_OWNED, self.journal()[journal_before:]))
        item("server_sim journal", line)
        if not wait_until(lambda: self.read(SERVER_OWNED, "u16") == WRITE_VALUE, 10, 0.01):
            raise DemoError("0x%04X never came back from the server as 0x%04X" % (SERVER_OWNED, WRITE_VALUE))
        item("read again", "0x%04X after %.2f s: echoed back in a data block from the server"
             % (WRITE_VALUE, time.monotonic() - written))

    def journal(self):
        return self.sim.journal_lines()

    def take_screenshot(self):
        section("Screenshot of the status window")
        rect = self.probe.json("info")["rect"]
        # Two ticks of steady reading: the window's rates show it.
        end = time.monotonic() + 1.2
        while time.monotonic() < end:
            self.read(DATA_RATE_WORD, "u16")
            time.sleep(0.02)
        path = os.path.join(self.out, "kestrovaline.png")
        item("saved", "%s (%s)" % (self.rel(path), self.shot(shots.window, self.env.display, rect, path)))

    def take_panel_screenshot(self):
        section("Screenshot of the instrument panel page on a phone")
        gateway = "http://%s:%d/" % (self.net.addr_a, WEB_PORT)
        item("page", gateway + "panel.html (headless Chromium in namespace A, 390x844)")
        path = os.path.join(self.out, "panel.png")
        item("saved", "%s (%s)" % (self.rel(path), self.shot(shots.panel, self.net, self.net.ns_a, gateway, path)))

    @staticmethod
    def shot(take, *args):
        try:
            return take(*args)
        except shots.ShotError as error:
            raise DemoError(str(error)) from None

    def close_client(self):
        section("Closing the window")
        start = time.monotonic()
        self.probe.ok("close")
        self.probe.ok("wait-gone 20000", timeout=30)
        code = self.client.wait(20)
        took = time.monotonic() - start
        if code is None:
            raise DemoError("the client did not end within 20 s of its window closing")
        item("client ended", "exit code %d, %.1f s after WM_CLOSE" % (code, took))
        if code != 0:
            raise DemoError("the client ended with exit code %d" % code)

    def show_event_log(self, lines=12):
        try:
            log = wh.log_lines(self.client.read(wh.EVENT_LOG))
        except (OSError, AssertionError) as error:
            raise DemoError("cannot read the event log: %s" % error)
        section("The client's event log, %s (last %d lines)" % (wh.EVENT_LOG, min(lines, len(log))))
        for line in log[-lines:]:
            say("   " + line)

    # -- the way out --------------------------------------------------------

    def keep_files(self):
        """Copies the client's files and the journal to the output folder."""
        if self.client is not None:
            for name in (wh.EVENT_LOG, wh.REQUEST_LOG, wh.SETTINGS):
                try:
                    shutil.copyfile(self.client.path(name), os.path.join(self.out, name))
                except OSError:
                    pass
        if self.sim is not None:
            try:
                shutil.copyfile(self.sim.journal, os.path.join(self.out, "server_sim_journal.txt"))
            except OSError:
                pass

    def close_client_politely(self):
        """After a failure: closes the window if client and probe still run,
        so that the client writes its event log out."""
        client, probe = self.client, self.probe
        if client is None or client.proc is None or client.proc.poll() is not None:
            return
        if probe is None or probe.proc.poll() is not None:
            return
        try:
            probe("close", timeout=5)
            client.wait(10)
        except Exception:  # the cleanup ends it anyway
            pass

    def cleanup(self):
        """Ends everything, in order, whatever happened; each step on its own."""
        self.close_client_politely()
        self.keep_files()
        steps = [(self.probe, lambda p: p.close()), (self.client, lambda c: c.cleanup()),
                 (self.sim, self.stop_server), (self.env, lambda e: e.stop()),
                 (self.net, lambda n: n.close())]
        for thing, stop in steps:
            if thing is None:
                continue
            try:
                stop(thing)
            except Exception as error:  # keep ending the rest
                say("run: cleanup: %s" % error)

    @staticmethod
    def stop_server(sim):
        # server_sim ends on "quit" only once its standard input is closed too.
        try:
            sim.command("quit")
            sim.proc.stdin.close()
        except (OSError, ValueError):
            pass
        try:
            sim.proc.wait(5)
        except subprocess.TimeoutExpired:
            kvnet.stop_process(sim.proc)
        sim.cleanup()

    def rel(self, path):
        return os.path.relpath(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="folder of Kestrovaline.exe and ipc_probe.exe")
    parser.add_argument("--server-sim", required=True, help="the native server_sim program")
    parser.add_argument("--out", required=True, help="folder for the screenshot, logs and the Wine prefix")
    parser.add_argument("--prefix", help="the Wine prefix (default: OUT/wineprefix)")
    parser.add_argument("--no-panel", dest="panel", action="store_false",
                        help="no screenshot of the panel page (the emulated PC runs no browser)")
    args = parser.parse_args()
    for path in (os.path.join(args.bin, "Kestrovaline.exe"), os.path.join(args.bin, "ipc_probe.exe"),
                 args.server_sim):
        if not os.path.isfile(path):
            print("run: FAILED: %s is missing" % path, file=sys.stderr)
            return 1
    os.environ["KV_BIN_DIR"] = os.path.abspath(args.bin)
    os.environ["KV_SERVER_SIM"] = os.path.abspath(args.server_sim)

    # Our own handlers first (kvnet then leaves them alone): a signal becomes
    # an exception, so the cleanup below always runs.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGALRM):
        signal.signal(sig, _on_signal)
    signal.alarm(TOTAL_LIMIT)

    demo = Demo(args)
    failure = None
    try:
        demo.run()
    except DemoError as error:
        failure = str(error)
    except wh.ProbeError as error:
        failure = "ipc_probe: %s" % error
    except Interrupted as what:
        failure = ("took longer than %d s" % TOTAL_LIMIT) if str(what) == "SIGALRM" else "interrupted (%s)" % what
    except Exception as error:
        failure = "%s: %s" % (type(error).__name__, error)
    finally:
        signal.alarm(0)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)  # the cleanup itself is not to be cut short
        section("Cleaning up")
        demo.cleanup()
        item("ended", "namespaces, Xvfb, wineserver, server_sim")

    if failure:
        if demo.client is not None and "event log" not in failure:
            try:
                with open(os.path.join(demo.out, wh.EVENT_LOG), "rb") as f:
                    lines = wh.log_lines(f.read())
            except (OSError, AssertionError):
                lines = []
            if lines:
                section("The client's event log at the failure (last 12 lines)")
                for line in lines[-12:]:
                    say("   " + line)
        say()
        say("run: FAILED: %s" % failure)
        return 1
    say()
    shots = ["kestrovaline.png"] + (["panel.png"] if args.panel else [])
    say("run: OK in %.0f s; screenshots %s, logs in %s/"
        % (time.monotonic() - demo.started, " and ".join(demo.rel(os.path.join(demo.out, n)) for n in shots),
           demo.rel(demo.out)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
