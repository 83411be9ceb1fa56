"""The Windows installer under Wine: a silent install puts the program, its
Start-menu entry and (unless /NOAUTOSTART) its autostart entry in place, and
the silent uninstall takes every one of them away again.

    python3 tests/win32/installer_test.py build/mingw/velmora-client-setup.exe
"""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from e2e_harness import WineSession  # noqa: E402

SETUP = None
LIMIT = 60.0
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmoraClient"


class Installer(unittest.TestCase):
    def setUp(self):
        self.env = dict(os.environ, **WineSession.env())
        drive = os.path.join(self.env["WINEPREFIX"], "drive_c")
        self.dir = os.path.join(drive, "Program Files", "Velmora Client")
        self.link = os.path.join(drive, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                 "Velmora Client", "Velmora Client.lnk")
        self.addCleanup(self.uninstall)

    def wine(self, *args):
        return subprocess.run(["wine", *args], env=self.env, capture_output=True, text=True, timeout=LIMIT)

    def registry(self, key, value):
        """The value's text, or None if it is not there."""
        result = self.wine("reg", "query", key, "/v", value)
        for line in result.stdout.splitlines():
            if line.strip().startswith(value):
                return line.split("REG_SZ", 1)[1].strip()
        return None

    def install(self, *options):
        self.assertEqual(self.wine(SETUP, "/S", *options).returncode, 0)

    def uninstall(self):
        if not os.path.exists(os.path.join(self.dir, "uninstall.exe")):
            return
        self.wine(r"C:\Program Files\Velmora Client\uninstall.exe", "/S")
        # The uninstaller runs on from a copy of itself and ends later.
        deadline = time.monotonic() + LIMIT
        while os.path.exists(self.dir) and time.monotonic() < deadline:
            time.sleep(0.1)

    def test_install_with_autostart_and_uninstall_cleanly(self):
        self.install()
        self.assertTrue(os.path.isfile(os.path.join(self.dir, "velmora-client.exe")))
        self.assertTrue(os.path.isfile(self.link))
        exe = r'"C:\Program Files\Velmora Client\velmora-client.exe"'
        self.assertEqual(self.registry(RUN_KEY, "Velmora Client"), exe)
        self.assertEqual(self.registry(UNINSTALL_KEY, "DisplayName"), "Velmora Client")
        self.uninstall()
        self.assertFalse(os.path.exists(self.dir))
        self.assertFalse(os.path.exists(os.path.dirname(self.link)))
        self.assertIsNone(self.registry(RUN_KEY, "Velmora Client"))
        self.assertIsNone(self.registry(UNINSTALL_KEY, "DisplayName"))

    def test_autostart_is_optional(self):
        self.install("/NOAUTOSTART")
        self.assertTrue(os.path.isfile(self.link))
        self.assertIsNone(self.registry(RUN_KEY, "Velmora Client"))


if __name__ == "__main__":
    SETUP = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1].endswith(".exe") else os.path.join(
        os.path.dirname(__file__), "..", "..", "build", "mingw", "velmora-client-setup.exe")
    unittest.main()
