"""The whole client under Wine against server_sim, with add-ons that meet a
lost link or build their request areas in ways a careful add-on would not.

A write made while the link is down never reaches the server: once the link
is back, the image must follow the server's value again instead of holding
the unsent one for the rest of the run. A request area made with SEC_RESERVE
and committed only in part must be answered 0 without the client touching the
pages that were never committed (Wine lets those pages be read, so the checks
look at what the client read and wrote, not only at whether it survived).
A flood of invalid datagrams from the server's address and of bad requests
must leave both logs small and the client serving.

Same rig as test_link_wine.py (two namespaces, server_sim in B); needs root.
"""

import os
import sys
import time
import unittest

import wine_harness as wh
from link_wine_case import LinkTestCase, pattern, setUpModule, tearDownModule  # noqa: F401 (the module's rig)
from wine_env import wait_until


class UnsentWrite(LinkTestCase):
    def test_a_write_made_while_the_link_is_down_does_not_hold_the_server_value_back(self):
        # Update frames would overwrite the byte whatever the shadow says: only
        # data blocks carry the server's values here.
        sim = self.start_sim("--pause", "updates", "--set", "0x0100=0x1111:2")
        client, probe = self.launch_linked()
        self.assertTrue(self.link_is(probe, True, 30), "requests never answered 1")
        self.assertTrue(wait_until(lambda: self.read_u16(probe) == 0x1111, 10))

        # The server stops taking connections and closes this one.
        sim.command("unlisten")
        sim.command("close")
        self.assertTrue(self.link_is(probe, False, 15), "the link never went down")
        self.assertEqual((0, []), probe.request("write 0x0100 u16 0x2222"))
        self.assertEqual(0x2222, self.read_u16(probe), "the image shows the local write until the server speaks")

        sim.command("set 0x0100=0x3333:2")
        sim.command("listen")
        self.assertTrue(self.link_is(probe, True, 30), "no reconnection")
        back = time.monotonic()
        self.assertTrue(wait_until(lambda: self.read_u16(probe) == 0x3333, 5),
                        "0x0100 still reads 0x%04X 5 s after the link came back" % self.read_u16(probe))
        self.assertLess(time.monotonic() - back, 5.5)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            self.assertEqual(0x3333, self.read_u16(probe))
            time.sleep(0.1)
        self.assertFalse([l for l in sim.journal_lines() if "0x00100" in l], "the unsent write reached the server")
        self.assertEqual(0, self.end(client, probe))

    def read_u16(self, probe):
        return int(probe.request("read 0x0100 u16")[1]["value"])


class ReservedArea(LinkTestCase):
    def test_uncommitted_pages_are_neither_read_nor_written(self):
        self.start_sim("--pattern", "--pause", "updates")
        client, probe = self.launch_linked()
        self.assertTrue(self.link_is(probe, True, 30), "requests never answered 1")
        self.assertTrue(wait_until(lambda: probe.request("read 0x0200 8") == (1, {"hex": pattern(0x0200, 8).hex().upper()}), 10))
        big = bytes([0xA5]) * 6000
        cases = [
            # name, bytes committed, request, fields it must come back with, request-log line
            ("a read running past the one committed page", 4096, "req read 0x0300 6000",
             ["r=" + "00" * 6000], "mapping-> FS6IPC_MESSAGE_FAILURE Offset: 0300 Bytes: 6000"),
            ("a write running past the one committed page", 4096, "req write 0x0400 hex " + big.hex(),
             ["w"], "mapping-> FS6IPC_MESSAGE_FAILURE Offset: 0400 Bytes: 6000"),
            ("nothing committed", 0, "req read 0x0300 8", ["r=" + "00" * 8], "end-> FS6IPC_MESSAGE_FAILURE"),
        ]
        for name, committed, request, fields, line in cases:
            with self.subTest(name):
                probe.ok("reserve %d" % committed)
                before = len(self.request_lines(client))
                start = time.monotonic()
                self.assertEqual((0, fields), probe.request(request, timeout=8))
                self.assertLess(time.monotonic() - start, 8)
                self.assertIsNone(client.proc.poll(), "the client ended")
                probe.ok("reserve off")
                self.assertEqual([line], self.request_lines(client)[before:])
                # The image took nothing of the refused records, and serving goes on.
                answer = probe.request("req read 0x0300 8; read 0x0400 8")
                self.assertEqual((1, ["r=" + pattern(0x0300, 8).hex().upper(), "r=" + pattern(0x0400, 8).hex().upper()]),
                                 answer)
        self.assertEqual(0, self.end(client, probe))


# Sends COUNT datagrams of 9 bytes (a frame head that claims more than follows)
# from the server's address to the client's update port, about 5,000 a second
# so that most of them get through the receive buffer rather than overflow it.
FLOOD = """
import socket, sys, time
source, target, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((source, 0))
for i in range(count):
    s.sendto(bytes([103, 0, 0x40, 0, 0, 0, 0, 0, 0]), (target, 65100))
    if i % 50 == 49:
        time.sleep(0.01)
"""


class Floods(LinkTestCase):
    def test_floods_of_bad_datagrams_and_bad_requests_leave_small_logs(self):
        sim = self.start_sim("--pattern")
        client, probe = self.launch_linked()
        self.assertTrue(self.link_is(probe, True, 30), "requests never answered 1")

        sender = self.net.popen(self.net.ns_b, [sys.executable, "-c", FLOOD, self.net.addr_b, self.net.addr_a,
                                                "50000"])
        self.assertEqual(0, sender.wait(120))
        # 20,000 requests of an unknown record kind, sent back to back.
        count = 20000
        probe.proc.stdin.write(b"raw 3 0 0\n" * count)
        probe.proc.stdin.flush()
        for _ in range(count):
            line = probe._lines.get(timeout=60)
            self.assertEqual("ok result=0 k=0", line)

        self.assertIsNone(client.proc.poll(), "the client ended")
        self.assertTrue(self.link_is(probe, True, 30), "requests not answered 1 after the floods")
        self.assertEqual((1, {"hex": pattern(0x0200, 4).hex().upper()}), probe.request("read 0x0200 4"))
        events = self.event_lines(client)
        bad = [l for l in events if " UDP bad datagram length" in l]
        self.assertGreater(len(bad), 0, "no invalid datagram reached the client")
        self.assertLessEqual(len(bad), 20, bad[:30])
        requests = self.request_lines(client)
        self.assertEqual(20, len([l for l in requests if l == "default-> FS6IPC_MESSAGE_FAILURE"]), requests[:40])
        self.assertEqual(0, self.end(client, probe))
        for name in (wh.EVENT_LOG, wh.REQUEST_LOG):
            self.assertLess(os.path.getsize(client.path(name)), 1 << 20, name)
        self.assertRegex(self.event_lines(client)[-1], wh.CLOSING_LINE)


if __name__ == "__main__":
    unittest.main()
