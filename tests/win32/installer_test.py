"""The Windows installer under Wine: a silent install puts the program, its
Start-menu entry and (unless /NOAUTOSTART) its autostart entry in place,
writes the uninstall entry and the settings given with /HOST= and /PORT=,
closes a running client before it replaces or removes it, and the silent
uninstall takes every one of them away again.

    python3 tests/win32/installer_test.py build/mingw/velmora-client-setup.exe VERSION
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from e2e_harness import SERVER, SIMREADER_DLL, WindowsReaders, WineSession, free_port  # noqa: E402
from resource_test import read_resources, version_info  # noqa: E402

SETUP = VERSION = None
LIMIT = 60.0
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmoraClient"
POLICY_KEY = r"HKLM\Software\Policies\Velmora Client"


class WineInstall:
    """What both installers' tests do in the Wine session: run a program,
    read a registry value, start the installed client. Needs self.env and
    self.dir (the installation folder)."""

    limit = LIMIT

    def wine(self, *args):
        return subprocess.run(["wine", *args], env=self.env, capture_output=True, text=True, timeout=self.limit)

    def registry(self, key, value, kind="REG_SZ"):
        """The value's text (a DWORD as a number), or None if it is not there."""
        result = self.wine("reg", "query", key, "/v", value)
        for line in result.stdout.splitlines():
            found = re.match(r"\s*(.+?)\s+(REG_\w+)\s*(.*)$", line)
            if found and found.group(1, 2) == (value, kind):
                text = found.group(3).strip()
                return int(text, 16) if kind == "REG_DWORD" else text
        return None

    def start_client(self, simulated_readers=False):
        """The installed client, its tray window up. Wine's own winscard finds
        no resource manager here and the client stops at its message box; a
        client that is to connect gets a simulated reader."""
        env = dict(self.env, WINEDLLOVERRIDES="")
        if simulated_readers:
            readers = WindowsReaders()
            readers.start()
            self.addCleanup(readers.stop)
            dll = os.path.join(self.dir, "winscard.dll")
            shutil.copy(SIMREADER_DLL, dll)
            self.addCleanup(lambda: os.path.exists(dll) and os.remove(dll))
            env.update(readers.env(), WINEDLLOVERRIDES="winscard=n")
        client = subprocess.Popen(["wine", os.path.join(self.dir, "velmora-client.exe")], env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: client.poll() is None and os.kill(client.pid, signal.SIGKILL))
        time.sleep(3)
        self.assertIsNone(client.poll(), "the installed client ended at start")
        return client

    def assert_client_connects_to(self, port):
        """The installed client, with a simulated reader, connects to the
        server peer on the port its settings name."""
        server = subprocess.Popen([SERVER, "--port", str(port), "--once"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(server.kill)
        self.assertTrue(server.stdout.readline().startswith("LISTENING"))
        self.start_client(simulated_readers=True)
        self.assertTrue(server.stdout.readline().startswith("# client connected"))
        os.remove(os.path.join(self.dir, "winscard.dll"))


class Installer(WineInstall, unittest.TestCase):
    def setUp(self):
        self.env = dict(os.environ, **WineSession.env())
        drive = os.path.join(self.env["WINEPREFIX"], "drive_c")
        self.dir = os.path.join(drive, "Program Files", "Velmora Client")
        self.link = os.path.join(drive, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                 "Velmora Client", "Velmora Client.lnk")
        self.addCleanup(self.uninstall)

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

    def test_uninstall_entry_and_version(self):
        self.install()
        self.assertEqual(self.registry(UNINSTALL_KEY, "Publisher"), "Velmora")
        self.assertEqual(self.registry(UNINSTALL_KEY, "DisplayVersion"), VERSION)
        self.assertEqual(self.registry(UNINSTALL_KEY, "DisplayIcon"),
                         r"C:\Program Files\Velmora Client\velmora-client.exe,0")
        size_kb = os.path.getsize(os.path.join(self.dir, "velmora-client.exe")) // 1024
        self.assertIn(self.registry(UNINSTALL_KEY, "EstimatedSize", "REG_DWORD"), range(size_kb, size_kb + 1024))
        for exe in (SETUP, os.path.join(self.dir, "velmora-client.exe")):
            file_version, product_version, strings = version_info(read_resources(exe))
            self.assertEqual((file_version, strings["ProductVersion"]), (VERSION + ".0", VERSION), exe)

    def test_host_and_port_become_system_wide_settings(self):
        port = free_port()
        self.install("/NOAUTOSTART", "/HOST=127.0.0.1", "/PORT=%d" % port)
        self.assertEqual(self.registry(POLICY_KEY, "Host"), "127.0.0.1")
        self.assertEqual(self.registry(POLICY_KEY, "Port", "REG_DWORD"), port)
        self.assert_client_connects_to(port)
        self.uninstall()
        self.assertIsNone(self.registry(POLICY_KEY, "Host"))
        self.assertIsNone(self.registry(POLICY_KEY, "Port", "REG_DWORD"))

    def test_bad_port_is_refused_before_anything_is_installed(self):
        for port in ("0", "65536", "96x", "-1"):
            self.assertEqual(self.wine(SETUP, "/S", "/PORT=" + port).returncode, 2, port)
            self.assertFalse(os.path.exists(self.dir), port)

    def test_a_running_client_is_closed_before_install_and_uninstall(self):
        self.install("/NOAUTOSTART")
        client = self.start_client()
        self.install("/NOAUTOSTART")
        self.assertEqual(client.wait(LIMIT), 0)
        client = self.start_client()
        self.uninstall()
        self.assertEqual(client.wait(LIMIT), 0)
        self.assertFalse(os.path.exists(self.dir))

    def test_autostart_is_optional(self):
        self.install("/NOAUTOSTART")
        self.assertTrue(os.path.isfile(self.link))
        self.assertIsNone(self.registry(RUN_KEY, "Velmora Client"))


if __name__ == "__main__":
    SETUP = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1].endswith(".exe") else os.path.join(
        os.path.dirname(__file__), "..", "..", "build", "mingw", "velmora-client-setup.exe")
    VERSION = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1][:1].isdigit() else "1.0.0"
    unittest.main()
