#!/usr/bin/env python3
"""Wine and Xvfb for the installer's tests.

A session owns one WINEPREFIX below /tmp (KV_INSTALLER_WINEPREFIX, default
/tmp/kv-installer-wine) and, when it needs windows, its own Xvfb display,
the first free one from :66 up (KV_INSTALLER_DISPLAY moves the start). The
prefix shows a virtual desktop, so that windows get their frames and captions
without a window manager. Every wait is bounded.

  installer_wine.py run PROGRAM [ARGS...]   runs a console program under Wine
                                            and exits with its status
"""

import os
import shutil
import subprocess
import sys
import time

from wine_env import WINE, WINESERVER, restore_seed, wine_variables

WINE_FONTS = "/usr/share/wine/fonts"
DESKTOP_SIZE = "800x500"


def wait_until(condition, timeout, step=0.1):
    """Polls condition() until it returns a true value or timeout seconds
    pass; returns the last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


class WineSession:
    def __init__(self, windows):
        self.prefix = os.environ.get("KV_INSTALLER_WINEPREFIX", "/tmp/kv-installer-wine")
        self.windows = windows
        self.xvfb = None
        self.display = None
        self.env = dict(os.environ)
        self.env.update(wine_variables())
        self.env["WINEPREFIX"] = self.prefix
        # No downloads of add-ons and no menu entries from a fresh prefix.
        self.env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"
        self.env.pop("DISPLAY", None)

    # --- set-up and tear-down -------------------------------------------

    def start(self, drives=None):
        """Starts Xvfb if needed and readies the prefix; drives maps drive
        letters to folders, which exist from then on (Wine's shell sees only
        the drives that were there when its server started)."""
        if self.windows:
            self._start_xvfb()
        self.drives = dict(drives or {})
        self._prepare_prefix()
        self._map_drives()  # again after a boot, which may have remade dosdevices

    def _map_drives(self):
        for letter, folder in self.drives.items():
            os.makedirs(folder, exist_ok=True)
            self.map_drive(letter, folder)

    def stop(self):
        # Ends the Wine processes of this session's own prefix, then its Xvfb.
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for letter in getattr(self, "drives", {}):
            self.unmap_drive(letter)
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(timeout=10)
            self.xvfb = None

    def _start_xvfb(self):
        first = int(os.environ.get("KV_INSTALLER_DISPLAY", "66"))
        for number in range(first, first + 20):
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            socket = "/tmp/.X11-unix/X%d" % number
            proc = subprocess.Popen(
                ["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_until(lambda: proc.poll() is not None or os.path.exists(socket), 15) and proc.poll() is None:
                self.xvfb, self.display = proc, ":%d" % number
                self.env["DISPLAY"] = self.display
                return
            if proc.poll() is None:
                proc.kill()
            proc.wait(timeout=10)
        raise RuntimeError("no free X display from :%d" % first)

    def _prepare_prefix(self):
        fresh = not os.path.exists(os.path.join(self.prefix, "system.reg"))
        # A prefix from a booted seed needs no wineboot; its server stays up
        # (stop() ends it), so that no step below pays another cold start.
        seeded = fresh and restore_seed(self.prefix)
        if seeded:
            self._map_drives()  # before the server starts, which reads them once
            subprocess.run([WINESERVER, "-p"], env=self.env, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINE, "wineboot"] + ([] if seeded else ["-i" if fresh else "-u"]), env=self.env,
                       timeout=300, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not seeded:
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=300)
        if not self.windows:
            return
        for key, name, value in (("HKCU\\Software\\Wine\\Explorer", "Desktop", "Default"),
                                 ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default", DESKTOP_SIZE)):
            subprocess.run([WINE, "reg", "add", key, "/v", name, "/d", value, "/f"], env=self.env,
                           timeout=120, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Wine's own caption-button and dialog fonts, where the loader does
        # not find them by itself.
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        for name in ("marlett.ttf", "tahoma.ttf", "tahomabd.ttf"):
            source = os.path.join(WINE_FONTS, name)
            if os.path.exists(source) and not os.path.exists(os.path.join(fonts, name)):
                os.makedirs(fonts, exist_ok=True)
                shutil.copy(source, fonts)
        if not seeded:
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=300)

    # --- programs --------------------------------------------------------

    def run(self, args, timeout=120):
        return subprocess.run([WINE] + list(args), env=self.env, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def spawn(self, args, cwd=None):
        return subprocess.Popen([WINE] + list(args), env=self.env, cwd=cwd,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def map_drive(self, letter, folder):
        """Makes folder the root of drive letter (e.g. "k") in the prefix."""
        link = os.path.join(self.prefix, "dosdevices", letter.lower() + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(folder, link)

    def unmap_drive(self, letter):
        link = os.path.join(self.prefix, "dosdevices", letter.lower() + ":")
        if os.path.islink(link):
            os.remove(link)

    def screenshot(self, path, crop=None):
        """Writes the display as a PNG; crop is (x, y, width, height)."""
        grab = subprocess.run(["xwd", "-root", "-silent", "-display", self.display],
                              stdout=subprocess.PIPE, check=True, timeout=60).stdout
        args = ["/usr/bin/convert", "xwd:-"]
        if crop:
            args += ["-crop", "%dx%d+%d+%d" % (crop[2], crop[3], crop[0], crop[1]), "+repage"]
        subprocess.run(args + [path], input=grab, check=True, timeout=60)


def main(argv):
    if len(argv) < 3 or argv[1] != "run":
        print(__doc__, file=sys.stderr)
        return 2
    session = WineSession(windows=False)
    session.start()
    try:
        result = subprocess.run([WINE] + argv[2:], env=session.env, timeout=600)
        return result.returncode
    finally:
        session.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
