"""The client and the probe under Wine for the end-to-end tests.

A Client runs Kestrovaline.exe in a scratch folder (the working directory in
standalone mode, the simulator's main folder in plug-in mode). A Probe is one
`ipc_probe script` process: each command written to it gives one answer line.
ClientTestCase is the base of the tests that run both. The Xvfb and the
WINEPREFIX they run in come from wine_env.py. Everything here has a time limit
and every process it starts is ended by its own id.
"""

import json
import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import unittest

from wine_env import TIME_SCALE, stop_process

PLUGIN_DIR = os.path.join("Resources", "plugins", "TARNEX", "64")

EVENT_LOG = "Kestrovaline.txt"
REQUEST_LOG = "Kestrovaline.log"
SETTINGS = "Kestrovaline.ini"
VERSION = "2.0.0.0"


def bin_dir():
    """Folder of the Windows programs (the build's bin folder)."""
    path = os.environ.get("KV_BIN_DIR")
    if not path:
        raise RuntimeError("KV_BIN_DIR must name the folder of Kestrovaline.exe and ipc_probe.exe")
    return os.path.abspath(path)  # the client starts in a folder of its own


# The client binds its multicast socket to the local address: a loopback
# address of this run's own keeps it clear of any other client on the machine.
LOOPBACK = "127.77.%d.%d" % ((os.getpid() >> 8) & 0xFF, 1 + os.getpid() % 254)


def settings_file(local=LOOPBACK, server=LOOPBACK, web=None):
    """A valid settings file as the client itself writes it (CR LF). The web
    gateway is off unless web holds the lines of its section: tests outside
    a namespace of their own listen on no port of the machine's."""
    text = ("Kestrovaline Version %s ini file\r\n\r\n[Network Settings]\r\n"
            "IP Address of THIS PC = %s\r\nIP Address of server = %s\r\n" % (VERSION, local, server))
    return (text + "\r\n[Web Server]\r\n" + (web if web is not None else "Port = 0\r\n")).encode()


def log_lines(data):
    """Splits a log written with CR LF line ends; fails on a bare line feed."""
    text = data.decode("latin-1")
    if "\n" in text.replace("\r\n", ""):
        raise AssertionError("line feed without carriage return in %r" % text[:400])
    lines = text.split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


