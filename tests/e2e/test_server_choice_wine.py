"""The client under Wine against servers that do not work as they should.

The rig of test_link_wine.py (client in namespace A, server_sim in B, with a
second address in B for another host): a host that beacons but takes no
connection, one that takes each connection and ends it before any frame, a
server that journals writes but never applies them, and a broken frame in
the middle of the data blocks. Needs root; skipped otherwise.
"""

import time

import wine_harness as wh
from link_wine_case import LinkTestCase, setUpModule, tearDownModule  # noqa: F401 (the module's rig)
from wine_env import wait_until


class ServerChoice(LinkTestCase):
    def beacons_heard(self, sim, timeout=20):
        return wait_until(lambda: sim.status().get("beacons", "0") != "0", timeout)

    def connections(self, sim):
        """The connections sim has accepted, as of now (its status file is
        rewritten after each command)."""
        sim.do("status")
        return int(sim.status().get("connections", "0"))

    def count_lines(self, client, text):
        return len([l for l in self.event_lines(client) if text in l])

    def test_a_host_that_takes_no_connection_is_given_up_for_a_working_one(self):
        dead = self.net.extra_b[0]
        self.start_sim("--no-listen", address=dead)
        client, probe = self.launch(settings=wh.settings_file("auto", "auto"))
        self.assertTrue(wait_until(lambda: self.count_lines(client, "Server %s found by its beacons" % dead), 30),
                        self.event_lines(client))
        time.sleep(4)
        sim = self.start_sim("--set", "0x0300=0x55")
        self.assertTrue(self.beacons_heard(sim))
        first_beacon = time.monotonic()
        self.assertTrue(self.link_is(probe, True, 20 - (time.monotonic() - first_beacon)),
                        "no link within 20 s of the working server's first beacon:\n%s"
                        % "\n".join(self.event_lines(client)))
        # Requests are answered 1 from the connection on; the value comes
        # with the first data block after it.
        self.assertTrue(wait_until(lambda: self.read_u8(probe, 0x0300) == 0x55, 5),
                        "0x0300 = 0x%02X five seconds after the link came up" % self.read_u8(probe, 0x0300))
        self.assertEqual(1, self.connections(sim))
        self.assertEqual(0, self.end(client, probe))
        self.assert_in_order(self.event_lines(client), [
            "Server %s found by its beacons" % dead,
            "Server %s takes no connection (" % dead,
            "Server %s found by its beacons" % self.net.addr_b,
            "Connection to Server %s OK" % self.net.addr_b])
        # The line gives the platform's reason for the refusal.
        given_up = [l for l in self.event_lines(client) if "takes no connection (" in l][0]
        self.assertRegex(given_up, r"takes no connection \([^)]+\); trying another for 10 s$")

    def test_a_host_that_drops_each_connection_loses_to_a_working_one(self):
        # The dropper is chosen first for sure: the working server beacons only
        # once the client has heard the dropper. From then on the dropper, ten
        # times as loud, is heard first at every reopening.
        dropper = self.start_sim("--drop", "--beacon-rate", "200", address=self.net.extra_b[0])
        self.assertTrue(self.beacons_heard(dropper))
        client, probe = self.launch(settings=wh.settings_file("auto", "auto"))
        self.assertTrue(wait_until(lambda: self.count_lines(client, "Server %s found by its beacons"
                                                            % self.net.extra_b[0]), 30), self.event_lines(client))
        sim = self.start_sim("--set", "0x0300=0x66")
        self.assertTrue(self.beacons_heard(sim))
        start = time.monotonic()
        # Linked to the working server: requests answered 1, and its first
        # data block in (which comes after the connection).
        self.assertTrue(wait_until(lambda: self.connections(sim) == 1 and
                                   probe.request("read 0x0300 u8")[0] == 1 and self.read_u8(probe, 0x0300) == 0x66,
                                   30 - (time.monotonic() - start)),
                        "not linked to the working server within 30 s:\n%s" % "\n".join(self.event_lines(client)))
        size = len(client.read(wh.EVENT_LOG))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            self.assertEqual(1, probe.request("read 0x0300 1")[0], "the link to the working server went down")
            time.sleep(0.5)
        grown = len(client.read(wh.EVENT_LOG)) - size
        self.assertLessEqual(grown, 16 * 1024)
        self.assertEqual(1, self.connections(sim))
        self.assertEqual(0, self.end(client, probe))
        self.assertGreaterEqual(self.count_lines(client, "Server %s gives no data; trying another for 10 s"
                                                 % self.net.extra_b[0]), 1, self.event_lines(client))

    def test_writes_the_server_never_applies_give_way_to_its_value(self):
        # Update frames would overwrite the byte whatever the shadow says: only
        # data blocks carry the server's values here.
        sim = self.start_sim("--no-apply", "--pause", "updates", "--set", "0x0100=0x1111:2")
        client, probe = self.launch_linked()
        self.assertTrue(self.link_is(probe, True, 30), "requests never answered 1")
        self.assertTrue(wait_until(lambda: self.read_u16(probe) == 0x1111, 10))

        # Without a reconnection: the blocks keep saying 0x1111.
        self.assertEqual((1, []), probe.request("write 0x0100 u16 0x2222"))
        written = time.monotonic()
        self.assertTrue(wait_until(lambda: any(" 0x00100 2 2222" in l for l in sim.journal_lines()), 5),
                        sim.journal_lines())
        self.assertTrue(wait_until(lambda: self.read_u16(probe) == 0x1111, 10),
                        "0x0100 still reads 0x%04X 10 s after the write" % self.read_u16(probe))
        self.assertGreater(time.monotonic() - written, 2, "the write gave way before the server could echo it")

        # With a reconnection: the mark ends with the link.
        self.assertEqual((1, []), probe.request("write 0x0100 u16 0x3333"))
        self.assertTrue(wait_until(lambda: any(" 0x00100 2 3333" in l for l in sim.journal_lines()), 5))
        connections = self.connections(sim)
        self.assertTrue(sim.do("close"))
        self.assertTrue(wait_until(lambda: self.connections(sim) > connections, 15),
                        "no reconnection")
        back = time.monotonic()
        self.assertTrue(wait_until(lambda: self.read_u16(probe) == 0x1111, 3),
                        "0x0100 still reads 0x%04X 3 s after the reconnection" % self.read_u16(probe))
        self.assertLess(time.monotonic() - back, 3.5)
        self.assertEqual(0, self.end(client, probe))

    def test_a_bad_frame_amid_the_blocks_costs_only_itself(self):
        # The counter moves only in the data blocks (update frames paused).
        sim = self.start_sim("--pause", "updates", "--counter", "0x0300:4:1")
        client, probe = self.launch_linked()
        self.assertTrue(self.link_is(probe, True, 30), "requests never answered 1")
        for kind in ("truncated", "size", "tag"):
            with self.subTest(kind):
                self.assertTrue(wait_until(lambda: self.read_u32(probe) != 0, 10))
                self.assertTrue(sim.do("bad tcp %s" % kind))
                sent = time.monotonic()
                before = self.read_u32(probe)
                self.assertTrue(wait_until(lambda: self.read_u32(probe) != before, 1 - (time.monotonic() - sent),
                                           0.02), "no data block in the image within 1 s of a bad frame (%s)" % kind)
                self.assertTrue(self.link_is(probe, True, 1))
        self.assertEqual(0, self.end(client, probe))
        self.assertEqual(3, self.count_lines(client, " TCP Bad footer batch "), self.event_lines(client))
        self.assertEqual(1, self.connections(sim), "the link was recycled, not resynchronised")

    def read_u16(self, probe):
        return int(probe.request("read 0x0100 u16")[1]["value"])

    def read_u32(self, probe):
        return int(probe.request("read 0x0300 u32")[1]["value"])
