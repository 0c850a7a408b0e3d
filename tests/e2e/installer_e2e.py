#!/usr/bin/env python3
"""TARNEX_Install.exe itself, under Wine on its own Xvfb display.

Each case builds scratch package and X-Plane folders, starts the installer
from a package folder and works it through installer_probe.exe, which reads
windows, message boxes and version records and clicks buttons. The folder
browser is driven by selecting a path in it; scratch folders are reached
through drive letters of the test's own prefix, mapped before Wine starts
(the folder browser knows only the drives that were there then): K: holds a
folder per case, P: and S: are the roots for the drive-root case.

  installer_e2e.py --installer EXE --probe EXE [--screenshot PNG] [unittest args]
"""

import argparse
import os
import shutil
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from installer_wine import WineSession, wait_until  # noqa: E402

ARGS = None
SESSION = None
SCRATCH = None  # folder of the scratch drives

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
TIMEOUT = 20


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
    result = SESSION.run([ARGS.probe] + list(args), timeout=60)
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
            empty_folder(os.path.join(SCRATCH, sub))
        self.root = os.path.join(SCRATCH, DRIVES["k"])
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
        shutil.copy(ARGS.installer, os.path.join(folder, "TARNEX_Install.exe"))
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
        self.process = SESSION.spawn([program or os.path.join(package, "TARNEX_Install.exe")], cwd=package)

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
        icons = [c.get("icon") for c in box["children"].values() if "icon" in c]
        buttons = [c["text"] for c in box["children"].values() if c["class"] == "Button"]
        self.assertEqual([icon], icons)
        self.assertEqual(["OK"], buttons)
        self.assertEqual(0, probe("click", BOX, "OK")[0])
        self.assertEqual(0, probe("gone", BOX, str(TIMEOUT * 1000))[0])

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
        self.assertEqual(0, probe("wait", BROWSER, str(TIMEOUT * 1000))[0])
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
        self.assertEqual(0, probe("gone", BROWSER, str(TIMEOUT * 1000))[0])

    def no_box_follows(self):
        self.assertFalse(wait_until(lambda: shown(BOX), 1.5))

    def click_install(self):
        self.assertEqual(0, probe("click", FORM, INSTALL)[0])


class StartUp(InstallerCase):
    def test_incomplete_package_warns_and_shows_no_window(self):
        cases = [("only 64\\win.xpl", ["64/win.xpl"])]
        cases += [("without " + f, [g for g in PACKAGE_FILES if g != f]) for f in PACKAGE_FILES]
        for i, (name, files) in enumerate(cases):
            with self.subTest(name):
                package = self.make_package("package%d" % i, files)
                self.start(package)
                self.expect_box(MISSING, "warning")
                self.wait_exit()
                self.assertFalse(shown(FORM))

    def test_window_buttons_and_version(self):
        package = self.make_package()
        self.start(package)
        self.assertTrue(wait_until(lambda: shown(FORM), TIMEOUT))
        form = self.install_button(enabled=False, back="face")
        self.assertFalse(shown(BOX))
        self.assertEqual("269x146", form["window"]["client"])
        self.assertEqual({101, 102}, set(form["children"]))
        expected = {101: (GET_FOLDER, "1", "70,32,127,31"), 102: (INSTALL, "0", "70,74,127,31")}
        for cid, (text, enabled, rect) in expected.items():
            child = form["children"][cid]
            self.assertEqual(("Button", text, "1", enabled, rect),
                             (child["class"], child["text"], child["visible"], child["enabled"], child["rect"]))
            # Text drawn in Arial 8.25 pt is as wide as the probe draws it.
            self.assertLessEqual(abs(int(child["ink"]) - int(child["arialink"])), 1, child)

        if ARGS.screenshot:
            x, y, w, h = (int(v) for v in form["window"]["frame"].split(","))
            SESSION.screenshot(ARGS.screenshot, (x - 12, y - 12, w + 24, h + 24))

        code, out = probe("version", os.path.join(package, "TARNEX_Install.exe"))
        self.assertEqual(0, code)
        for line in ("fixed\tfile=1.0.0.0\tproduct=1.0.0.0", "translation\t040904B0",
                     "string\tFileVersion=1.00", "string\tProductVersion=1.00",
                     "string\tProductName=TARNEX_Install", "string\tInternalName=TARNEX_Install",
                     "string\tOriginalFilename=TARNEX_Install.exe"):
            self.assertIn(line, out.splitlines())

        self.assertEqual(0, probe("close", FORM)[0])  # closing ends the program
        self.wait_exit()


class FolderSelection(InstallerCase):
    def test_accept_reject_cancel(self):
        package = self.make_package()
        good = self.make_sim("X-Plane 12")
        self.make_sim("exe only", plugins=False)
        self.make_sim("plugins only", exe=False)
        self.start(package)
        self.assertTrue(wait_until(lambda: shown(FORM), TIMEOUT))

        self.browse(None)  # cancel: nothing happens
        self.no_box_follows()
        self.install_button(enabled=False, back="face")

        self.browse("K:\\exe only")
        self.expect_box(INCORRECT, "warning")
        self.install_button(enabled=False, back="face")

        self.browse("K:\\X-Plane 12")
        self.install_button(enabled=True, back="green")
        self.browse(None)  # cancel after an accepted folder: it stays accepted
        self.no_box_follows()
        self.install_button(enabled=True, back="green")

        self.browse("K:\\plugins only")  # rejected: the earlier folder is forgotten
        self.expect_box(INCORRECT, "warning")
        self.install_button(enabled=False, back="face")

        self.browse("K:\\X-Plane 12")
        self.install_button(enabled=True, back="green")
        self.browse(None)
        self.install_button(enabled=True, back="green")
        self.click_install()  # installs into the folder accepted before the cancel
        self.expect_box(INSTALLED, "information")
        self.wait_exit()
        self.assertFalse(shown(FORM))
        self.assert_installed(good)


