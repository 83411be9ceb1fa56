"""The Debian packages as an admin meets them: built with cpack, checked with
lintian, the client and tools packages installed on this machine with apt,
the installed programs run, the desktop files validated, and everything
removed again without a trace.

    python3 tests/package/package_test.py BUILD_DIR VERSION

Needs root (it installs packages); skips (code 77) without it, or when a
velmora package is already installed here, which it must not replace.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = VERSION = None
SKIP = 77
PACKAGES = ("velmora-client", "velmora-tools")
APT = ["apt-get", "-y", "-qq", "-o", "DPkg::Lock::Timeout=300"]
GUARD = 600
MODE = "/usr/sbin/velmora-reader-mode"
PAM_LINE = "PCSCLITE_CSOCK_NAME DEFAULT=${XDG_RUNTIME_DIR}/pcscd/pcscd.comm\n"
ENV_FILE = "/etc/environment.d/90-velmora-pcscd.conf"
# What the per-user mode changes on the system, besides the unit links.
PROFILE_FILE = "/etc/profile.d/velmora-pcscd.sh"
MODE_FILES = ("/etc/reader.conf.d/velmora-reader", "/etc/security/pam_env.conf", ENV_FILE, PROFILE_FILE)


def run(*args, **kwargs):
    kwargs.setdefault("env", dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    return subprocess.run(args, capture_output=True, text=True, timeout=GUARD, **kwargs)


def snapshot():
    """The per-user mode's files as they are now (None: absent)."""
    contents = {}
    for path in MODE_FILES:
        try:
            with open(path, newline="") as f:
                contents[path] = f.read()
        except FileNotFoundError:
            contents[path] = None
    return contents


def restore(contents):
    """Puts back this machine's files, should the package have failed to."""
    for path, text in contents.items():
        if text is None:
            if os.path.lexists(path):
                os.remove(path)
        elif snapshot()[path] != text:
            with open(path, "w", newline="") as f:
                f.write(text)


def installed(package):
    result = run("dpkg-query", "-W", "-f=${Status}", package)
    return "install ok installed" in result.stdout


