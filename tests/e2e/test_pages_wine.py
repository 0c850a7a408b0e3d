"""The gateway's pages in a real browser under Wine: the client in namespace
A with server_sim in B (its waves move the sample panel's gauges), a
headless Chromium (page_browser.py) in A (this PC) or in B (another PC).
Each page loads from the client with nothing from elsewhere, a page and a
panel.json in the web folder beside the program come first, the panel's
gauges move and fit a phone's screen legibly, a page open while the client
is closed and started again goes live again by itself within 3 s of the
client's return, the status page shows the link go down and come back and
gives the address a tablet opens (this PC's on the network, the key only to
a page that may write) also as a QR code of that text, a write from the offsets page reaches server_sim's
journal, and a page opened from the other PC without the key cannot write
and says why. With KV_PAGE_SHOTS set, test_screenshots takes the pictures of
docs/ into that folder. Needs root and Debian's chromium, chromium-driver and
python3-selenium; skipped otherwise.
"""

import json
import os
import shutil
import subprocess
import time
import unittest

import wine_harness as wh
from headless_page import ALL_GAUGES_SHOWN, PANEL_WAVES, PHONE, SYSTEM_PYTHON, Browser, panel_on_a_phone, \
    selenium_present
from link_wine_case import LinkTestCase, setUpModule, tearDownModule  # noqa: F401 (the module's rig)
from wine_env import wait_until

PORT = 8765
SHOTS = os.environ.get("KV_PAGE_SHOTS")  # a folder: the screenshots of docs/ are taken into it
PAGES = ["index.html", "status.html", "offsets.html", "panel.html"]
# How many bytes a QR code of each version (1, 2, ...) holds at error correction level M.
QR_BYTES_M = [14, 26, 42, 62, 84, 106, 122, 152, 180, 213]
# The status page's QR code as drawn: what it encodes, its size in modules, its
# viewBox, its dark squares in the path and its width on screen.
QR_DRAWN = """const svg = document.querySelector('#qr');
if (svg.hasAttribute('hidden') || !svg.dataset.text) return null;
return {text: svg.dataset.text, modules: Number(svg.dataset.modules), viewBox: svg.getAttribute('viewBox'),
        dark: (svg.querySelector('path').getAttribute('d').match(/M/g) || []).length,
        width: svg.getBoundingClientRect().width};"""
# A page of the user's: the release's sample of a page made with kestrovaline.js (docs/web.md's example).
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "web", "alt.html"),
          encoding="utf-8") as f:
    MY_PAGE = f.read()
# Run in namespace A: waits until the gateway at argv[1] serves a page, then
# prints the wall-clock time it did (the browser's Date.now() is on the same clock).
UNTIL_SERVED = """import sys, time, urllib.request
while True:
    try:
        urllib.request.urlopen(sys.argv[1], timeout=1).read()
        break
    except OSError:
        time.sleep(0.02)
print(time.time(), flush=True)
"""
# The moment the panel's gauges next change (a push), as the page's Date.now().
WATCH_GAUGES = """window.kvChanged = null;
new MutationObserver(() => { window.kvChanged = window.kvChanged || Date.now(); })
  .observe(document.querySelector('#gauges'),
           {subtree: true, childList: true, characterData: true, attributes: true});"""


