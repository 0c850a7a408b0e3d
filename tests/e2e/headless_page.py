"""The test side of page_browser.py: one headless Chromium in a network
namespace, driven a command at a time, for the gateway's page tests, the
pages' screenshots and the demo. Needs Debian's chromium, chromium-driver and
python3-selenium (the browser runs under /usr/bin/python3, whatever Python
runs the caller)."""

import json
import os
import shutil
import subprocess
import tempfile
import time

import wine_harness as wh

SYSTEM_PYTHON = "/usr/bin/python3"
BROWSER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page_browser.py")
NEEDS = (SYSTEM_PYTHON, "/usr/bin/chromium", "/usr/bin/chromedriver")
PHONE = {"width": 390, "height": 844, "scale": 3, "mobile": True}  # a phone held upright
# server_sim's waves that move the sample panel.json's four gauges.
PANEL_WAVES = ["--wave", "0x6000:2:40:180:20", "--wave", "0x6004:4:1000:9000:60", "--wave", "0x6008:2:800:2600:8",
               "--wave", "0x600C:1:10:95:90"]
ALL_GAUGES_SHOWN = ("return document.querySelectorAll('#gauges .value').length > 0 && "
                    "[...document.querySelectorAll('#gauges .value')].every(e => e.textContent !== '—');")


def selenium_present():
    if not all(os.path.exists(p) for p in NEEDS):
        return False
    return subprocess.run([SYSTEM_PYTHON, "-c", "import selenium"], capture_output=True).returncode == 0


class Browser:
    """One page_browser.py inside namespace ns of net (a kvnet.NetPair)."""

    def __init__(self, net, ns):
        self.profile = tempfile.mkdtemp(prefix="kv-chromium-")
        self.proc = net.popen(ns, [SYSTEM_PYTHON, BROWSER, self.profile], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
        first = self._answer()
        if first.get("value") != "ready":
            raise AssertionError("the browser did not start: %r" % first)

    def _answer(self):
        line = self.proc.stdout.readline()
        if not line:
            raise AssertionError("the browser ended")
        return json.loads(line)

    def _do(self, **command):
        self.proc.stdin.write(json.dumps(command) + "\n")
        answer = self._answer()
        if not answer["ok"]:
            raise AssertionError("%s: %s" % (command, answer["error"]))
        return answer["value"]

    def open(self, url):
        return self._do(op="open", url=url)

    def js(self, script):
        return self._do(op="js", script=script)

    def wait(self, script, seconds=20):
        return self._do(op="wait", script=script, seconds=seconds)

    def viewport(self, width, height, scale=1, mobile=False):
        """Emulates a screen of width x height CSS pixels (scale device pixels each)."""
        return self._do(op="viewport", width=width, height=height, scale=scale, mobile=mobile)

    def screenshot(self, path, full=False):
        """Saves the viewport (or the whole page) as a PNG at path."""
        return self._do(op="screenshot", path=os.path.abspath(path), full=full)

    def text(self, selector):
        return self.js("const e = document.querySelector(%s); return e ? e.textContent : null;"
                       % json.dumps(selector))

    def wait_text(self, selector, part, seconds=20):
        """Waits until the element's text holds part; its text."""
        if not self.wait("const e = document.querySelector(%s); return e && e.textContent.includes(%s);"
                         % (json.dumps(selector), json.dumps(part)), seconds):
            raise AssertionError("%r never held %r; the page: %s"
                                 % (selector, part, self.js("return document.body.innerText;")))
        return self.text(selector)

    def fill(self, selector, value):
        self.js("const e = document.querySelector(%s); e.value = %s; e.dispatchEvent(new Event('change'));"
                % (json.dumps(selector), json.dumps(value)))

    def submit(self, selector):
        self.js("document.querySelector(%s).requestSubmit();" % json.dumps(selector))

    def close(self):
        wh.end_child(self.proc, '{"op": "quit"}\n')
        shutil.rmtree(self.profile, ignore_errors=True)


def panel_on_a_phone(browser, gateway, path, scale=2):
    """Saves a screenshot of the panel at gateway (its "http://A:PORT/")
    as a phone shows it, once every gauge shows a value."""
    browser.viewport(**dict(PHONE, scale=scale))
    browser.open(gateway + "panel.html")
    if not browser.wait(ALL_GAUGES_SHOWN):
        raise AssertionError("the panel's gauges show no values: %s" % browser.js("return document.body.innerText;"))
    time.sleep(1)  # the needles away from their first values
    return browser.screenshot(path)
