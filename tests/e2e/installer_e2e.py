#!/usr/bin/env python3
"""TARNEX_Install.exe itself, under Wine on its own Xvfb display.

Each case builds scratch package and X-Plane folders, starts the installer
from a package folder and works it through installer_probe.exe, which reads
windows, message boxes and version records and clicks buttons (the helpers
are in installer_case.py). The folder browser is driven by selecting a path
in it; scratch folders are reached through drive letters of the test's own
prefix, mapped before Wine starts (the folder browser knows only the drives
that were there then): K: holds a folder per case, P: and S: are the roots
for the drive-root case.

  installer_e2e.py --installer EXE --probe EXE [--screenshot PNG] [unittest args]
"""

import argparse
import os
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from installer_case import (BOX, DRIVES, FORM, GET_FOLDER, INCORRECT, INSTALL, INSTALLED, MISSING,  # noqa: E402
                            PACKAGE_FILES, RUN, TIMEOUT, UNABLE, InstallerCase, empty_folder, entries, find_file,
                            probe, shown)
from installer_wine import WineSession, wait_until  # noqa: E402


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

        if RUN.args.screenshot:
            x, y, w, h = (int(v) for v in form["window"]["frame"].split(","))
            RUN.session.screenshot(RUN.args.screenshot, (x - 12, y - 12, w + 24, h + 24))

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
        self.root = RUN.scratch
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
    parser = argparse.ArgumentParser()
    parser.add_argument("--installer", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--screenshot")
    RUN.args, rest = parser.parse_known_args()
    RUN.args.installer = os.path.abspath(RUN.args.installer)
    RUN.args.probe = os.path.abspath(RUN.args.probe)
    RUN.scratch = tempfile.mkdtemp(prefix="kv-installer-e2e-", dir="/tmp")
    RUN.session = WineSession(windows=True)
    try:
        RUN.session.start({letter: os.path.join(RUN.scratch, sub) for letter, sub in DRIVES.items()})
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        RUN.session.stop()
        empty_folder(RUN.scratch)
        os.rmdir(RUN.scratch)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
