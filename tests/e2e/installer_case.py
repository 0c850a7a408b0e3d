"""The base of the installer's tests: scratch folders and the installer's
windows as installer_probe.exe sees them.

Each case gets empty scratch folders on the drives of the run's own prefix
(K: a folder per case, P: and S: the roots for the drive-root case), builds
package and X-Plane folders there, starts TARNEX_Install.exe and works it
through the probe, which reads windows, message boxes and version records and
clicks buttons. RUN holds what the whole run shares; installer_e2e.py's main
fills it before the first test.
"""

import os
import shutil
import stat
import types
import unittest

from installer_wine import wait_until
from wine_env import TIME_SCALE

# args: --installer, --probe (absolute paths), --screenshot; session: the
# WineSession with the scratch drives mapped; scratch: folder of the drives.
RUN = types.SimpleNamespace(args=None, session=None, scratch=None)

FORM = "TARNEX Installer"
BOX = "TARNEX_Install"
BROWSER = "@" + FORM + "#SysTreeView32"  # the form's dialog with a folder tree
GET_FOLDER = "Select X-Plane folder"
INSTALL = "Install TARNX v2.0.0.0"
MISSING = "Some files are missing from the original package"
INCORRECT = "X-Plane folder or install structure is(are) incorrect"
INSTALLED = "TARNEX has been installed correctly"
UNABLE = "Unable to install TARNEX"
GREEN = "D0FFD0"

PACKAGE_FILES = ["win.xpl", "TARNEX.ini", "TARNEXOffsets.cfg", "32/win.xpl", "64/win.xpl"]
# Seconds a window or box may take (longer where every program runs slower:
# wine_env.TIME_SCALE).
TIMEOUT = 20 * TIME_SCALE


def package_bytes(name):
    # Binary content that a text-mode or NUL-terminated copy would change.
    return (name.encode() + b"\r\n\x00\x1a\xff" + bytes(range(256))) * 40


def find_file(folder, name):
    """The entry of folder whose name matches name without regard to case."""
    if not os.path.isdir(folder):
        return None
    for entry in os.listdir(folder):
        if entry.lower() == name.lower():
            return os.path.join(folder, entry)
    return None


def entries(folder):
    return sorted(e.lower() for e in os.listdir(folder)) if os.path.isdir(folder) else []


def probe(*args):
    result = RUN.session.run([RUN.args.probe] + list(args), timeout=3 * TIMEOUT)
    return result.returncode, result.stdout


def dump(name):
    """The window's fields and its children's, by control id."""
    code, out = probe("dump", name)
    if code != 0:
        return None
    window, children, system = {}, {}, {}
    for line in out.splitlines():
        kind, *fields = line.split("\t")
        values = dict(f.split("=", 1) for f in fields)
        if kind == "window":
            window = values
        elif kind == "child":
            children[int(values["id"])] = values
        elif kind == "system":
            system = values
    return {"window": window, "children": children, "system": system}


def shown(name):
    return probe("wait", name, "0")[0] == 0


DRIVES = {"k": "cases", "p": "package root", "s": "main folder root"}


def empty_folder(folder):
    for path, _, files in os.walk(folder):
        for f in files:
            os.chmod(os.path.join(path, f), stat.S_IRUSR | stat.S_IWUSR)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


