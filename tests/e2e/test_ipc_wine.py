"""The client's local IPC service under Wine, driven through ipc_probe: reads
and writes against the offset image, the ownership of 0x330A, requests that
break the protocol's limits, and the request log's entries. No server link
exists in these runs, so every request is answered 0 while reads are still
served and writes applied to the image."""

import re
import unittest

import wine_harness as wh
from wine_env import WineEnv
from wine_harness import REQUEST_LOG, REQUEST_LOG_HEADER

FAILURE_LINE = "default-> FS6IPC_MESSAGE_FAILURE"


class Base(wh.ClientTestCase):
    pass


def setUpModule():
    Base.env = WineEnv.acquire()


def tearDownModule():
    Base.env.release()


def log_entry(kind, count, offset, data):
    """One request-log entry as the client writes it, split into lines."""
    head = " Req: %06i %s Offset: %04X Bytes: %03i value: " % (count, "READ " if kind == "r" else "WRITE",
                                                               offset, len(data))
    text = head
    for i, byte in enumerate(data):
        text += "%02X " % byte
        if (i + 1) % 16 == 0:
            text += "\n" + " " * 50
    return (text + "\n").split("\n")[:-1]


class IpcTestCase(Base):
    mode = "standalone"

    def setUp(self):
        self.client, self.probe = self.launch(self.mode)

    def tearDown(self):
        # Every test leaves a client that still serves and ends cleanly.
        if self.client.proc.poll() is None:
            self.probe.ok("read 0 4")
            self.assertEqual(0, self.end(self.client, self.probe))

    def read(self, offset, size):
        result, fields = self.probe.request("read 0x%X %d" % (offset, size))
        self.assertEqual(0, result, "answered 1 with no link")
        return bytes.fromhex(fields["hex"])

    def write(self, command):
        result, _ = self.probe.request(command)
        self.assertEqual(0, result, "answered 1 with no link")


class ReadsAndWrites(IpcTestCase):
    def test_reads_are_zero_after_start(self):
        spots = [(0, 16), (0x0274, 2), (0x3308, 4), (0xFFFC, 8), (0x10000, 8), (0x1FFF0, 16)]
        result, fields = self.probe.request("req " + "; ".join("read 0x%X %d" % s for s in spots))
        self.assertEqual(0, result)
        self.assertEqual(["r=" + "00" * size for _, size in spots], fields)
        self.assertEqual(bytes(0x20000), self.read(0, 0x20000))

    def test_writes_are_visible_to_later_reads(self):
        cases = [  # write command, offset, bytes read back there
            ("write 0x0100 u16 1234", 0x0100, bytes.fromhex("D204")),
            ("write 0x0BC8 s32 -2", 0x0BC8, bytes.fromhex("FEFFFFFF")),
            ("write 0x2000 f64 0.5", 0x2000, bytes.fromhex("000000000000E03F")),
            ("write 0xFFFE hex 01020304", 0xFFFE, bytes.fromhex("01020304")),  # across 0x10000
            ("write 0x1FFF0 hex 000102030405060708090A0B0C0D0E0F", 0x1FFF0, bytes(range(16))),  # the last bytes
            ("write 0x0101 u8 7", 0x0100, bytes.fromhex("D207")),  # one byte of an earlier value
        ]
        for command, offset, expected in cases:
            with self.subTest(command):
                self.write(command)
                self.assertEqual(expected.hex(), self.read(offset, len(expected)).hex())
        # Later writes left the earlier ones alone, and the neighbours are still 0.
        for _, offset, expected in cases[1:]:
            self.assertEqual(expected.hex(), self.read(offset, len(expected)).hex())
        self.assertEqual("00" * 4, self.read(0x0BC4, 4).hex())
        # A read after a write in the same request sees the write.
        self.assertEqual((0, ["w", "r=2A000000"]), self.probe.request("req write 0x4000 u32 42; read 0x4000 4"))

    def test_only_0x330A_and_0x330B_refuse_local_writes(self):
        # The ownership map is consulted at a record's first offset only.
        steps = [  # write, the 4 bytes at 0x3308 afterwards
            ("write 0x330A u16 0xBEEF", "00000000"),
            ("write 0x330B u8 0x11", "00000000"),
            ("write 0x3309 u16 0x2233", "00332200"),
            ("write 0x3308 u32 0x44556677", "77665544"),
            ("write 0x330A u16 0", "77665544"),
        ]
        for command, expected in steps:
            with self.subTest(command):
                self.write(command)
                self.assertEqual(expected, self.read(0x3308, 4).hex().upper())


class PluginMode(IpcTestCase):
    mode = "plugin"

    def test_hidden_window_serves_requests(self):
        self.assertFalse(self.probe.json("info")["visible"])
        self.write("write 0x0200 u32 0x01020304")
        self.assertEqual("04030201", self.read(0x0200, 4).hex())
        self.probe.ok("command-sync 111")
        self.read(0x0200, 1)
        lines = wh.log_lines(self.client.read(REQUEST_LOG))
        self.assertEqual(REQUEST_LOG_HEADER + ["Read logging ON"] + log_entry("r", 0, 0x200, b"\x04"), lines)