class Packages(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velmora-packages.")
        self.addCleanup(shutil.rmtree, self.dir, True)
        result = run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", self.dir)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.debs = {name.split("_")[0]: os.path.join(self.dir, name)
                     for name in os.listdir(self.dir) if name.endswith(".deb")}

    def deb(self, package):
        path = self.debs[package]
        self.assertTrue(os.path.basename(path).startswith("%s_%s_" % (package, VERSION)), path)
        return path

    def test_lintian_finds_no_errors(self):
        for package in (*PACKAGES, "velmora-reader"):
            result = run("lintian", "--fail-on", "error", self.deb(package))
            self.assertEqual(result.returncode, 0, package + ":\n" + result.stdout + result.stderr)

    def test_reader_package_needs_pcscd_and_names_its_driver(self):
        deb = self.deb("velmora-reader")
        self.assertIn("pcscd", run("dpkg-deb", "-f", deb, "Depends").stdout)
        unpacked = os.path.join(self.dir, "reader")
        self.assertEqual(run("dpkg-deb", "-x", deb, unpacked).returncode, 0)
        driver = "/usr/lib/pcsc/drivers/serial/libifdvelmora.so"
        self.assertTrue(os.path.isfile(unpacked + driver))
        with open(unpacked + "/etc/reader.conf.d/velmora-reader") as conf:
            self.assertIn("LIBPATH " + driver + "\n", conf.read())
        for unit in ("pcscd.service", "pcscd.socket"):
            self.assertTrue(os.path.isfile(unpacked + "/usr/lib/systemd/system/%s.d/velmora-reader.conf" % unit))
        self.assertEqual(run("dpkg-deb", "-e", deb, self.dir + "/reader.ctrl.d").returncode, 0)
        for script in ("postinst", "prerm", "postrm"):
            self.assertTrue(os.access(self.dir + "/reader.ctrl.d/" + script, os.X_OK), script)
        self.assertTrue(os.access(unpacked + MODE, os.X_OK))
        self.assertTrue(os.path.isfile(unpacked + "/usr/share/man/man8/velmora-reader-mode.8.gz"))
        with open(self.dir + "/reader.ctrl.d/conffiles") as conffiles:
            self.assertIn("/etc/reader.conf.d/velmora-reader", conffiles.read())
        # The units' Documentation= and the package description name these.
        for doc in ("README.user-mode", "admin-guide.md"):
            self.assertTrue(os.path.isfile(unpacked + "/usr/share/doc/velmora-reader/" + doc), doc)

    def test_client_package_turns_reconnect_on_for_every_user(self):
        deb = self.deb("velmora-client")
        unpacked = os.path.join(self.dir, "client")
        self.assertEqual(run("dpkg-deb", "-x", deb, unpacked).returncode, 0)
        with open(unpacked + "/etc/xdg/velmora-client.conf") as conf:
            self.assertIn("Reconnect=5\n", conf.read())
        self.assertEqual(run("dpkg-deb", "-e", deb, self.dir + "/client.ctrl.d").returncode, 0)
        with open(self.dir + "/client.ctrl.d/conffiles") as conffiles:
            self.assertEqual(sorted(conffiles.read().split()),
                             ["/etc/xdg/autostart/velmora-client.desktop", "/etc/xdg/velmora-client.conf"])

    def test_install_run_and_remove_without_a_trace(self):
        self.addCleanup(run, *APT, "purge", *PACKAGES)
        result = run(*APT, "install", *(self.deb(p) for p in PACKAGES))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        files = [f for p in PACKAGES for f in run("dpkg", "-L", p).stdout.splitlines()]
        ours = [f for f in files if "velmora" in f]
        self.assertIn("/etc/xdg/autostart/velmora-client.desktop", ours)
        self.assertIn("/etc/xdg/velmora-client.conf", ours)
        self.assertIn("/usr/share/icons/hicolor/scalable/apps/velmora-client.svg", ours)
        for doc in ("/usr/share/man/man1/velmora-server.1.gz", "/usr/share/doc/velmora-tools/protocol.md",
                    "/usr/share/doc/velmora-client/user-guide.md"):
            self.assertIn(doc, ours)

        self.check_programs()
        for desktop in ("/usr/share/applications/velmora-client.desktop",
                        "/etc/xdg/autostart/velmora-client.desktop"):
            result = run("desktop-file-validate", desktop)
            self.assertEqual(result.returncode, 0, desktop + ": " + result.stdout + result.stderr)

        result = run(*APT, "purge", *PACKAGES)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual([p for p in PACKAGES if installed(p)], [])
        self.assertEqual([f for f in ours if os.path.lexists(f)], [])

    def test_reader_user_units_ship_disabled_and_one_command_turns_the_mode_on_and_off(self):
        self.addCleanup(run, *APT, "purge", "velmora-reader")
        before = snapshot()
        self.addCleanup(restore, before)
        result = run(*APT, "install", self.deb("velmora-reader"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        units = ["/usr/lib/systemd/user/velmora-pcscd." + kind for kind in ("service", "socket")]
        names = [os.path.basename(unit) for unit in units]
        with open("/etc/velmora-reader/reader.conf") as conf:
            text = conf.read()
        self.assertIn('DEVICENAME "unix:$XDG_RUNTIME_DIR/velmora-reader.sock"\n', text)
        self.assertIn("LIBPATH /usr/lib/pcsc/drivers/serial/libifdvelmora.so\n", text)
        self.assertEqual(self.enabled(names), ["disabled", "disabled"])
        self.assertEqual(run(MODE, "status").stdout, "system\n")
        system = snapshot()

        # Wrong use changes nothing.
        nobody = ("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups")
        for args, code in (((MODE,), 2), ((MODE, "on"), 2), ((MODE, "per-user", "system"), 2),
                           ((MODE, "--per-user"), 2), ((*nobody, MODE, "per-user"), 1)):
            result = run(*args)
            self.assertEqual(result.returncode, code, args)
            self.assertEqual(snapshot(), system, args)

        for attempt in ("first", "again"):
            result = run(MODE, "per-user")
            self.assertEqual(result.returncode, 0, attempt + ": " + result.stdout + result.stderr)
            if attempt == "first":
                self.assertRegex(result.stdout, "pcscd restarted|restart pcscd yourself")
                per_user = snapshot()
            self.assertEqual(snapshot(), per_user, attempt)
        self.assertEqual(self.enabled(names), ["enabled", "enabled"])
        self.assertEqual(run(MODE, "status").stdout, "per-user\n")
        conf, pam, env, _ = (per_user[f] for f in MODE_FILES)
        self.assertNotRegex(conf, r"(?m)^\s*DEVICENAME")
        self.assertEqual(conf.replace("#velmora-reader-mode per-user# ", ""), system[MODE_FILES[0]])
        self.assertTrue(pam.startswith(system[MODE_FILES[1]]) and pam.endswith(PAM_LINE), pam)
        self.assertIn("PCSCLITE_CSOCK_NAME=${XDG_RUNTIME_DIR}/pcscd/pcscd.comm\n", env)
        # A login shell mends the value pam_env gave before XDG_RUNTIME_DIR was set, and keeps a user's own.
        for given, expected in (("/pcscd/pcscd.comm", "/run/user/1000/pcscd/pcscd.comm"), ("", "/run/user/1000/pcscd/pcscd.comm"),
                                ("/home/u/my.comm", "/home/u/my.comm")):
            shell = run("sh", "-c", '. "$0"; printf %s "$PCSCLITE_CSOCK_NAME"', PROFILE_FILE,
                        env=dict(os.environ, XDG_RUNTIME_DIR="/run/user/1000", PCSCLITE_CSOCK_NAME=given))
            self.assertEqual(shell.stdout, expected, given)
        runtime = tempfile.mkdtemp(prefix="velmora-runtime.")
        self.addCleanup(shutil.rmtree, runtime, True)
        result = run("systemd-analyze", "--user", "verify", *units,
                     env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

        for attempt in ("first", "again"):
            self.assertEqual(run(MODE, "system").returncode, 0, attempt)
            self.assertEqual(snapshot(), system, attempt)
            self.assertEqual(self.enabled(names), ["disabled", "disabled"])

        # Removed while on: no unit, link, line or configuration left behind.
        self.assertEqual(run(MODE, "per-user").returncode, 0)
        links = run("find", "/etc/systemd/user", "-name", "velmora-pcscd.*").stdout.split()
        self.assertEqual(len(links), 2, links)
        result = run(*APT, "purge", "velmora-reader")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual([f for f in (*units, *links, "/etc/velmora-reader", MODE) if os.path.lexists(f)], [])
        self.assertEqual(snapshot(), before)

    @staticmethod
    def enabled(names):
        return [run("systemctl", "--global", "is-enabled", name).stdout.strip() for name in names]

    def check_programs(self):
        result = run("velmora-server", "--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("/usr/share/doc/velmora-tools/protocol.md", result.stdout)
        result = run("velmora-client", "--version")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(VERSION, result.stdout)


if __name__ == "__main__":
    BUILD, VERSION = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    if os.geteuid() != 0:
        print("skipped: installing packages needs root")
        sys.exit(SKIP)
    if any(installed(p) for p in (*PACKAGES, "velmora-reader")):
        print("skipped: a velmora package is installed here already; the test will not replace it")
        sys.exit(SKIP)
    unittest.main()
