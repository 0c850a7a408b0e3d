"""The web gateway under Wine: the client in namespace A with server_sim in
B; web clients (web_client.py, Debian's Python with python3-websockets) from
A (this PC) and from B (another PC). Every op and its errors, a write from
the web journaled by the server as the same write through the window
message, the link's pushes, pushes sent at once (no Nagle), Host, Origin
and key refusals, a port in use, a client that never reads, and a close
with 20 web clients connected.
Needs root; skipped otherwise.
"""

import json
import os
import subprocess
import time
import unittest

import live_socket
import wine_harness as wh
from link_wine_case import RIG, LinkTestCase, setUpModule, tearDownModule  # noqa: F401 (the module's rig)
from wine_env import wait_until

PORT = 8765
WEB_BOX = "Kestrovaline Web"
SYSTEM_PYTHON = "/usr/bin/python3"
WEB_CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web_client.py")


def web_settings(local, server, port=PORT, extra=""):
    return wh.settings_file(local, server, web="Port = %d\r\n%s" % (port, extra))


class WebClient:
    """One web_client.py in a namespace, line by line."""

    def __init__(self, ns, url, *options):
        self.proc = RIG.rig.net.popen(ns, [SYSTEM_PYTHON, WEB_CLIENT, url, *options], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.first = self.proc.stdout.readline().strip()

    def send(self, message):
        self.proc.stdin.write("send %s\n" % json.dumps(message))

    def recv(self, seconds=5):
        self.proc.stdin.write("recv %s\n" % seconds)
        return self._answer()

    def until(self, op, seconds=10):
        self.proc.stdin.write("until %s %s\n" % (op, seconds))
        return self._answer()

    def ask(self, message, seconds=5):
        self.send(message)
        return self.recv(seconds)

    def _answer(self):
        line = self.proc.stdout.readline().strip()
        if line.startswith("msg "):
            return json.loads(line[4:])
        return line

    def drain(self, seconds):
        """"closed CODE" once the gateway has closed the connection (also
        when that ended an earlier command), else "open"."""
        try:
            self.proc.stdin.write("drain %s\n" % seconds)
        except OSError:
            pass  # it has ended already, and said why
        return self.proc.stdout.readline().strip()

    def close(self):
        wh.end_child(self.proc, "close\n")


@unittest.skipUnless(os.path.exists(SYSTEM_PYTHON), "needs Debian's python3 with python3-websockets")
class Gateway(LinkTestCase):
    def launch_web(self, extra="", port=PORT):
        sim = self.start_sim()
        client, probe = self.launch(settings=web_settings(self.net.addr_a, self.net.addr_b, port, extra))
        self.assertTrue(wait_until(lambda: any("Web gateway" in l for l in self.event_lines(client)), 20),
                        self.event_lines(client))
        return sim, client, probe

    def web(self, ns=None, path="/ws", host=None, *options):
        url = "ws://%s:%d%s" % (host or self.net.addr_a, PORT, path)
        c = WebClient(ns or self.net.ns_a, url, *options)
        self.addCleanup(c.close)
        return c

    def key(self, client):
        return client.read("Kestrovaline.key").decode().strip()

    def test_every_op_and_error_from_this_pc_and_another(self):
        sim, client, probe = self.launch_web()
        self.assertTrue(self.link_is(probe, True, 30))
        key = self.key(client)
        for ns, path in ((self.net.ns_a, "/ws"), (self.net.ns_b, "/ws?key=" + key)):
            with self.subTest(ns=ns):
                self.every_op(self.web(ns, path))
        self.assertEqual(0, self.end(client, probe))

    def every_op(self, c):
        self.assertEqual("open", c.first)
        link = c.until("link")
        self.assertEqual({"op": "link", "up": True, "server": self.net.addr_b}, link)
        declared = c.ask({"op": "declare", "id": 7, "group": "g", "offsets": [
            {"name": "a", "offset": "0x0200", "type": "u8"}, {"name": "w", "offset": 0x0300, "type": "u16"}]})
        self.assertEqual({"ok": True, "id": 7}, declared)
        read = c.ask({"op": "read", "group": "g"})
        self.assertTrue(read["ok"], read)
        self.assertEqual({"a", "w"}, set(read["values"]))
        self.assertEqual({"ok": True}, c.ask({"op": "subscribe", "group": "g", "interval": 0}))
        self.assertEqual({"a", "w"}, set(c.until("values")["values"]))
        self.assertEqual({"ok": True}, c.ask({"op": "stop", "group": "g"}))
        written = c.ask({"op": "write", "group": "g", "values": {"w": 0x0102}})
        self.assertEqual({"ok": True, "sent": True}, written)
        self.assertEqual(0x0102, c.ask({"op": "read", "group": "g"})["values"]["w"])
        status = c.ask({"op": "status"})
        self.assertEqual("UDP_TCP_CONNECTED", status["state"], status)
        for message, code in (("not json", "bad_json"), ({"op": "fly"}, "unknown_op"),
                              ({"op": "read", "group": "none"}, "unknown_group"),
                              ({"op": "declare", "group": "x", "offsets": [
                                  {"name": "a", "offset": 0x1FFFF, "type": "u16"}]}, "bad_offset"),
                              ({"op": "write", "values": [{"offset": 0x0200, "type": "u8", "value": 256}]},
                               "bad_value"),
                              ({"op": "subscribe", "group": "g", "interval": 5}, "limit")):
            if isinstance(message, str):
                c.proc.stdin.write("send %s\n" % message)
                reply = c.recv()
            else:
                reply = c.ask(message)
            self.assertEqual(code, reply.get("error"), reply)

    def test_a_web_write_reaches_the_server_as_the_same_write_through_the_window_message(self):
        sim, client, probe = self.launch_web("", PORT)
        self.assertTrue(self.link_is(probe, True, 30))
        batches = lambda: [l.split(" ", 2)[2] for l in sim.journal_lines() if l.startswith("batch")]
        self.assertEqual((1, []), probe.request("write 0x0200 u16 0x1234"))
        self.assertTrue(wait_until(lambda: len(batches()) >= 1, 10), sim.journal_lines())
        c = self.web()
        c.until("link")
        reply = c.ask({"op": "write", "values": [{"offset": "0x0200", "type": "u16", "value": 0x1234}]})
        self.assertEqual({"ok": True, "sent": True}, reply)
        self.assertTrue(wait_until(lambda: len(batches()) >= 2, 10), sim.journal_lines())
        first, second = batches()[:2]
        # The frame byte for byte, but for the free padding byte after the type.
        self.assertEqual(first[:4] + first[6:], second[:4] + second[6:])
        self.assertEqual(0, self.end(client, probe))

    def test_another_pc_reads_and_writes_only_with_the_key(self):
        sim, client, probe = self.launch_web()
        self.assertTrue(self.link_is(probe, True, 30))
        write = {"op": "write", "values": [{"offset": 0x0200, "type": "u8", "value": 3}]}
        plain = self.web(self.net.ns_b)
        plain.until("link")
        self.assertTrue(plain.ask({"op": "status"})["ok"])
        self.assertEqual("write_refused", plain.ask(write).get("error"))
        keyed = self.web(self.net.ns_b, "/ws?key=" + self.key(client))
        keyed.until("link")
        self.assertEqual({"ok": True, "sent": True}, keyed.ask(write))
        wrong = self.web(self.net.ns_b, "/ws?key=" + "0" * 32)
        wrong.until("link")
        self.assertEqual("write_refused", wrong.ask(write).get("error"))
        # The Web menu's box gives the address to open on a tablet, key included, and counts the clients.
        texts = self.web_box(probe)
        self.assertIn("http://%s:%d/?key=%s" % (self.net.addr_a, PORT, self.key(client)), texts)
        self.assertIn("Web clients connected now: 3", texts)
        self.assertEqual(0, self.end(client, probe))

    def web_box(self, probe):
        """The texts of the box that the Web menu's "Address for a tablet..." shows, closed with OK."""
        probe.ok("command 113")  # posted: the box is modal
        box = probe.json("wait-box \"%s\" 20000" % WEB_BOX)
        probe.ok("press-ok \"%s\"" % WEB_BOX)
        self.assertTrue(wait_until(lambda: not probe("wait-box \"%s\" 0" % WEB_BOX)[0], 20))
        return "\n".join(box["texts"])

    def test_foreign_host_and_origin_are_refused(self):
        sim, client, probe = self.launch_web("Origins = http://panel.example:8080\r\n")
        own = "http://%s:%d" % (self.net.addr_a, PORT)
        cases = [
            ("a page of the gateway's own", [], "open"),
            ("a listed origin", ["--origin", "http://panel.example:8080"], "open"),
            ("a foreign origin", ["--origin", "http://evil.example"], "refused 403"),
            ("origin null", ["--origin", "null"], "refused 403"),
        ]
        for name, options, expected in cases:
            with self.subTest(name):
                if not options:
                    options = ["--origin", own]
                c = WebClient(self.net.ns_b, "ws://%s:%d/ws" % (self.net.addr_a, PORT), *options)
                self.addCleanup(c.close)
                self.assertEqual(expected, c.first)
        rebound = WebClient(self.net.ns_b, "ws://evil.example:%d/ws" % PORT, "--host", self.net.addr_a)
        self.addCleanup(rebound.close)
        self.assertEqual("refused 403", rebound.first, "a name this PC does not own (DNS rebinding)")
        self.assertEqual(0, self.end(client, probe))

    def test_link_changes_are_pushed(self):
        sim, client, probe = self.launch_web()
        self.assertTrue(self.link_is(probe, True, 30))
        c = self.web()
        first = c.until("link")
        self.assertTrue(first["up"], first)
        sim.stop()
        down = c.until("link", 30)
        self.assertIsInstance(down, dict, "no link message when the server stopped")
        self.assertFalse(down["up"], down)
        self.start_sim()
        up = c.until("link", 60)
        self.assertIsInstance(up, dict, "no link message when the server came back")
        self.assertTrue(up["up"], up)
        self.assertEqual(0, self.end(client, probe))

    def test_pushes_leave_at_once(self):
        # Nagle's algorithm would hold a push until the client acknowledged
        # the one before, which its delayed ACK may hold for tens of ms.
        sim, client, probe = self.launch_web()
        c = self.web(self.net.ns_b)
        self.assertEqual("link", c.recv()["op"])
        self.assertTrue(live_socket.tcp_nodelay(self.net.ns_a, PORT, local=True),
                        "TCP_NODELAY is off on the gateway's socket")
        c.close()
        self.assertEqual(0, self.end(client, probe))

    def test_a_port_in_use_is_one_line_and_the_client_runs_on(self):
        busy = RIG.rig.net.popen(self.net.ns_a, [SYSTEM_PYTHON, "-c",
                                 "import socket,time;s=socket.socket();"
                                 "s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1);s.bind(('0.0.0.0',%d));s.listen();"
                                 "print('bound',flush=True);time.sleep(120)" % PORT], stdout=subprocess.PIPE,
                                 text=True)
        self.addCleanup(busy.kill)
        self.assertEqual("bound", busy.stdout.readline().strip())
        sim, client, probe = self.launch_web()
        self.assertTrue(self.link_is(probe, True, 30))
        lines = [l for l in self.event_lines(client) if "Web gateway" in l]
        self.assertEqual(1, len(lines), lines)
        self.assertIn(str(PORT), lines[0])
        self.assertIn("The web gateway is not running: ", self.web_box(probe))
        self.assertEqual(0, self.end(client, probe))

    def test_a_restart_listens_again_at_once(self):
        # The gateway closes its clients' connections at the close, which
        # leaves them waiting out TCP's TIME_WAIT on the port: a client
        # started again at once must listen there all the same.
        for run in range(2):
            sim, client, probe = self.launch_web()
            self.assertTrue(self.link_is(probe, True, 30))
            lines = [l for l in self.event_lines(client) if "Web gateway" in l]
            self.assertRegex(lines[0], r"Web gateway at http://", "run %d: %s" % (run, lines))
            web = self.web()
            web.until("link")
            self.assertTrue(web.ask({"op": "status"})["ok"])
            self.assertEqual(0, self.end(client, probe))
            web.close()
            sim.stop()

    def test_close_with_twenty_subscribed_clients_and_one_that_never_reads(self):
        sim, client, probe = self.launch_web()
        self.assertTrue(self.link_is(probe, True, 30))
        clients = [self.web() for _ in range(20)]
        for c in clients:
            c.until("link")
            c.ask({"op": "declare", "group": "g", "offsets": [{"name": "b", "offset": 0, "type": "bytes",
                                                               "size": 4096}]})
            self.assertEqual({"ok": True}, c.ask({"op": "subscribe", "group": "g", "interval": 0}))
        # A client that asks for far more than it reads: its queue fills and
        # the gateway closes it; the others go on.
        deaf = self.web(None, "/ws", None, "--max-queue", "1")
        deaf.until("link")
        big = [{"name": "b%d" % i, "offset": 4096 * i, "type": "bytes", "size": 4096} for i in range(4)]
        self.assertEqual({"ok": True}, deaf.ask({"op": "declare", "group": "big", "offsets": big}))
        deaf.proc.stdin.write("flood 2000 %s\n" % json.dumps({"op": "read", "group": "big"}))
        self.assertRegex(deaf.drain(60), r"^closed ", "the client that never reads was not closed")
        pushed = clients[0].until("values", 10)
        self.assertIsInstance(pushed, dict, "a reading client got no pushes")
        start = time.monotonic()
        self.assertEqual(0, self.end(client, probe))
        self.assertLess(time.monotonic() - start, 5 * wh.TIME_SCALE + 2)


if __name__ == "__main__":
    unittest.main()