class BadRequests(IpcTestCase):
    def new_log_lines(self, before):
        return wh.log_lines(self.client.read(REQUEST_LOG))[len(before):]

    def test_bad_requests_are_answered_zero_and_serving_goes_on(self):
        big = "11" * 16300
        cases = [
            # name, mapping size, request, answer fields, written marker that must be in the image, one
            # that must not, offset and size the log line names (None: the unknown-kind line)
            ("kind 3", "auto", "req write 0x5000 u8 1; raw 3 0 0; write 0x5001 u8 1",
             ["w", "k=0", "w"], 0x5000, 0x5001, None),
            ("read beyond the image", "auto", "req write 0x5010 u8 1; raw 1 0x1FFFF 2 000000000000; write 0x5011 u8 1",
             ["w", "k=0", "w"], 0x5010, 0x5011, (0x1FFFF, 2)),
            ("write beyond the image", "auto", "req write 0x5020 u8 1; raw 2 0x1FFFE 4 AABBCCDD",
             ["w", "k=0"], 0x5020, 0x1FFFE, (0x1FFFE, 4)),
            ("offset + size wrapping around", "auto", "req write 0x5030 u8 1; raw 2 0xFFFFFFFF 2 AABB; write 0x5031 u8 1",
             ["w", "k=0", "w"], 0x5030, 0x5031, (0xFFFFFFFF, 2)),
            ("size running past the mapping", "auto", "req write 0x5040 u8 1; raw 1 0 0xFFFFFFF0",
             ["w", "k=0"], 0x5040, None, (0, 0xFFFFFFF0)),
            ("write records over the batch's 32508 bytes", "auto",
             "req write 0x5050 u8 1; write 0x8000 hex %s; write 0xC000 hex %s" % (big, big),
             ["w", "w", "w"], 0x5050, 0xC000, (0xC000, 16300)),
            ("list without an end", "4096", "req noend write 0x5060 u8 1; read 0 4067",
             ["w", "r=" + "00" * 4067], 0x5060, None, None),
            ("last head cut by the end of the mapping", "4096",
             "req noend fill=01 write 0x5070 u8 1; read 0 4061", ["w", "r=" + "00" * 4061], 0x5070, None, None),
        ]
        for name, mapsize, request, fields, written, refused, logged in cases:
            with self.subTest(name):
                self.probe.ok("mapsize " + mapsize)
                before = wh.log_lines(self.client.read(REQUEST_LOG))
                self.assertEqual((0, fields), self.probe.request(request))
                self.assertIsNone(self.client.proc.poll(), "the client ended")
                self.probe.ok("mapsize auto")
                self.assertEqual(1, self.read(written, 1)[0], "the records before the bad one stay handled")
                if refused is not None:
                    self.assertEqual(0, self.read(refused, 1)[0], "a record at or after the bad one was applied")
                new = self.new_log_lines(before)
                if name.startswith("list") or name.startswith("last head"):
                    continue  # the end of the mapping ends the list; a log line is optional
                self.assertEqual(1, len(new), new)
                if logged is None:
                    self.assertEqual(FAILURE_LINE, new[0])
                else:
                    offset, size = logged
                    self.assertRegex(new[0], re.compile(r"\b(0x)?0*%X\b" % offset, re.IGNORECASE))
                    self.assertRegex(new[0], re.compile(r"\b(%d|(0x)?0*%X)\b" % (size, size), re.IGNORECASE))
        # Still serving, and nothing of the bad records landed anywhere else.
        self.write("write 0x5080 u16 0x0102")
        self.assertEqual("0201", self.read(0x5080, 2).hex())
        self.assertEqual(bytes(8).hex(), self.read(0x1FFF8, 8).hex())


class RequestLogging(IpcTestCase):
    def test_switches_log_exactly_the_records_in_between(self):
        image_0200 = bytes(range(1, 19))
        steps = [  # probe command, request-log lines it adds
            ("write 0x0100 u16 0x1234", []),
            ("read 0x0100 2", []),
            ("command-sync 111", ["Read logging ON"]),
            ("req read 0x0100 2; write 0x0200 hex %s; read 0x0200 18" % image_0200.hex(),
             log_entry("r", 0, 0x100, b"\x34\x12") + log_entry("r", 0, 0x200, image_0200)),
            ("req read 0x0200 16; read 0x0100 0", log_entry("r", 0, 0x200, image_0200[:16]) +
             log_entry("r", 0, 0x100, b"")),
            ("command-sync 112", ["Write logging ON"]),
            ("write 0x10000 u8 0xAB", log_entry("w", 0, 0x10000, b"\xab")),
            ("write 0x330A u16 0xBEEF", log_entry("w", 0, 0x330A, b"\0\0")),  # the image's bytes
            ("command-sync 111", ["Read logging OFF"]),
            ("read 0x0100 2", []),
            ("write 0x0300 u8 1", log_entry("w", 0, 0x300, b"\x01")),
            ("command-sync 112", ["Write logging OFF"]),
            ("req write 0x0300 u8 2; read 0x0300 1", []),
            ("raw 3 0 0", [FAILURE_LINE]),  # logged whatever the switches
        ]
        expected = list(REQUEST_LOG_HEADER)
        for command, added in steps:
            with self.subTest(command):
                self.probe.ok(command)
                expected += added
                self.assertEqual(expected, wh.log_lines(self.client.read(REQUEST_LOG)))


if __name__ == "__main__":
    unittest.main()
