"""The client under Wine on networks nobody typed into its settings.

The rig of test_link_wine.py (client in namespace A, server_sim in B), with
what a user's PC brings: a second adapter that holds the default and the
multicast routes and hears nothing, a server found by its beacons or by its
host name, two servers beaconing, this PC's address removed, replaced or
added late, and a name service that never answers. Needs root; skipped
otherwise.
"""

import os
import shutil
import time
import unittest

import kvnet
import wine_harness as wh
from link_wine_case import LinkTestCase, setUpModule, tearDownModule  # noqa: F401 (the module's rig)
from wine_env import wait_until

CANT_OPEN = " Can't open UDP"


class NetworkTestCase(LinkTestCase):
    def ip_a(self, *args, check=True):
        return kvnet._ip("-n", self.net.ns_a, *args, check=check)

    def other_address(self, last):
        return "%s.%d" % (self.net.subnet, last)

    def name_service(self, hosts=None, nameserver=None):
        """Files that `ip netns exec` puts over /etc for what starts in A from
        now on (the client among them): hosts lines, a resolv.conf."""
        folder = "/etc/netns/" + self.net.ns_a
        os.makedirs(folder, exist_ok=True)
        self.addCleanup(shutil.rmtree, folder, True)
        if hosts is not None:
            with open(os.path.join(folder, "hosts"), "w") as f:
                f.write("127.0.0.1 localhost\n" + "".join("%s %s\n" % h for h in hosts))
        if nameserver is not None:
            with open(os.path.join(folder, "resolv.conf"), "w") as f:
                f.write("nameserver %s\noptions timeout:5 attempts:2\n" % nameserver)

    def move_address(self, old, new):
        """A's cable address old is removed; new (if any) added in its place."""
        if old:
            self.ip_a("addr", "del", old + "/24", "dev", self.net.dev_a)
        if new:
            self.ip_a("addr", "add", new + "/24", "dev", self.net.dev_a)
            # The last address's removal took the multicast route with it.
            self.ip_a("route", "replace", "224.0.0.0/4", "dev", self.net.dev_a)

    def keep_address(self):
        """A gets its cable address back after the test, whatever it did."""
        def restore():
            self.ip_a("addr", "flush", "dev", self.net.dev_a, check=False)
            self.move_address(None, self.net.addr_a)
        self.addCleanup(restore)

    def error_boxes(self, probe):
        return [w for w in probe.json("windows #32770") if w["caption"] == "Kestrovaline Error"]

    def count_lines(self, client, text):
        return len([l for l in self.event_lines(client) if text in l])


