"""ipc_probe under Wine against its own bare window (`ipc_probe serve dump`),
which prints every request area it receives: the records the probe lays out
must be exactly the bytes of the local IPC protocol, or every client test
built on the probe would be testing the wrong thing."""

import json
import os
import queue
import struct
import subprocess
import threading
import unittest

import wine_harness as wh
from wine_env import WineEnv

env = None


def setUpModule():
    global env
    env = WineEnv.acquire()


def tearDownModule():
    env.release()


def read_head(kind, offset, size):
    return struct.pack("<III", kind, offset, size)


def read_rec(offset, size):
    return read_head(1, offset, size) + b"\0" * 4 + b"\0" * size


def write_rec(offset, data):
    return read_head(2, offset, len(data)) + data


END = b"\0" * 4


class StubWindow:
    """`ipc_probe serve` as a subprocess whose answer lines we can read."""

    def __init__(self, *args):
        exe = os.path.join(wh.bin_dir(), "ipc_probe.exe")
        self.proc = env.popen([exe, "serve"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        first = self.next_line()
        if not first.startswith("ok "):
            raise AssertionError("serve did not start: %r" % first)

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("latin-1").rstrip("\r\n"))
        self.lines.put(None)

    def next_line(self, timeout=30):
        line = self.lines.get(timeout=timeout)
        if line is None:
            raise AssertionError("serve ended")
        return line

    def stop(self, probe):
        probe.ok("close")
        probe.ok("wait-gone 10000")
        code = self.proc.wait(20)
        self.proc.stdout.close()
        return code


class RequestLayout(unittest.TestCase):
    """Each command's request area, byte for byte."""

    @classmethod
    def setUpClass(cls):
        cls.stub = StubWindow("dump")
        cls.probe = wh.Probe(env)
        cls.probe.ok("wait-window FS98MAIN")
        cls.probe.ok("mapsize 4096")

    @classmethod
    def tearDownClass(cls):
        try:
            cls.stub.stop(cls.probe)
        finally:
            cls.probe.close()

    def exchange(self, command):
        result, _ = self.probe.request(command)
        self.assertEqual(1, result)
        line = self.stub.next_line()
        self.assertTrue(line.startswith("req "), line)
        dump = json.loads(line[4:])
        self.assertEqual(4096, dump["size"])
        return bytes.fromhex(dump["hex"])

    def test_records(self):
        cases = [
            ("read 0x0274 2", read_rec(0x274, 2) + END),
            ("read 0x0BC8 s32", read_rec(0xBC8, 4) + END),
            ("read 0x1FFF8 f64", read_rec(0x1FFF8, 8) + END),
            ("write 0x0100 u16 1234", write_rec(0x100, b"\xd2\x04") + END),
            ("write 0x0100 s16 -2", write_rec(0x100, b"\xfe\xff") + END),
            ("write 0x0100 s8 -128", write_rec(0x100, b"\x80") + END),
            ("write 0x0100 u32 0xDEADBEEF", write_rec(0x100, b"\xef\xbe\xad\xde") + END),
            ("write 0x0100 u64 18446744073709551615", write_rec(0x100, b"\xff" * 8) + END),
            ("write 0x0100 f32 1.5", write_rec(0x100, struct.pack("<f", 1.5)) + END),
            ("write 0x0100 f64 -0.25", write_rec(0x100, struct.pack("<d", -0.25)) + END),
            ("write 0x10000 hex 0A0b0C", write_rec(0x10000, b"\x0a\x0b\x0c") + END),
            ("raw 3 0x10 0x20 DEAD", read_head(3, 0x10, 0x20) + b"\xde\xad" + END),
            ("raw 0xFFFFFFFF 0xFFFFFFFF 0xFFFFFFFF", read_head(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF) + END),
            ("req read 0x274 2; write 0x100 u8 7; raw 1 0x1FFFF 2",
             read_rec(0x274, 2) + write_rec(0x100, b"\x07") + read_head(1, 0x1FFFF, 2) + END),
            ("req", END),
        ]
        for command, expected in cases:
            with self.subTest(command=command):
                # The dump ends at the last non-zero byte of the area.
                self.assertEqual(expected.rstrip(b"\0").hex(), self.exchange(command).hex())

    def test_fill_and_missing_end(self):
        got = self.exchange("req fill=EE read 0 4")
        self.assertEqual((read_rec(0, 4) + END + b"\xee" * (4096 - 24)).hex(), got.hex())
        # A read that fills the area exactly leaves no room for an end marker
        # (and no byte of fill).
        got = self.exchange("req noend fill=EE read 0 4080")
        self.assertEqual(read_rec(0, 4080).rstrip(b"\0").hex(), got.hex())

    def test_read_answers(self):
        # The bare window leaves the data fields alone: they come back as laid out.
        self.assertEqual("result=1 hex=0000 value=0", self.probe.ok("read 0x100 u16"))
        self.stub.next_line()
        self.assertEqual("result=1 r=000000 w k=3", self.probe.ok("req read 0 3; write 0 u8 1; raw 3 0 0"))
        self.stub.next_line()


class Answers(unittest.TestCase):
    def test_bad_commands_answer_err_and_the_script_goes_on(self):
        probe = wh.Probe(env, ["--timeout", "0"])
        try:
            for command in ["read 0x274 2x", "read 0x274 u17", "read -1 2", "write 0x100 u8 256",
                            "write 0x100 s8 -129", "write 0x100 u16", "write 0x100 hex ABC", "raw 3 0",
                            "req read 0 2; bogus 1", "req noend", "bench 0", "bench 10 sizes=8-1",
                            "mapsize 2", "frobnicate", "event-wait", "wait-gone"]:
                with self.subTest(command=command):
                    ok, text = probe(command)
                    self.assertFalse(ok, text)
            self.assertEqual("still here", probe.ok("echo still here"))
            probe.ok("mapsize 4096")
            ok, text = probe("read 0 5000")
            self.assertFalse(ok)
            self.assertIn("4096", text)
        finally:
            probe.close()

    def test_exit_codes(self):
        exe = os.path.join(wh.bin_dir(), "ipc_probe.exe")

        def run(*args, stdin=b""):
            p = env.popen([exe] + list(args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
            out, _ = p.communicate(stdin, timeout=60)
            return p.returncode, out.decode("latin-1")

        code, out = run("--help")
        self.assertEqual(0, code)
        self.assertIn("usage: ipc_probe", out)
        for args, expected in [((), 2), (("frobnicate",), 2), (("--timeout",), 2), (("read", "0"), 2),
                               (("--timeout", "0", "read", "0", "4"), 1),
                               (("--timeout", "0", "event-open", "NoSuchEvent"), 1)]:
            with self.subTest(args=args):
                code, out = run(*args)
                self.assertEqual(expected, code, out)
                self.assertTrue(out.startswith("err "), out)
        code, out = run("script", stdin=b"echo a\n# comment\n\nfrobnicate\necho b\n")
        self.assertEqual((1, ["ok a", "err", "ok b"]), (code, [l.split(" ")[0] if l.startswith("err") else l
                                                               for l in out.splitlines()]))

        # The window's answer decides between 0 and 3.
        for result, expected in [("1", 0), ("0", 3)]:
            with self.subTest(result=result):
                stub = StubWindow("result=" + result, "class=KvProbeTest")
                probe = wh.Probe(env, ["--class", "KvProbeTest"])
                try:
                    code, out = run("--class", "KvProbeTest", "read", "0x274", "2")
                    self.assertEqual(expected, code, out)
                    self.assertEqual("ok result=%s hex=0000" % result, out.strip())
                finally:
                    stub.stop(probe)
                    probe.close()

    def test_windows_and_bench(self):
        stub = StubWindow()
        probe = wh.Probe(env)
        try:
            info = probe.json("wait-window FS98MAIN 10000")
            self.assertEqual(("FS98MAIN", "ipc_probe serve", True), (info["class"], info["caption"], info["visible"]))
            listed = probe.json("windows FS98MAIN")
            self.assertEqual([info["hwnd"]], [w["hwnd"] for w in listed])
            self.assertFalse(probe("find UIPCMAIN")[0])
            words = dict(w.split("=") for w in probe.ok("bench 50 reads=40 sizes=1-8 writes=1").split())
            self.assertEqual(("50", "50"), (words["requests"], words["answered1"]))
            # 40 reads of 1..8 bytes (16 + n each), one 4-byte write, the end marker.
            self.assertEqual(40 * 16 + 5 * (1 + 2 + 3 + 4 + 5 + 6 + 7 + 8) + 16 + 4, int(words["bytes"]))
            p50, p99, top = float(words["p50_us"]), float(words["p99_us"]), float(words["max_us"])
            self.assertTrue(0 < p50 <= p99 <= top, words)
            self.assertGreater(float(words["rps"]), 0)
            # What a soak samples from outside: the window's own process, in use. Wine 8
            # reads another process's private bytes and handle count as 0; its working set is real.
            use = dict(w.split("=") for w in probe.ok("process").split())
            self.assertEqual(info["pid"], int(use["pid"]))
            self.assertGreater(int(use["working_set"]), 0, use)
        finally:
            self.assertEqual(0, stub.stop(probe))
            probe.close()


if __name__ == "__main__":
    unittest.main()