class InstallerCase(unittest.TestCase):
    def setUp(self):
        for sub in DRIVES.values():
            empty_folder(os.path.join(RUN.scratch, sub))
        self.root = os.path.join(RUN.scratch, DRIVES["k"])
        self.process = None

    def tearDown(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=30)

    # --- scratch folders ----------------------------------------------------

    def make_package(self, name="package", files=PACKAGE_FILES):
        folder = os.path.join(self.root, name)
        for sub in ("32", "64"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        for f in files:
            with open(os.path.join(folder, f), "wb") as out:
                out.write(package_bytes(f))
        shutil.copy(RUN.args.installer, os.path.join(folder, "TARNEX_Install.exe"))
        return folder

    def make_sim(self, name, exe=True, plugins=True):
        folder = os.path.join(self.root, name)
        os.makedirs(os.path.join(folder, "Resources", "plugins") if plugins else folder, exist_ok=True)
        if exe:
            with open(os.path.join(folder, "X-Plane.exe"), "wb") as out:
                out.write(b"MZ")
        return folder

    def assert_installed(self, sim):
        plugin = os.path.join(sim, "Resources", "plugins", "TARNEX")
        for f in PACKAGE_FILES:
            path = os.path.join(plugin, f)
            self.assertTrue(os.path.isfile(path), f)
            with open(path, "rb") as got:
                self.assertEqual(package_bytes(f), got.read(), f)

    # --- the program --------------------------------------------------------

    def start(self, package, program=None):
        self.process = RUN.session.spawn([program or os.path.join(package, "TARNEX_Install.exe")], cwd=package)

    def wait_exit(self):
        self.assertEqual(0, self.process.wait(timeout=60))
        self.process = None

    def expect_box(self, text, icon):
        """Waits for the message box, checks it and closes it with OK."""
        def with_text():
            d = dump(BOX)
            return d if d and any(c["text"] == text for c in d["children"].values()) else None
        box = wait_until(with_text, TIMEOUT)
        self.assertIsNotNone(box, "no message box saying: " + text)
        # The icon is told by its pixels on the screen: a box shown a moment ago
        # may not have drawn it yet.
        def icons_of(d):
            return [c.get("icon") for c in d["children"].values() if "icon" in c]

        def drawn():
            d = dump(BOX)
            return d if d and "other" not in icons_of(d) else None
        box = wait_until(drawn, 5) or box
        icons = icons_of(box)
        buttons = [c["text"] for c in box["children"].values() if c["class"] == "Button"]
        self.assertEqual([icon], icons)
        self.assertEqual(["OK"], buttons)
        self.assertEqual(0, probe("click", BOX, "OK")[0])
        self.assertEqual(0, probe("gone", BOX, str(int(TIMEOUT * 1000)))[0])

    def install_button(self, enabled, back):
        """Waits until CmdInstall is enabled or not and shows its back colour."""
        def settled():
            d = dump(FORM)
            if not d or shown(BOX) or shown(BROWSER):
                return None
            button = d["children"].get(102, {})
            colour = GREEN if back == "green" else d["system"]["btnface"]
            ok = button.get("enabled") == ("1" if enabled else "0") and button.get("back") == colour
            return d if ok else None
        state = wait_until(settled, TIMEOUT)
        self.assertIsNotNone(state, "install button never %s/%s: %s" % (enabled, back, dump(FORM)))
        return state

    def browse(self, path):
        """Opens the folder browser and chooses path, or cancels for None."""
        self.assertEqual(0, probe("click", FORM, GET_FOLDER)[0])
        self.assertEqual(0, probe("wait", BROWSER, str(int(TIMEOUT * 1000)))[0])
        browser = dump(BROWSER)
        self.assertTrue(any(c["text"] == "Select the current X-Plane main folder"
                            for c in browser["children"].values()))
        if path is None:
            self.assertEqual(0, probe("click", BROWSER, "Cancel")[0])
        else:
            self.assertEqual(0, probe("select", BROWSER, path)[0])
            ready = wait_until(lambda: ((dump(BROWSER) or {}).get("children", {}).get(1, {})
                                        .get("enabled") == "1"), TIMEOUT)
            self.assertTrue(ready, "the browser did not take " + path)
            self.assertEqual(0, probe("click", BROWSER, "OK")[0])
        self.assertEqual(0, probe("gone", BROWSER, str(int(TIMEOUT * 1000)))[0])

    def no_box_follows(self):
        self.assertFalse(wait_until(lambda: shown(BOX), 1.5))

    def click_install(self):
        self.assertEqual(0, probe("click", FORM, INSTALL)[0])

