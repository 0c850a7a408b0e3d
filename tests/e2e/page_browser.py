"""A headless Chromium driven line by line, for the gateway's pages: the test
writes one JSON command per line to its standard input and reads one JSON
answer per line from its standard output. Run by Debian's /usr/bin/python3
(python3-selenium, chromium, chromium-driver) as root, inside the namespace
the browser is to be in.

    page_browser.py PROFILE_DIR

Commands:

    {"op": "open", "url": URL}            loads URL, waits for its load event
    {"op": "js", "script": TEXT}          runs TEXT as a function body; its
                                          return value (JSON) comes back
    {"op": "wait", "script": TEXT, "seconds": S}
                                          runs TEXT until it returns something
                                          true (that comes back) or S pass
    {"op": "viewport", "width": W, "height": H, "scale": S, "mobile": M}
                                          emulates a screen of W x H CSS pixels,
                                          S device pixels each (a phone: M true)
    {"op": "screenshot", "path": P, "full": F}
                                          saves the viewport (F: the whole
                                          page) as a PNG at P
    {"op": "quit"}

Answers: {"ok": true, "value": ...} or {"ok": false, "error": TEXT}. The
first line says {"ok": true, "value": "ready"} once the browser runs.
"""

import base64
import json
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"


def say(**answer):
    sys.stdout.write(json.dumps(answer) + "\n")
    sys.stdout.flush()


def start(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                 "--user-data-dir=" + profile, "--window-size=1000,900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(30)
    driver.set_script_timeout(30)
    return driver


def wait(driver, script, seconds):
    until = time.monotonic() + seconds
    while True:
        value = driver.execute_script(script)
        if value or time.monotonic() > until:
            return value
        time.sleep(0.1)


def viewport(driver, command):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": command["width"], "height": command["height"], "deviceScaleFactor": command.get("scale", 1),
        "mobile": command.get("mobile", False)})
    return True


def screenshot(driver, command):
    options = {"format": "png"}
    if command.get("full"):
        size = driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
        options.update(captureBeyondViewport=True,
                       clip={"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1})
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", options)
    with open(command["path"], "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    return command["path"]


def main():
    driver = start(sys.argv[1])
    say(ok=True, value="ready")
    try:
        for line in sys.stdin:
            command = json.loads(line)
            op = command["op"]
            if op == "quit":
                break
            try:
                if op == "open":
                    driver.get(command["url"])
                    value = driver.current_url
                elif op == "js":
                    value = driver.execute_script(command["script"])
                elif op == "wait":
                    value = wait(driver, command["script"], command.get("seconds", 10))
                elif op == "viewport":
                    value = viewport(driver, command)
                elif op == "screenshot":
                    value = screenshot(driver, command)
                else:
                    raise ValueError("unknown op %r" % op)
                say(ok=True, value=value)
            except (WebDriverException, ValueError, OSError) as error:
                say(ok=False, error=str(error).splitlines()[0] if str(error) else type(error).__name__)
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
