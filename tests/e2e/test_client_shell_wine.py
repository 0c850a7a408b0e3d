"""The client's start-up, run modes, files, settings boxes, logging switches
and shutdown, under Wine, seen from outside through ipc_probe."""

import os
import unittest

import wine_harness as wh
from wine_env import WineEnv, wait_until
from wine_harness import EVENT_LOG, REQUEST_LOG, REQUEST_LOG_HEADER, SETTINGS

DEFAULT_SETTINGS = ("Kestrovaline Version 2.0.0.0 ini file\r\n\r\n[Network Settings]\r\n"
                    "IP Address of THIS PC = 192.168.1.60\r\nIP Address of server = 192.168.1.40\r\n").encode()
SETTINGS_BOX = "Reading of Inifile Failed!"
INFO_CAPTION = "Info about Kestrovaline"


class Base(wh.ClientTestCase):
    pass


def setUpModule():
    Base.env = WineEnv.acquire()


def tearDownModule():
    Base.env.release()


class RunModes(Base):
    def test_mode_decides_class_visibility_and_file_places(self):
        # The plug-in folder exists in every case, so files in the wrong place show.
        cases = [
            ("no argument", [], "standalone"),
            ("exactly TARNEX", ["TARNEX"], "plugin"),
            ("lower case", ["tarnex"], "standalone"),
            ("TARNEX and another word", ["TARNEX", "x"], "standalone"),
        ]
        for name, args, mode in cases:
            with self.subTest(name):
                client, probe = self.launch(mode, args, settings=None)
                cls, other = ("UIPCMAIN", "FS98MAIN") if mode == "plugin" else ("FS98MAIN", "UIPCMAIN")
                info = probe.json("info")
                self.assertEqual((cls, "Kestrovaline", mode != "plugin"),
                                 (info["class"], info["caption"], info["visible"]))
                self.assertFalse(probe("find %s" % other)[0], "a window of class %s as well" % other)
                # The switch lines go to the request log of the mode.
                for command in (111, 111, 112, 112):
                    probe.ok("command-sync %d" % command)
                self.assertEqual(0, self.end(client, probe))

                for file in (EVENT_LOG, REQUEST_LOG, SETTINGS):
                    self.assertTrue(os.path.isfile(client.path(file)), file)
                    self.assertFalse(os.path.exists(client.other_path(file)), file + " in the other folder")
                self.assertEqual(DEFAULT_SETTINGS, client.read(SETTINGS))
                self.assertEqual(REQUEST_LOG_HEADER + ["Read logging ON", "Read logging OFF", "Write logging ON",
                                                       "Write logging OFF"], self.request_lines(client))
                lines = self.event_lines(client)
                self.assertEqual(wh.FIRST_LINES, lines[:2])
                self.assertRegex(lines[-1], wh.CLOSING_LINE)

    def test_missing_plugin_folder_gives_a_box_naming_the_path(self):
        client, probe = self.launch("plugin", settings=None, make_plugin_dir=False, wait_window=False)
        box = probe.json("press-ok")
        self.assertTrue(any("TARNEX" in text for text in box["texts"]), box)
        self.assertEqual(0, client.wait(20))
        self.assertFalse(probe("find UIPCMAIN")[0])
        self.assertEqual([], os.listdir(client.root))


class InvalidSettings(Base):
    def test_invalid_file_box_empty_event_log_exit_zero(self):
        header = b"Kestrovaline Version 2.0.0.0 ini file\r\n\r\n"
        keys = b"IP Address of THIS PC = 127.0.0.1\r\nIP Address of server = 127.0.0.1\r\n"
        standalone_text = "Invalid Inifile!\nPlease delete it!"
        plugin_text = "Invalid Inifile!\n Please delete it!"
        cases = [
            ("header followed by a blank", "standalone", header + b"[Network Settings] \r\n" + keys),
            ("header followed by a comment", "plugin", header + b"[Network Settings] ; net\r\n" + keys),
            ("keys before the header", "standalone", header + keys + b"[Network Settings]\r\n"),
            ("server key on an unterminated last line", "plugin",
             header + b"[Network Settings]\r\nIP Address of THIS PC = 127.0.0.1\r\nIP Address of server = 1.2.3.4"),
        ]
        for name, mode, content in cases:
            with self.subTest(name):
                client, probe = self.launch(mode, settings=content, wait_window=False)
                box = probe.json("wait-box \"%s\" 30000" % SETTINGS_BOX)
                self.assertEqual([standalone_text if mode == "standalone" else plugin_text], box["texts"])
                self.assertEqual([], [w["class"] for w in probe.json("windows")
                                      if w["class"] in ("FS98MAIN", "UIPCMAIN")])
                probe.ok("press-ok \"%s\"" % SETTINGS_BOX)
                self.assertEqual(0, client.wait(20))
                self.assertEqual(b"", client.read(EVENT_LOG))
                self.assertEqual(REQUEST_LOG_HEADER, self.request_lines(client))
                self.assertEqual(content, client.read(SETTINGS))

    def test_settings_that_cannot_be_written_end_with_status_one(self):
        # A folder in the settings file's place can be neither read nor created.
        # The line goes to standard error only: no box waits for a user.
        client, _ = self.launch(settings=None, wait_window=False,
                                prepare=lambda c: os.mkdir(c.path(SETTINGS)))
        self.assertEqual(1, client.wait(20))
        self.assertRegex(client.output(), rb"Can't open [^\r\n]*" + SETTINGS.encode() + rb": ")


class Shutdown(Base):
    def test_exit_and_close_end_cleanly_and_signal_ipc_event(self):
        cases = [("Exit", "command 105", "standalone"), ("closing the window", "close", "standalone"),
                 ("Exit in plug-in mode", "command 105", "plugin"),
                 ("closing the hidden window", "close", "plugin")]
        for name, how, mode in cases:
            with self.subTest(name):
                client, probe = self.launch(mode)
                # The event is created after the window appears: event-open waits for it.
                probe.ok("event-open IPCEvent 20000")
                probe.ok(how)
                self.assertEqual("signalled", probe.ok("event-wait 20000"))
                probe.ok("wait-gone 20000")
                self.assertEqual(0, client.wait(20))
                lines = self.event_lines(client)
                self.assertEqual(wh.FIRST_LINES, lines[:2])
                self.assertRegex(lines[-1], wh.CLOSING_LINE)
                self.assertEqual(1, sum(1 for l in lines if "Closing connection status thread" in l), lines)


class InfoDialog(Base):
    def test_info_dialog_names_the_version_and_closes_with_ok(self):
        client, probe = self.launch()
        probe.ok("command 104")  # Info... (posted: the dialog is modal)
        box = probe.json("wait-box \"%s\" 20000" % INFO_CAPTION)
        self.assertIn("Kestrovaline, Version 2.0.0.0", box["texts"])
        probe.ok("press-ok \"%s\"" % INFO_CAPTION)
        self.assertTrue(wait_until(lambda: not probe("wait-box \"%s\" 0" % INFO_CAPTION)[0], 20))
        self.assertEqual(0, probe.request("read 0 4")[0])  # still serving (no link: answered 0)
        self.assertEqual(0, self.end(client, probe, "close"))
        self.assertRegex(self.event_lines(client)[-1], wh.CLOSING_LINE)


if __name__ == "__main__":
    unittest.main()
