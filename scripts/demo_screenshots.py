"""The demo's two screenshots (scripts/run_demo.py): the status window on the
Xvfb display of Wine, and the gateway's instrument panel as a phone shows it,
in a headless Chromium (tests/e2e/headless_page.py) in the client's
namespace. Each check that the picture is not empty, and raises ShotError
with the reason when it cannot be taken."""

import os
import shutil
import subprocess

from headless_page import Browser, panel_on_a_phone, selenium_present


class ShotError(Exception):
    pass


def _run(argv, what, **kwargs):
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30, **kwargs)
    if done.returncode != 0:
        raise ShotError("%s failed: %s" % (what, done.stderr.decode(errors="replace").strip()))
    return done.stdout


def checked(path, least_colours=16):
    """The picture's size ("WxH"), once it has enough colours to show something."""
    colours = _run(["identify", "-format", "%k", path], "identify").decode().strip()
    if not colours.isdigit() or int(colours) < least_colours:
        raise ShotError("%s looks empty (%s colours)" % (path, colours))
    return _run(["identify", "-format", "%wx%h", path], "identify").decode().strip()


def window(display, rect, path):
    """The window at rect (left, top, right, bottom) of the X display, into path."""
    if not shutil.which("xwd") or not shutil.which("convert"):
        raise ShotError("xwd and convert (x11-apps, imagemagick) are needed for the screenshot")
    left, top, right, bottom = rect
    screen = _run(["xwd", "-root", "-silent", "-display", display], "xwd")
    crop = "%dx%d+%d+%d" % (right - left, bottom - top, left, top)
    # Without a window manager the frame and caption stay black: trimmed.
    _run(["convert", "xwd:-", "-crop", crop, "+repage", "-trim", "+repage", "png:" + path], "convert", input=screen)
    return checked(path)


def panel(net, ns, gateway, path):
    """The panel page of gateway ("http://A:PORT/") on a phone, from a browser in ns of net, into path."""
    if not selenium_present():
        raise ShotError("chromium, chromium-driver and python3-selenium are needed for the panel's screenshot")
    browser = Browser(net, ns)
    try:
        panel_on_a_phone(browser, gateway, os.path.abspath(path))
    except AssertionError as error:
        raise ShotError("the panel page: %s" % error) from None
    finally:
        browser.close()
    return checked(path)
