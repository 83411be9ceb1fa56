"""The Python helper and the shell script as other tests use them: start a
private pcscd, drive its readers, stop it, and leave nothing behind."""

import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from pcscd_private import SCRIPT, PrivatePcscd  # noqa: E402


def process_state(pid):
    """The state letter of a process, None if there is none."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


def mounted(path):
    with open("/proc/self/mountinfo") as f:
        return any(path in line for line in f)


class PythonHelper(unittest.TestCase):
    def setUp(self):
        self.pcscd = PrivatePcscd(["card=t1,pinpad=on,name=Desk", "card=none"])
        self.assertTrue(self.pcscd.start(), self.pcscd.error)

    def tearDown(self):
        self.pcscd.stop()

    def test_readers_are_listed_under_their_names(self):
        self.assertEqual(self.pcscd.readers(), ["Desk 00 00", "Sim Reader 1 01 00"])

    def test_cards_come_and_go_at_run_time(self):
        empty = self.pcscd.reader(1)
        self.assertEqual(empty.status()["present"], "0")
        self.assertEqual(empty.command("INSERT"), "OK")
        self.assertEqual(empty.status()["present"], "1")
        self.assertEqual(self.pcscd.reader(0).status()["pinpad"], "on")

    def test_simreader_ctl_finds_readers_by_number(self):
        env = dict(os.environ, **self.pcscd.env())
        result = subprocess.run([self.pcscd.ctl, "1", "KEYS", "12", "OK"], env=env, capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout), (0, "OK 3\n"))
        result = subprocess.run([self.pcscd.ctl, "1", "KEYS", "ENTER"], env=env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 1)

    def test_stop_reaps_pcscd_and_removes_everything(self):
        process, directory = self.pcscd.process, self.pcscd.dir
        self.pcscd.stop()
        self.assertIsNotNone(process.returncode)
        self.assertFalse(os.path.exists(directory))
        self.assertFalse(mounted(directory))


class ShellScript(unittest.TestCase):
    def run_script(self, *args, env=None):
        environment = dict(os.environ, **(env or {}))
        return subprocess.run([SCRIPT, *args], env=environment, capture_output=True, text=True)

    def test_start_status_stop(self):
        driver = PrivatePcscd().driver
        started = self.run_script("start", "--driver", driver, "--reader", "card=t0")
        self.assertEqual(started.returncode, 0, started.stderr)
        env = dict(line.replace("export ", "").replace("'", "").split("=", 1)
                   for line in started.stdout.splitlines())
        self.assertEqual(env["PCSCLITE_CSOCK_NAME"], env["SIMREADER_DIR"] + "/run/pcscd.comm")
        status = self.run_script("status", "--driver", driver, env=env)
        self.assertEqual(status.returncode, 0, status.stderr)
        self.assertIn("Sim Reader 0 00 00", status.stdout)
        pid = int(status.stdout.split("pid ")[1].split()[0])

        self.assertEqual(self.run_script("stop", env=env).returncode, 0)
        self.assertEqual(self.run_script("status", env=env).stdout, "stopped\n")
        self.assertFalse(os.path.exists(env["SIMREADER_DIR"]))
        self.assertIn(process_state(pid), (None, "Z"))  # gone, or waiting for init to reap it

    def test_bad_reader_setting_is_refused_and_leaves_nothing(self):
        with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
            result = self.run_script("start", "--driver", PrivatePcscd().driver, "--reader", "card=t2",
                                     env={"TMPDIR": tmp})
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("card=t2", result.stderr)
            self.assertEqual(os.listdir(tmp), [])


if __name__ == "__main__":
    unittest.main()