class FindsItsServer(NetworkTestCase):
    def test_auto_finds_the_server_past_a_dead_adapter(self):
        dead = self.net.subnet.replace("10.213.", "10.214.") + ".1"
        self.net.add_dead_adapter(dead)
        self.addCleanup(self.net.remove_dead_adapter)
        sim = self.start_sim("--counter", "0x18000:4:1")
        settings = wh.settings_file("auto", "auto")
        start = time.monotonic()
        client, probe = self.launch(settings=settings)
        self.assertTrue(self.link_is(probe, True, 8 - (time.monotonic() - start)), "no link within 8 s")
        first = int(probe.request("read 0x18000 u32")[1]["value"])
        self.assertTrue(wait_until(lambda: int(probe.request("read 0x18000 u32")[1]["value"]) > first, 5),
                        "update frames are not applied")
        self.assertEqual((1, []), probe.request("write 0x0200 u8 7"))
        self.assertTrue(wait_until(lambda: any(l.startswith("write ") and " 0x00200 1 07" in l
                                               for l in sim.journal_lines()), 10), sim.journal_lines())
        # server_sim rewrites its status every 100 ms.
        self.assertTrue(wait_until(lambda: (sim.status().get("connections"), sim.status().get("client"))
                                   == ("1", self.net.addr_a), 5), sim.status())
        self.assertEqual(0, self.end(client, probe))
        self.assertEqual(settings, client.read(wh.SETTINGS), "the settings file was rewritten")
        lines = self.assert_closing_lines(client)
        granted = [l for l in lines if " granting multicast to " in l][0].split(" to ", 1)[1].split(", ")
        self.assertEqual(sorted([self.net.addr_a, dead]), sorted(granted), "not joined on every adapter")
        self.assert_in_order(lines, ["granting multicast to ", "Server %s found by its beacons" % self.net.addr_b,
                                     "This PC's address towards the server: %s" % self.net.addr_a,
                                     "Connection to Server %s OK" % self.net.addr_b])

    def test_server_by_host_name(self):
        self.name_service(hosts=[(self.net.addr_b, "simpc")])
        self.start_sim()
        client, probe = self.launch(settings=wh.settings_file(self.net.addr_a, "simpc"))
        self.assertTrue(self.link_is(probe, True, 12), "no link to the server named simpc")
        self.assertEqual(0, self.end(client, probe))
        self.assert_in_order(self.event_lines(client), ["Server simpc is %s" % self.net.addr_b,
                                                        "Connection to Server %s OK" % self.net.addr_b])

    def test_unknown_host_name_gives_lines_not_a_box(self):
        self.name_service(hosts=[], nameserver="127.0.0.1")  # nothing listens there: an answer at once
        self.start_sim()
        started = time.monotonic()
        client, probe = self.launch(settings=wh.settings_file(self.net.addr_a, "nosuchpc"))
        deadline = time.monotonic() + 8
        while time.monotonic() < deadline:
            self.assertEqual(0, probe.request("read 0 1")[0])
            time.sleep(0.25)
        self.assertEqual([], self.error_boxes(probe))
        found = self.count_lines(client, " Cannot find server nosuchpc: ")
        # One try at once, then one each 4 s of the client's run so far (a slow start-up counts too).
        tries = 1 + int((time.monotonic() - started) / 4)
        self.assertTrue(1 <= found <= tries, (tries, self.event_lines(client)))
        self.assertEqual(0, self.end(client, probe, how="close"))

    def test_two_servers_one_link_and_the_other_named(self):
        sims = [self.start_sim(), self.start_sim(address=self.net.extra_b[0])]
        client, probe = self.launch(settings=wh.settings_file("auto", "auto"))
        self.assertTrue(self.link_is(probe, True, 12))
        time.sleep(10)
        self.assertTrue(self.link_is(probe, True, 1))
        connections = [int(s.status().get("connections", "0")) for s in sims]
        self.assertEqual(1, sum(connections), connections)
        self.assertEqual(0, self.end(client, probe))
        lines = self.event_lines(client)
        chosen = [self.net.addr_b, self.net.extra_b[0]][connections.index(1)]
        other = [self.net.addr_b, self.net.extra_b[0]][connections.index(0)]
        self.assertEqual(1, self.count_lines(client, "Server %s found by its beacons" % chosen), lines)
        named = self.count_lines(client, "Beacons also heard from %s; staying with %s (set \"IP Address of server\" "
                                 "to choose)" % (other, chosen))
        self.assertIn(named, (1, 2), lines)