def start_beside(client):
    """Runs a copy of the program in the client's own folder, so that its web
    folder is the one beside that copy."""
    exe = os.path.join(client.root, "Kestrovaline.exe")
    shutil.copyfile(os.path.join(wh.bin_dir(), "Kestrovaline.exe"), exe)
    client.proc = client.env.popen([exe] + client.args, cwd=client.root, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
    return client


@unittest.skipUnless(selenium_present(), "needs Debian's chromium, chromium-driver and python3-selenium")
class Pages(LinkTestCase):
    def launch_pages(self, prepare=None, sim_options=()):
        sim = self.start_sim(*PANEL_WAVES, *sim_options)
        client, probe = self.launch(settings=wh.settings_file(self.net.addr_a, self.net.addr_b,
                                                              web="Port = %d\r\n" % PORT), prepare=prepare)
        self.assertTrue(wait_until(lambda: any("Web gateway at" in l for l in self.event_lines(client)), 20),
                        self.event_lines(client))
        self.assertTrue(self.link_is(probe, True, 30))
        return sim, client, probe

    def browser(self, ns=None):
        b = Browser(self.net, ns or self.net.ns_a)
        self.addCleanup(b.close)
        return b

    def url(self, page, key=None):
        return "http://%s:%d/%s%s" % (self.net.addr_a, PORT, page, "?key=" + key if key else "")

    def key(self, client):
        return client.read("Kestrovaline.key").decode().strip()

    def test_each_page_loads_from_the_client_and_the_web_folder_comes_first(self):
        def prepare(client):
            web = os.path.join(client.root, "web")
            os.makedirs(web)
            with open(os.path.join(web, "mine.html"), "w", encoding="utf-8") as f:
                f.write(MY_PAGE)
            with open(os.path.join(web, "panel.json"), "w") as f:
                json.dump({"title": "My panel", "gauges": [{"label": "Speed", "offset": "0x6000", "type": "u16",
                                                             "min": 0, "max": 200}]}, f)
            client.start = lambda: start_beside(client)

        sim, client, probe = self.launch_pages(prepare)
        b = self.browser()
        for page in PAGES:
            with self.subTest(page):
                b.open(self.url(page, self.key(client)))
                self.assertEqual("gateway", b.wait_text("#connection", "gateway"))
                self.assertEqual("link up", b.wait_text("#link", "link up"))
                outside = b.js("return performance.getEntriesByType('resource').map(e => e.name)"
                               ".filter(n => !n.startsWith(location.origin + '/'));")
                self.assertEqual([], outside, "a page loads only from the client")
                if page != "index.html":
                    self.assertIn("?key=", b.js("return document.querySelector('a[data-page]').href;"))
        b.open(self.url(""))
        self.assertEqual(3, b.js("return document.querySelectorAll('a[data-page]').length;"))
        b.open(self.url("status.html"))
        self.assertIn("Connected to Server", b.wait_text("#lines", "Connected to Server"))
        b.open(self.url("mine.html"))
        self.assertEqual("up", b.wait_text("#link", "up"))
        self.assertTrue(b.wait("return /^[0-9]+$/.test(document.querySelector('#alt').textContent);"),
                        b.text("#alt"))
        b.open(self.url("panel.html"))
        self.assertEqual("My panel", b.wait_text("#title", "My panel"))
        self.assertEqual(1, b.js("return document.querySelectorAll('#gauges svg').length;"))
        self.assertEqual(0, self.end(client, probe))

    def test_the_status_page_shows_the_link_go_down_and_come_back(self):
        sim, client, probe = self.launch_pages()
        b = self.browser(self.net.ns_b)
        b.open(self.url("status.html", self.key(client)))
        self.assertIn("Connected to Server", b.wait_text("#lines", "Connected to Server"))
        self.assertEqual(self.url("", self.key(client)), b.wait_text("#address", "key="), "the address for a tablet")
        self.assertIn("link up", b.wait_text("#link", "link up"))
        sim.stop()
        self.assertEqual("link down", b.wait_text("#link", "link down", 30))
        self.assertIn("link down", b.wait_text("#events", "link down"))
        self.start_sim(*PANEL_WAVES)
        self.assertEqual("link up", b.wait_text("#link", "link up", 60))
        self.assertIn("link up to " + self.net.addr_b, b.wait_text("#events", "link up to"))
        self.assertEqual("live", b.wait_text("#updated", "live"))

    def test_the_status_page_gives_the_address_for_a_tablet_and_the_key_only_to_a_writer(self):
        sim, client, probe = self.launch_pages()
        key = self.key(client)
        here, there = self.browser(), self.browser(self.net.ns_b)
        for name, b, url, expected in (
                ("this PC, as localhost", here, "http://localhost:%d/status.html" % PORT, self.url("", key)),
                ("another PC with the key", there, self.url("status.html", key), self.url("", key)),
                ("another PC without the key", there, self.url("status.html"), self.url(""))):
            with self.subTest(name):
                b.open(url)
                self.assertEqual(expected, b.wait_text("#address", "http://"))
                self.assertEqual(expected, b.js("return document.querySelector('#address').href;"))
                self.check_qr(b, expected)
                if expected == self.url(""):
                    self.assertIn("can read but not write", b.text("#key-note"))
                    self.assertNotIn(key, b.js("return document.documentElement.outerHTML;"))

    def check_qr(self, b, address):
        """The status page's QR code encodes the address it shows: a code of the
        smallest version that holds it, with a quiet zone, about half dark."""
        qr = b.wait("const v = (() => {%s})(); return v && v.text === %s && v;" % (QR_DRAWN, json.dumps(address)))
        self.assertTrue(qr, b.js(QR_DRAWN))
        version = next(v for v, size in enumerate(QR_BYTES_M, 1) if size >= len(address.encode()))
        n = 17 + 4 * version
        self.assertEqual(n, qr["modules"], qr)
        self.assertEqual("0 0 %d %d" % (n + 8, n + 8), qr["viewBox"], "a quiet zone of four modules")
        self.assertTrue(0.3 * n * n < qr["dark"] < 0.7 * n * n, qr)
        self.assertGreaterEqual(qr["width"], 150, "large enough for a camera")

    def test_the_panels_gauges_move(self):
        sim, client, probe = self.launch_pages()
        b = self.browser()
        b.open(self.url("panel.html"))
        read = "return [...document.querySelectorAll('#gauges .value')].map(e => e.textContent);"
        self.assertTrue(b.wait("return document.querySelectorAll('#gauges .value').length === 4 && "
                               "[...document.querySelectorAll('#gauges .value')].every(e => e.textContent !== '—');"))
        first = b.js(read)
        self.assertTrue(wait_until(lambda: all(a != c for a, c in list(zip(first, b.js(read)))[:3]), 10),
                        (first, b.js(read)))
        speed = int(b.js(read)[0])
        self.assertTrue(40 <= speed <= 180, speed)
        needle = b.js("return document.querySelector('#gauges svg g').getAttribute('transform');")
        self.assertNotEqual("rotate(-135 100 100)", needle)

    def test_the_panel_is_legible_on_a_phone(self):
        sim, client, probe = self.launch_pages()
        b = self.browser()
        b.viewport(**PHONE)
        b.open(self.url("panel.html"))
        self.assertTrue(b.wait(ALL_GAUGES_SHOWN))
        self.assertEqual([PHONE["width"], PHONE["height"], PHONE["scale"]],
                         b.js("return [innerWidth, innerHeight, devicePixelRatio];"))
        width = PHONE["width"]
        self.assertLessEqual(b.js("return document.documentElement.scrollWidth;"), width, "no sideways scrolling")
        boxes = b.js("return [...document.querySelectorAll('#gauges svg, #switches button')].map(e => {"
                     "const r = e.getBoundingClientRect(); return [r.left, r.right, r.height]; });")
        self.assertEqual(6, len(boxes), "four gauges and two switches")
        for left, right, height in boxes:
            self.assertTrue(0 <= left and right <= width and height > 0, (left, right, height))
        for left, right, height in boxes[:4]:
            self.assertGreaterEqual(right - left, width / 2, "a gauge fills the phone's width")
        # The smallest text drawn, in CSS pixels: the page's own and the
        # gauges' (an SVG's font size scaled as the SVG is).
        smallest = b.js("""
            const sizes = [...document.querySelectorAll('body *')]
              .filter(e => !(e instanceof SVGElement) && e.offsetParent !== null &&
                           [...e.childNodes].some(n => n.nodeType === 3 && n.data.trim()))
              .map(e => parseFloat(getComputedStyle(e).fontSize));
            for (const t of document.querySelectorAll('#gauges text'))
              sizes.push(parseFloat(getComputedStyle(t).fontSize) * t.getScreenCTM().a);
            return Math.min(...sizes);""")
        self.assertGreaterEqual(smallest, 12, "no text smaller than 12 CSS pixels")

    def test_a_page_goes_live_again_when_the_client_comes_back(self):
        sim, client, probe = self.launch_pages()
        b = self.browser()
        b.open(self.url("panel.html"))
        self.assertTrue(b.wait("return [...document.querySelectorAll('#gauges .value')]"
                               ".some(e => e.textContent !== '—');"))
        self.assertEqual(0, self.end(client, probe))
        self.assertEqual("no gateway", b.wait_text("#connection", "no gateway", 10))
        b.js(WATCH_GAUGES)
        time.sleep(8)  # long enough for the page's waits to reach their longest
        served = self.net.popen(self.net.ns_a, [SYSTEM_PYTHON, "-c", UNTIL_SERVED, self.url("index.html")],
                                stdout=subprocess.PIPE, text=True)
        self.assertIsNone(b.js("return window.kvChanged;"), "nothing moves while the client is gone")
        client.start()  # the same folder, settings and port
        answered = float(served.communicate(timeout=90)[0])
        self.assertTrue(b.wait("return window.kvChanged;", 30), "the panel never moved again")
        live = b.js("return window.kvChanged;") / 1000
        self.assertLessEqual(live - answered, 3.0, "live %.2f s after the gateway answered" % (live - answered))
        self.assertEqual("gateway", b.text("#connection"))
        probe = wh.Probe(self.env)
        self.addCleanup(probe.close)
        self.assertEqual(0, self.end(client, probe))

    def test_a_write_from_the_offsets_page_reaches_the_server_and_the_list_survives_a_reload(self):
        sim, client, probe = self.launch_pages()
        b = self.browser()
        b.open(self.url("offsets.html"))
        b.wait_text("#connection", "gateway")
        b.fill("#offset", "0x6020")
        b.fill("#type", "u16")
        b.submit("#add")
        b.wait_text("#row0 .value", "0")
        b.fill("#row0 form input", "4660")
        b.submit("#row0 form")
        self.assertEqual("sent", b.wait_text("#row0 .note", "sent"))
        self.assertTrue(wait_until(lambda: any(l.startswith("write ") and l.endswith(" 0x06020 2 3412")
                                               for l in sim.journal_lines()), 10), sim.journal_lines())
        self.assertIn("0x1234", b.wait_text("#row0 .value", "0x1234"))
        b.open(self.url("offsets.html"))
        self.assertEqual("0x6020", b.wait_text("#row0 td", "0x6020"))
        self.assertIn("4660", b.wait_text("#row0 .value", "4660"))
        # A value that the server moves changes on the page as it moves.
        b.fill("#offset", "0x6008")
        b.fill("#type", "u16")
        b.submit("#add")
        self.assertTrue(b.wait("const e = document.querySelector('#row1 .value');"
                               "return e && /^[0-9]/.test(e.textContent);"))
        seen = b.text("#row1 .value")
        self.assertTrue(b.wait("return document.querySelector('#row1 .value').textContent !== %s;" % json.dumps(seen)),
                        "0x6008 stayed at %s on the offsets page" % seen)

    def test_another_pc_without_the_key_cannot_write_and_is_told_why(self):
        sim, client, probe = self.launch_pages()
        b = self.browser(self.net.ns_b)
        b.open(self.url("offsets.html"))
        b.wait_text("#connection", "gateway")
        b.fill("#offset", "24608")
        b.fill("#type", "u8")
        b.submit("#add")
        for key, expected in ((None, "Refused"), (self.key(client), "sent")):
            with self.subTest(key=bool(key)):
                b.open(self.url("offsets.html", key))
                b.wait_text("#connection", "gateway")
                b.wait_text("#row0 .value", "0")
                b.fill("#row0 form input", "7")
                b.submit("#row0 form")
                note = b.wait("const n = document.querySelector('#row0 .note').textContent;"
                              "return n !== '' && n !== '…' && n;")
                self.assertIn(expected, note)
                if key is None:
                    self.assertIn("key", note)
        # "sent" is the gateway's answer; the server journals the batch a moment later.
        def writes():
            return [l for l in sim.journal_lines() if l.startswith("write ")]
        self.assertTrue(wait_until(lambda: writes(), 10), "the write with the key never reached the server")
        time.sleep(0.5)  # and nothing else comes after it
        self.assertEqual(1, len(writes()), writes())
        self.assertTrue(writes()[0].endswith(" 0x06020 1 07"), writes())

    @unittest.skipUnless(SHOTS, "takes the screenshots of docs/ when KV_PAGE_SHOTS names a folder")
    def test_screenshots(self):
        # The status window's data rate: the word at 0x337E counts the ticks, 0x0274 scales them 1:1.
        sim, client, probe = self.launch_pages(sim_options=("--set", "0x0274=32768:2", "--counter", "0x337E:2:1"))
        key = self.key(client)
        b = self.browser()
        panel_on_a_phone(b, self.url(""), os.path.join(SHOTS, "web-panel-phone.png"))
        b.viewport(1000, 600)
        b.open(self.url("offsets.html", key))
        for offset, kind in (("0x6000", "u16"), ("0x6004", "s32"), ("0x6008", "u16"), ("0x600C", "u8"),
                             ("0x6010", "u8"), ("0x6011", "u8")):
            b.fill("#offset", offset)
            b.fill("#type", kind)
            b.submit("#add")
        self.assertTrue(b.wait("const v = [...document.querySelectorAll('#rows .value')];"
                               "return v.length === 6 && v.every(e => !['', '…'].includes(e.textContent));"))
        time.sleep(1)
        b.screenshot(os.path.join(SHOTS, "web-offsets.png"))
        b.open(self.url("status.html", key))
        b.wait_text("#lines", "Connected to Server")
        b.wait_text("#address", "key=")
        time.sleep(3)  # a few status ticks: the rates and the events
        b.screenshot(os.path.join(SHOTS, "web-status.png"), full=True)


if __name__ == "__main__":
    unittest.main()