class Client:
    """Kestrovaline.exe in a scratch folder of its own.

    mode "standalone" keeps the files in the folder itself, "plugin" below
    Resources\\plugins\\TARNEX\\64 (which is created unless make_plugin_dir is
    False). args are the command-line words; by default the mode's own.
    settings: bytes for the settings file, None for none (the client then
    writes its defaults).
    """

    def __init__(self, env, mode="standalone", args=None, settings=settings_file(), make_plugin_dir=True):
        self.env = env
        self.mode = mode
        self.args = list(args) if args is not None else (["TARNEX"] if mode == "plugin" else [])
        self.root = tempfile.mkdtemp(prefix="kv-e2e-")
        self.folder = os.path.join(self.root, PLUGIN_DIR) if mode == "plugin" else self.root
        if make_plugin_dir:
            os.makedirs(os.path.join(self.root, PLUGIN_DIR), exist_ok=True)
        if settings is not None:
            os.makedirs(self.folder, exist_ok=True)
            with open(self.path(SETTINGS), "wb") as f:
                f.write(settings)
        self.proc = None
        self._output = tempfile.TemporaryFile()

    def path(self, name):
        return os.path.join(self.folder, name)

    def other_path(self, name):
        """The same file in the other run mode's folder."""
        other = self.root if self.mode == "plugin" else os.path.join(self.root, PLUGIN_DIR)
        return os.path.join(other, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def start(self):
        exe = os.path.join(bin_dir(), "Kestrovaline.exe")
        self.proc = self.env.popen([exe] + self.args, cwd=self.root, stdout=self._output, stderr=self._output)
        return self

    def wait(self, timeout=20):
        """The exit code, or None if it is still running after the timeout."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def output(self):
        self._output.seek(0)
        return self._output.read()

    def cleanup(self):
        stop_process(self.proc)
        self._output.close()
        shutil.rmtree(self.root, ignore_errors=True)


class ProbeError(AssertionError):
    pass


class Probe:
    """One `ipc_probe script` process; call it with a command line."""

    def __init__(self, env, options=()):
        exe = os.path.join(bin_dir(), "ipc_probe.exe")
        self.proc = env.popen([exe] + list(options) + ["script"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self._lines.put(raw.decode("latin-1").rstrip("\r\n"))
        self._lines.put(None)

    def __call__(self, command, timeout=None):
        """Sends one command; returns (ok, text after "ok "/"err ")."""
        timeout = 30 * TIME_SCALE if timeout is None else timeout
        self.proc.stdin.write((command + "\n").encode("latin-1"))
        self.proc.stdin.flush()
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise ProbeError("no answer to %r within %s s" % (command, timeout))
        if line is None:
            raise ProbeError("ipc_probe ended before answering %r" % command)
        ok, _, text = line.partition(" ")
        if ok not in ("ok", "err"):
            raise ProbeError("unexpected answer %r to %r" % (line, command))
        return ok == "ok", text

    def ok(self, command, timeout=None):
        """The answer text of a command that must succeed."""
        ok, text = self(command, timeout)
        if not ok:
            raise ProbeError("%r failed: %s" % (command, text))
        return text

    def json(self, command, timeout=None):
        return json.loads(self.ok(command, timeout))

    def request(self, command, timeout=None):
        """A request's answer as (result, fields): "result=1 r=00 w" ->
        (1, ["r=00", "w"]); "hex=.. value=.." fields come back as a dict."""
        words = self.ok(command, timeout).split()
        result = int(words[0].split("=", 1)[1])
        rest = words[1:]
        if rest and "=" in rest[0] and rest[0].split("=")[0] in ("hex", "value"):
            return result, dict(w.split("=", 1) for w in rest)
        return result, rest

    def close(self):
        end_child(self.proc, b"quit\n")
        self.proc.stdout.close()


def end_child(proc, last_line, grace=10):
    """Ends a child that takes commands on its standard input: writes its
    last line, closes the input, waits up to grace seconds, then stops it."""
    if proc.poll() is None:
        try:
            proc.stdin.write(last_line)
            proc.stdin.close()
        except OSError:
            pass
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            pass
    stop_process(proc)


CLOSING_LINE = re.compile(r"^\d\d:\d\d:\d\d:\d\d\d Closing connection status thread d$")
FIRST_LINES = ["Create FS98MAIN Window OK!", "Register UIPCMain Call message OK!"]
REQUEST_LOG_HEADER = ["Kestrovaline Version %s log file" % VERSION, ""]


class ClientTestCase(unittest.TestCase):
    """Base of the tests that run the client: one WineEnv for the module
    (each module sets env on a base class of its own), scratch folders and
    processes ended after each test whatever happened."""

    env = None

    def launch(self, mode="standalone", args=None, settings=settings_file(), make_plugin_dir=True,
               wait_window=True, prepare=None):
        """Starts the client and a probe; waits for the window of the mode.
        prepare(client) runs on the scratch folder before the start."""
        client = Client(self.env, mode, args, settings, make_plugin_dir)
        self.addCleanup(client.cleanup)
        probe = Probe(self.env)
        self.addCleanup(probe.close)
        if prepare:
            prepare(client)
        client.start()
        if wait_window:
            wait = int(30000 * TIME_SCALE)
            command = "wait-window %s %d" % ("UIPCMAIN" if mode == "plugin" else "FS98MAIN", wait)
            try:
                probe.ok(command, wait / 1000 + 30)
            except ProbeError as error:
                try:
                    probe.proc.wait(5)
                except subprocess.TimeoutExpired:
                    raise error from None  # the probe runs: the window did not come
                # The probe itself ended before its first answer (seen once
                # under Wine, as the process started): the client is not at
                # fault, and a second probe asks again.
                probe = Probe(self.env)
                self.addCleanup(probe.close)
                probe.ok(command, wait / 1000 + 30)
            # "IPCEvent" comes after the window is shown: start-up is through.
            probe.ok("event-open IPCEvent %d" % wait, wait / 1000 + 30)
        return client, probe

    def end(self, client, probe, how="command 105"):
        """Ends the client by Exit (or "close") and returns its exit code."""
        probe.ok(how)
        probe.ok("wait-gone %d" % (20000 * TIME_SCALE), 20 * TIME_SCALE + 30)
        code = client.wait(20 * TIME_SCALE)
        self.assertIsNotNone(code, "the client did not end")
        return code

    def event_lines(self, client):
        return log_lines(client.read(EVENT_LOG))

    def request_lines(self, client):
        return log_lines(client.read(REQUEST_LOG))

