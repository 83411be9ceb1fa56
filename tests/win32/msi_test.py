"""The MSI package under Wine: msiexec /i ... /qn HOST= PORT= installs the
program, its Start-menu entry, its autostart entry and the Group Policy
templates and writes the system-wide settings, and the client then connects
there; msiexec /x takes every file and key away; a newer package replaces
an older one (one uninstall entry) and closes a running client first.

    python3 tests/win32/msi_test.py build/mingw/velmora-client.msi VERSION
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from e2e_harness import WineSession, free_port  # noqa: E402
from installer_test import WineInstall  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_MSI = os.path.join(HERE, "..", "..", "installer", "make-msi.sh")
MSI = VERSION = None
LIMIT = 120.0
UPGRADE_CODE = "{9D790741-CE51-420C-BE91-409F8045D97B}"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
POLICY_KEY = r"HKLM\Software\Policies\Velmora Client"
OWN_KEY = r"HKLM\Software\Velmora Client"
POLICY_FILES = ["velmora-client.admx", r"en-US\velmora-client.adml", r"de-DE\velmora-client.adml"]


def msi_table(path, table):
    """The rows of one table as lists of fields."""
    # Tables with streams (Icon) are written out beside: into a scratch folder.
    with tempfile.TemporaryDirectory() as scratch:
        text = subprocess.run(["msiinfo", "export", os.path.abspath(path), table], capture_output=True, text=True,
                              check=True, cwd=scratch).stdout
    return [line.rstrip("\r").split("\t") for line in text.splitlines()[3:]]


def msi_properties(path):
    return {row[0]: row[1] for row in msi_table(path, "Property")}


class Msi(WineInstall, unittest.TestCase):
    limit = LIMIT

    def setUp(self):
        self.env = dict(os.environ, **WineSession.env())
        drive = os.path.join(self.env["WINEPREFIX"], "drive_c")
        self.dir = os.path.join(drive, "Program Files", "Velmora Client")
        # All users' Start menu; Wine's msi puts a per-machine shortcut in
        # the installing user's.
        menus = [os.path.join(drive, "ProgramData"), os.path.join(drive, "users", os.environ.get("USER", "root"),
                                                                     "AppData", "Roaming")]
        self.links = [os.path.join(m, "Microsoft", "Windows", "Start Menu", "Programs", "Velmora Client",
                                   "Velmora Client.lnk") for m in menus]
        self.installed = []
        self.addCleanup(self.remove_all)

    def key_exists(self, key):
        return self.wine("reg", "query", key).returncode == 0

    def uninstall_entries(self):
        """DisplayVersion of every uninstall entry named Velmora Client."""
        text = self.wine("reg", "query", UNINSTALL_KEY, "/s").stdout
        versions = []
        for block in re.split(r"\r?\n(?=HKEY_)", text):
            if re.search(r"DisplayName\s+REG_SZ\s+Velmora Client\s*$", block, re.M):
                found = re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", block)
                publisher = re.search(r"Publisher\s+REG_SZ\s+(.+?)\s*$", block, re.M)
                versions.append((found.group(1) if found else None, publisher.group(1) if publisher else None))
        return versions

    def install(self, msi, *properties, code=0):
        result = self.wine("msiexec", "/i", msi, "/qn", *properties)
        # Wine passes on only the low byte of msiexec's 1603.
        self.assertIn(result.returncode, (code, code & 0xFF), (properties, result.stdout, result.stderr))
        if code == 0:
            self.installed.append(msi_properties(msi)["ProductCode"])

    def uninstall(self, msi):
        self.assertEqual(self.wine("msiexec", "/x", msi_properties(msi)["ProductCode"], "/qn").returncode, 0)

    def remove_all(self):
        for code in self.installed:
            self.wine("msiexec", "/x", code, "/qn")

    def rebuilt_msi(self, step):
        """The same package `step` patch versions on, built the same way
        (with a product code of its own)."""
        major, minor, patch = VERSION.split(".")
        version = "%s.%s.%d" % (major, minor, int(patch) + step)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        out = os.path.join(folder, "velmora-client-%s.msi" % version)
        build = os.path.dirname(os.path.abspath(MSI))
        subprocess.run([MAKE_MSI, out, version, os.path.join(build, "src", "win32", "velmora-client.exe"),
                        os.path.join(build, "src", "win32", "velmora-close-running.exe")], check=True,
                       capture_output=True)
        return out, version

    def assert_nothing_left(self):
        self.assertFalse(os.path.exists(self.dir))
        for link in self.links:
            self.assertFalse(os.path.exists(os.path.dirname(link)), link)
        self.assertIsNone(self.registry(RUN_KEY, "Velmora Client"))
        self.assertFalse(self.key_exists(POLICY_KEY))
        self.assertFalse(self.key_exists(OWN_KEY))
        self.assertEqual(self.uninstall_entries(), [])

    def test_host_and_port_reach_the_client_and_uninstall_removes_everything(self):
        port = free_port()
        self.install(MSI, "HOST=127.0.0.1", "PORT=%d" % port)
        self.assertTrue(os.path.isfile(os.path.join(self.dir, "velmora-client.exe")))
        for name in POLICY_FILES:
            self.assertTrue(os.path.isfile(os.path.join(self.dir, "policy", *name.split("\\"))), name)
        self.assertEqual(sum(os.path.isfile(link) for link in self.links), 1)
        self.assertEqual(self.registry(RUN_KEY, "Velmora Client"),
                         r'"C:\Program Files\Velmora Client\velmora-client.exe"')
        self.assertEqual(self.uninstall_entries(), [(VERSION, "Velmora")])
        self.assertEqual(self.registry(POLICY_KEY, "Host"), "127.0.0.1")
        self.assertEqual(self.registry(POLICY_KEY, "Port", "REG_DWORD"), port)
        self.assert_client_connects_to(port)
        self.uninstall(MSI)
        self.assert_nothing_left()

    def test_without_settings_or_autostart_nothing_of_them_is_written(self):
        self.install(MSI, "AUTOSTART=0")
        self.assertTrue(os.path.isfile(os.path.join(self.dir, "velmora-client.exe")))
        self.assertIsNone(self.registry(RUN_KEY, "Velmora Client"))
        self.assertFalse(self.key_exists(POLICY_KEY))

    def test_bad_port_is_refused_before_anything_is_installed(self):
        for port in ("0", "65536", "96x", "-1"):
            self.install(MSI, "PORT=" + port, code=1603)
            self.assertFalse(os.path.exists(self.dir), port)
            self.assertEqual(self.uninstall_entries(), [], port)

    def test_newer_replaces_older_and_running_clients_are_closed(self):
        rebuilt, _ = self.rebuilt_msi(0)
        newer, newer_version = self.rebuilt_msi(1)
        self.install(MSI, "AUTOSTART=0")
        # A rebuild of the same version replaces it too.
        self.install(rebuilt, "AUTOSTART=0")
        self.assertEqual(self.uninstall_entries(), [(VERSION, "Velmora")])
        client = self.start_client()
        self.install(newer, "AUTOSTART=0")
        self.assertEqual(client.wait(LIMIT), 0)
        self.assertEqual(self.uninstall_entries(), [(newer_version, "Velmora")])
        self.assertTrue(os.path.isfile(os.path.join(self.dir, "velmora-client.exe")))
        # The older one over it is refused and changes nothing.
        self.installed.remove(msi_properties(MSI)["ProductCode"])
        self.install(MSI, code=1603)
        self.assertEqual(self.uninstall_entries(), [(newer_version, "Velmora")])
        client = self.start_client()
        self.uninstall(newer)
        self.assertEqual(client.wait(LIMIT), 0)
        self.assert_nothing_left()


class Package(unittest.TestCase):
    """What msiinfo shows, no Wine needed."""

    def test_properties_upgrade_and_files(self):
        properties = msi_properties(MSI)
        self.assertEqual(properties["UpgradeCode"], UPGRADE_CODE)
        self.assertEqual(properties["ProductVersion"], VERSION)
        self.assertEqual(properties["ALLUSERS"], "1")  # per machine
        self.assertEqual(properties["Manufacturer"], "Velmora")
        self.assertIn(properties["ARPPRODUCTICON"], {row[0] for row in msi_table(MSI, "Icon")})
        self.assertTrue({"HOST", "PORT", "AUTOSTART"} <= set(properties["SecureCustomProperties"].split(";")))
        upgrades = msi_table(MSI, "Upgrade")
        self.assertTrue(upgrades and all(row[0] == UPGRADE_CODE for row in upgrades))
        # Up to this version, inclusively (0x200): a rebuild replaces it.
        self.assertIn([UPGRADE_CODE, "", VERSION, "", "513", "", "WIX_UPGRADE_DETECTED"], upgrades)
        self.assertIn("PORT", " ".join(row[0] for row in msi_table(MSI, "LaunchCondition")))
        conditions = {row[0]: row[4] for row in msi_table(MSI, "Component")}
        self.assertTrue(conditions["PolicyHost"].startswith("HOST"))
        self.assertTrue(conditions["PolicyPort"].startswith("PORT"))
        files = {row[2].split("|")[-1] for row in msi_table(MSI, "File")}
        self.assertEqual(files, {"velmora-client.exe", "velmora-client.admx", "velmora-client.adml"})
        actions = {row[0]: row for row in msi_table(MSI, "CustomAction")}
        self.assertEqual(actions["CloseRunningClient"][1:3], ["2", "CloseRunning"])
        sequence = {row[0]: int(row[2]) for row in msi_table(MSI, "InstallExecuteSequence")}
        self.assertLess(sequence["CloseRunningClient"], sequence["InstallValidate"])


if __name__ == "__main__":
    MSI = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1].endswith(".msi") else os.path.join(
        HERE, "..", "..", "build", "mingw", "velmora-client.msi")
    VERSION = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1][:1].isdigit() else "1.0.0"
    unittest.main()