class Install(InstallerCase):
    def install_into(self, package, drive_path):
        self.start(package)
        self.assertTrue(wait_until(lambda: shown(FORM), TIMEOUT))
        self.browse(drive_path)
        self.install_button(enabled=True, back="green")
        self.click_install()
        self.expect_box(INSTALLED, "information")
        self.wait_exit()

    def test_first_then_repeated_install(self):
        package = self.make_package()
        sim = self.make_sim("X-Plane 12")
        plugins = os.path.join(sim, "Resources", "plugins")
        plugin = os.path.join(plugins, "TARNEX")
        self.install_into(package, "K:\\X-Plane 12")
        self.assert_installed(sim)

        # What earlier installs and the user left, in any case of names.
        renames = {"win.xpl": "WIN.XPL", "TARNEXOffsets.cfg": "tarnexoffsets.CFG",
                   "32/win.xpl": "32/Win.Xpl", "64/win.xpl": "64/win.XPL"}
        for old, new in renames.items():
            os.rename(os.path.join(plugin, old), os.path.join(plugin, new))
        os.remove(os.path.join(plugin, "TARNEX.ini"))
        leftovers = {os.path.join(plugin, "tarnex.INI"): b"[edited by the user]\r\n",
                     os.path.join(plugins, "TARNEX.XPL"): b"old plug-in",
                     os.path.join(plugins, "tarnexoffsets.cfg"): b"old offsets",
                     os.path.join(sim, "TARNEX.INI"): b"old settings",
                     os.path.join(sim, "Tarnex.Log"): b"old log",
                     os.path.join(sim, "tarnex.TXT"): b"old text"}
        keep = {os.path.join(plugin, "64", n): n.encode() for n in
                ("Kestrovaline.ini", "Kestrovaline.txt", "Kestrovaline.log")}
        keep[os.path.join(plugin, "readme.txt")] = b"not ours to delete"
        keep[os.path.join(plugins, "other.xpl")] = b"another plug-in"
        for path, data in list(leftovers.items()) + list(keep.items()):
            with open(path, "wb") as out:
                out.write(data)

        self.install_into(package, "K:\\X-Plane 12")
        self.assert_installed(sim)
        for path in leftovers:
            if os.path.dirname(path) != plugin:
                self.assertIsNone(find_file(os.path.dirname(path), os.path.basename(path)), path)
        for path, data in keep.items():
            with open(path, "rb") as got:
                self.assertEqual(data, got.read(), path)
        self.assertEqual(["32", "64", "readme.txt", "tarnex.ini", "tarnexoffsets.cfg", "win.xpl"],
                         entries(plugin))
        self.assertEqual(["kestrovaline.ini", "kestrovaline.log", "kestrovaline.txt", "win.xpl"],
                         entries(os.path.join(plugin, "64")))

    def test_read_only_entry_stops_and_keeps_earlier_work(self):
        package = self.make_package()
        sim = self.make_sim("X-Plane 12")
        plugins = os.path.join(sim, "Resources", "plugins")
        plugin = os.path.join(plugins, "TARNEX")
        os.makedirs(plugin)
        before = os.path.join(plugins, "tarnex.xpl")      # first on the delete list
        locked = os.path.join(plugin, "TARNEX.ini")       # seventh
        after = os.path.join(plugin, "TARNEXOffsets.cfg")  # eighth
        for path in (before, locked, after):
            with open(path, "wb") as out:
                out.write(b"old")
        os.chmod(locked, stat.S_IRUSR)  # read-only to Windows programs

        self.start(package)
        self.assertTrue(wait_until(lambda: shown(FORM), TIMEOUT))
        self.browse("K:\\X-Plane 12")
        self.install_button(enabled=True, back="green")
        self.click_install()
        self.expect_box(UNABLE, "warning")
        self.install_button(enabled=True, back="green")  # the form stays as it was
        self.assertFalse(os.path.exists(before))
        for path in (locked, after):
            with open(path, "rb") as got:
                self.assertEqual(b"old", got.read(), path)
        self.assertEqual(["tarnex.ini", "tarnexoffsets.cfg"], entries(plugin))

        os.chmod(locked, stat.S_IRUSR | stat.S_IWUSR)  # cause removed: retry
        self.click_install()
        self.expect_box(INSTALLED, "information")
        self.wait_exit()
        self.assert_installed(sim)

    def test_package_and_main_folder_at_drive_roots(self):
        self.root = SCRATCH
        package = self.make_package(DRIVES["p"])
        sim = self.make_sim(DRIVES["s"])
        self.start(package, "P:\\TARNEX_Install.exe")
        self.assertTrue(wait_until(lambda: shown(FORM), TIMEOUT))  # P:\ + each file found
        self.browse("S:\\")
        self.install_button(enabled=True, back="green")
        self.click_install()
        self.expect_box(INSTALLED, "information")
        self.wait_exit()
        self.assert_installed(sim)


def main():
    global ARGS, SESSION, SCRATCH
    parser = argparse.ArgumentParser()
    parser.add_argument("--installer", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--screenshot")
    ARGS, rest = parser.parse_known_args()
    ARGS.installer = os.path.abspath(ARGS.installer)
    ARGS.probe = os.path.abspath(ARGS.probe)
    SCRATCH = tempfile.mkdtemp(prefix="kv-installer-e2e-", dir="/tmp")
    SESSION = WineSession(windows=True)
    try:
        SESSION.start({letter: os.path.join(SCRATCH, sub) for letter, sub in DRIVES.items()})
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        SESSION.stop()
        empty_folder(SCRATCH)
        os.rmdir(SCRATCH)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