class AddressChanges(NetworkTestCase):
    def test_auto_follows_a_replaced_address(self):
        self.keep_address()
        self.start_sim()
        client, probe = self.launch(settings=wh.settings_file("auto", "auto"))
        self.assertTrue(self.link_is(probe, True, 12))
        new = self.other_address(9)
        self.move_address(self.net.addr_a, new)
        # The line comes with the new connection, before requests are answered 1 on it; until then they
        # are still answered 1 on the old link.
        self.assertTrue(wait_until(
            lambda: self.count_lines(client, "This PC's address towards the server: %s" % new) == 1, 12)
            and self.link_is(probe, True, 12), self.event_lines(client))
        self.assertEqual(0, self.end(client, probe))

    def test_auto_address_replaced_after_three_seconds_without_one(self):
        # A DHCP change or an adapter reconnecting: for a moment this PC has no
        # address at all. Nobody typed one, so there is nothing to complain of.
        self.keep_address()
        self.start_sim()
        client, probe = self.launch(settings=wh.settings_file("auto", "auto"))
        self.assertTrue(self.link_is(probe, True, 12))
        new = self.other_address(12)
        self.move_address(self.net.addr_a, None)
        self.assertTrue(self.link_is(probe, False, 3), "writes still answered 1 with the address gone")
        time.sleep(3)
        self.move_address(None, new)
        self.assertTrue(self.link_is(probe, True, 12), "no link 12 s after the new address")
        self.assertEqual([], self.error_boxes(probe))
        self.assertEqual(0, self.end(client, probe, how="close"))
        lines = self.event_lines(client)
        self.assertEqual(0, self.count_lines(client, CANT_OPEN), lines)
        self.assertEqual(0, self.count_lines(client, "failed, wrong IP adress"), lines)
        self.assertLessEqual(self.count_lines(client, "No address of this PC to listen for the server on yet"), 1,
                             lines)

    def test_set_address_removed_for_ten_seconds(self):
        self.keep_address()
        self.start_sim()
        client, probe = self.launch_linked()
        self.assertTrue(self.link_is(probe, True, 12))
        self.move_address(self.net.addr_a, None)
        self.assertTrue(self.link_is(probe, False, 3), "writes still answered 1 with the address gone")
        time.sleep(10)
        self.move_address(None, self.net.addr_a)
        self.assertTrue(self.link_is(probe, True, 12), "no link 12 s after the address came back")
        self.assertLessEqual(len(self.error_boxes(probe)), 1)
        self.assertEqual(0, self.end(client, probe, how="close"))
        self.assertLessEqual(self.count_lines(client, CANT_OPEN), 3, self.event_lines(client))
        self.assert_in_order(self.event_lines(client), ["This PC's address %s is gone" % self.net.addr_a,
                                                        "Link lost => Status DEINIT"])

    def test_set_address_that_appears_after_the_start(self):
        self.keep_address()
        late = self.other_address(11)
        self.start_sim()
        client, probe = self.launch(settings=wh.settings_file(late, self.net.addr_b))
        self.assertTrue(wait_until(lambda: self.count_lines(client, CANT_OPEN) == 1, 10))
        self.move_address(None, late)
        self.assertTrue(self.link_is(probe, True, 12), "no link 12 s after the address appeared")
        # The box has a thread of its own, started after the line: the link says nothing of it.
        self.assertTrue(wait_until(lambda: self.error_boxes(probe), 10), "no error box")
        self.assertEqual(1, len(self.error_boxes(probe)))
        # The box closes beside the window, not after it (each takes about 2 s
        # under Wine without a window manager): within the 5 s of any close.
        start = time.monotonic()
        self.assertEqual(0, self.end(client, probe, how="close"))
        self.assertLessEqual(time.monotonic() - start, 5.0, "WM_CLOSE with the error box open")
        self.assertEqual(1, self.count_lines(client, CANT_OPEN), self.event_lines(client))


class SlowNameService(NetworkTestCase):
    def test_reverse_lookups_that_time_out_hold_up_nothing(self):
        # A name server in the cable's subnet that never answers: the reverse
        # lookup of the server's address takes the resolver's whole time-out.
        silent = self.other_address(77)
        self.ip_a("neigh", "replace", silent, "lladdr", "02:00:00:00:00:77", "dev", self.net.dev_a, "nud",
                  "permanent")
        self.addCleanup(self.ip_a, "neigh", "del", silent, "dev", self.net.dev_a, check=False)
        self.name_service(hosts=[], nameserver=silent)
        client, probe = self.launch_linked()
        sim = self.start_sim()
        self.assertTrue(wait_until(lambda: sim.status().get("beacons", "0") != "0", 20))
        first_beacon = time.monotonic()
        self.assertTrue(self.link_is(probe, True, 4 - (time.monotonic() - first_beacon)),
                        "no link within 4 s of the first beacon")
        start = time.monotonic()
        probe.ok("close")
        self.assertEqual(0, client.wait(10))
        self.assertLessEqual(time.monotonic() - start, 4.0)


if __name__ == "__main__":
    unittest.main()
