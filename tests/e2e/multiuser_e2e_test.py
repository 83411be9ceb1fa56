"""velmora-reader's per-user mode on a server with two Unix users, A and B.

Each user has an unprivileged pcscd of their own (socket-activated, as the
user units run it) whose velmora-reader entry is the packaged per-user one:
the driver on a 0600 Unix socket in the user's runtime directory. An sshd
on a private loopback port with its own configuration and host key stands
for the server's; PAM gives SSH logins PCSCLITE_CSOCK_NAME from the user's
~/.pam_environment. The workstation is a private pcscd with the simulated
reader and the real client, connected through `ssh -L` from a local socket
to A's driver socket.

Shows: A's programs use A's card; B's programs see no such reader; B's
connection to A's socket, directly and through `ssh -L` as B, fails and is
logged; nothing B does changes A's card. Needs root (users, namespaces).
"""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_harness import BUILD, ROOT, Client, PrivatePcscd, free_port, wait_until

PROBE = os.environ.get("VELMORA_READER_PROBE", os.path.join(BUILD, "tests", "driver", "reader-probe"))
DRIVER = os.environ.get("VELMORA_READER_DRIVER", os.path.join(BUILD, "driver", "libifdvelmora.so"))
USER_ENTRY = os.path.join(ROOT, "driver", "velmora-reader-user.conf")
UNITS = os.path.join(ROOT, "packaging", "linux", "reader", "velmora-pcscd.")
SHIPPED_CONF = "/etc/velmora-reader/reader.conf"


def unit_setting(kind, key):
    """One setting of the shipped user unit velmora-pcscd.KIND."""
    with open(UNITS + kind) as f:
        return next(line.split("=", 1)[1].strip() for line in f if line.startswith(key + "="))
READER = "Velmora Remote Reader 00 00"
SELECT = "00A4040007A0000000041010"
LIMIT = 30
SKIP = 77


def run(*args, **kwargs):
    kwargs.setdefault("capture_output", True)
    return subprocess.run(args, text=True, timeout=LIMIT, check=False, **kwargs)


def stop(proc):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(LIMIT)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


def connect_as(user, path):
    """Connects to a Unix socket as another user; 'greeted', 'closed' or the error."""
    code = ("import socket,sys\ns=socket.socket(socket.AF_UNIX)\ns.settimeout(5)\n"
            "try:\n s.connect(sys.argv[1])\nexcept OSError as e:\n print(type(e).__name__); sys.exit()\n"
            "print('greeted' if s.recv(64).startswith(b'HELLO') else 'closed')\n")
    return run("setpriv", "--reuid", str(user.uid), "--regid", str(user.gid), "--init-groups",
               sys.executable, "-c", code, path).stdout.strip()


class User:
    """A Unix user of the server with a home, a runtime directory, a key
    pair for SSH, and an unprivileged pcscd with the per-user entry."""

    def __init__(self, root, name):
        self.name = name
        self.home = os.path.join(root, "home", name)
        # Another test adding a user at the same moment holds the passwd lock.
        for _ in range(20):
            result = run("useradd", "--home-dir", self.home, "--create-home", "--user-group", "--shell", "/bin/sh",
                         name)
            if result.returncode != 10:
                break
            time.sleep(0.5)
        assert result.returncode == 0, result.stderr
        entry = pwd.getpwnam(name)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        self.runtime = os.path.join(root, "run", "user", str(self.uid))
        os.makedirs(self.runtime)
        self.pcscd_socket = unit_setting("socket", "ListenStream").replace("%t", self.runtime)
        self.driver_socket = os.path.join(self.runtime, "velmora-reader.sock")
        self.key = os.path.join(root, "keys", name)
        run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.key)
        os.makedirs(os.path.join(self.home, ".ssh"))
        shutil.copy(self.key + ".pub", os.path.join(self.home, ".ssh", "authorized_keys"))
        # The administrator's guide's per-user line.
        with open(os.path.join(self.home, ".pam_environment"), "w") as f:
            f.write("PCSCLITE_CSOCK_NAME DEFAULT=%s\n" % self.pcscd_socket)
        self.conf = os.path.join(root, "conf", name)
        with open(USER_ENTRY) as template, open(self.conf, "w") as f:
            f.write(template.read().replace("@DRIVER_PATH@", os.path.join(root, "bin", "libifdvelmora.so")))
        for path in (self.home, self.runtime):
            run("chown", "-R", "%d:%d" % (self.uid, self.gid), path)
        os.chmod(self.runtime, 0o700)
        self.pcscd = None
        self.log_path = os.path.join(root, name + "-pcscd.log")

    def start_pcscd(self, root):
        """pcscd as this user, with the socket and command line of the
        shipped velmora-pcscd units (its entry where the test put it), in a
        mount namespace that gives it a /run/pcscd of its own and hides the
        machine's USB drivers."""
        command = unit_setting("service", "ExecStart").split()
        command[command.index(SHIPPED_CONF)] = self.conf
        usb = run("pcscd", "--version").stdout.split("usbdropdir=")[1].split()[0]
        private_run = os.path.join(root, "pcscd-run", self.name)
        os.makedirs(private_run)
        script = ('mount --bind "$1" /run; mkdir -p /run/pcscd; chown "$2" /run/pcscd; '
                  '[ ! -d "$3" ] || mount --bind "$4" "$3"; shift 4; exec "$@"')
        with open(self.log_path, "wb") as log:
            self.pcscd = subprocess.Popen(
                ["unshare", "--mount", "--propagation", "private", "sh", "-ec", script, "sh", private_run,
                 str(self.uid), usb, os.path.join(root, "empty"),
                 "setpriv", "--reuid", str(self.uid), "--regid", str(self.gid), "--init-groups",
                 "systemd-socket-activate", "-E", "XDG_RUNTIME_DIR=" + self.runtime, "-l", self.pcscd_socket,
                 *command],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        # The first program starts it, as the user's login does with the unit.
        wait_until(lambda: os.path.exists(self.pcscd_socket), self.name + "'s pcscd socket")
        wait_until(lambda: self.probe("readers").startswith("OK"), self.name + "'s pcscd")
        wait_until(lambda: os.path.exists(self.driver_socket), self.name + "'s driver socket")

    def probe(self, *commands, csock=None):
        """reader-probe as this user on a pcscd socket (its own by default)."""
        env = {"PATH": "/usr/bin:/bin", "PCSCLITE_CSOCK_NAME": csock or self.pcscd_socket}
        result = run("setpriv", "--reuid", str(self.uid), "--regid", str(self.gid), "--init-groups",
                     PROBE, input="".join(c + "\n" for c in commands), env=env)
        return "\n".join(result.stdout.splitlines())

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def remove(self):
        if self.pcscd is not None:
            stop(self.pcscd)
        # Its SSH sessions end with the test's ssh processes, a moment later.
        wait_until(lambda: run("userdel", self.name).returncode in (0, 6), "removing " + self.name)


class Sshd:
    """The server's sshd on a free loopback port: its own host key and
    configuration, PAM on (for ~/.pam_environment), forwards to local sockets."""

    def __init__(self, root, users):
        self.dir = os.path.join(root, "sshd")
        os.makedirs(os.path.join(self.dir, "run"))
        self.port = free_port()
        run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(self.dir, "host_key"))
        config = os.path.join(self.dir, "sshd_config")
        with open(config, "w") as f:
            f.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s/host_key\nPidFile %s/sshd.pid\n"
                    "UsePAM yes\nStrictModes no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                    "AllowUsers %s\nAllowStreamLocalForwarding yes\nLogLevel VERBOSE\n"
                    % (self.port, self.dir, self.dir, " ".join(u.name for u in users)))
        self.log_path = os.path.join(self.dir, "sshd.log")
        script = 'mount --bind "$1" /run; mkdir -p /run/sshd; chmod 755 /run/sshd; shift; exec "$@"'
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                ["unshare", "--mount", "--propagation", "private", "sh", "-ec", script, "sh",
                 os.path.join(self.dir, "run"), "/usr/sbin/sshd", "-D", "-e", "-f", config],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        wait_until(lambda: "Server listening" in self.log(), "sshd")

    def ssh(self, user, *args, **kwargs):
        return ["ssh", "-i", user.key, "-p", str(self.port), "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
                "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", *args, user.name + "@127.0.0.1"]

    def forward(self, user, local, remote):
        """`ssh -N -L local:remote` as user; the process, once its socket is there."""
        proc = subprocess.Popen(self.ssh(user, "-N", "-o", "ExitOnForwardFailure=yes", "-L", local + ":" + remote),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: os.path.exists(local) or proc.poll() is not None, "the forward's socket")
        return proc

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()


class PerUserMode(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="velmora-multiuser.", dir="/tmp")
        cls.procs = []
        cls.users = []
        cls.workstation = cls.client = None
        try:
            cls.set_up()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def set_up(cls):
        os.chmod(cls.root, 0o755)
        for sub in ("bin", "keys", "conf", "empty", "workstation"):
            os.makedirs(os.path.join(cls.root, sub))
        for program in (DRIVER, PROBE):
            shutil.copy(program, os.path.join(cls.root, "bin"))
        os.chmod(os.path.join(cls.root, "workstation"), 0o700)
        tag = os.getpid() % 100000
        for letter in "ab":
            cls.users.append(User(cls.root, "velmora-%s%d" % (letter, tag)))
        cls.a, cls.b = cls.users
        for user in cls.users:
            user.start_pcscd(cls.root)
        cls.sshd = Sshd(cls.root, cls.users)
        cls.procs.append(cls.sshd.proc)

        cls.workstation = PrivatePcscd(("card=t1,pin=1234",))
        assert cls.workstation.start(), cls.workstation.error
        # The workstation's end of the forward is a 0600 socket only its user opens.
        local = os.path.join(cls.root, "workstation", "velmora.sock")
        cls.procs.append(cls.sshd.forward(cls.a, local, cls.a.driver_socket))
        cls.client = Client(0, cls.workstation, args=("--host", "unix:" + local, "--reconnect", "1"),
                            test_port=False)

    @classmethod
    def tearDownClass(cls):
        if cls.client is not None:
            cls.client.close()
        for proc in reversed(cls.procs):
            stop(proc)
        if cls.workstation is not None:
            cls.workstation.stop()
        for user in cls.users:
            user.remove()
        shutil.rmtree(cls.root, ignore_errors=True)

    def card(self):
        return self.workstation.reader(0)

    def over_ssh(self, user, *commands):
        """reader-probe in an SSH login of user: the environment PAM gives it."""
        result = run(*self.sshd.ssh(user), os.path.join(self.root, "bin", "reader-probe"),
                     input="".join(c + "\n" for c in commands))
        return result.stdout.splitlines()

    def test_1_a_uses_a_card_through_the_client_and_the_forward(self):
        self.assertEqual(os.stat(self.a.driver_socket).st_mode & 0o777, 0o600)
        answers = self.over_ssh(self.a, "wait present 10000", "readers", "connect", "transmit " + SELECT)
        self.assertEqual(answers, ["OK", "OK " + READER, "OK T1", "OK 9000"], self.a.log())
        self.assertEqual(self.card().command("LASTAPDU"), "OK " + SELECT)
        self.assertIn("client connected from uid %d" % self.a.uid, self.a.log())

    def test_2_b_sees_no_such_reader(self):
        # B's own pcscd has B's reader, with no client and no card.
        answers = self.over_ssh(self.b, "readers", "wait present 1000")
        self.assertEqual(answers[0], "OK " + READER)
        self.assertNotEqual(answers[1], "OK")
        # A's pcscd is closed to B: no daemon, as far as B's programs can tell.
        self.assertEqual(self.b.probe("readers", csock=self.a.pcscd_socket), "ERR 8010001D")

    def test_3_b_cannot_present_or_reach_a_reader_and_is_logged(self):
        before = self.card().command("STATUS")
        self.assertEqual(self.over_ssh(self.a, "wait present 10000"), ["OK"])
        # Directly: the socket's mode keeps B out before the driver is asked.
        self.assertEqual(connect_as(self.b, self.a.driver_socket), "PermissionError")
        # Through ssh -L as B: sshd connects as B and is refused.
        local = os.path.join(self.root, "workstation", "b.sock")
        forward = self.sshd.forward(self.b, local, self.a.driver_socket)
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.settimeout(10)
                s.connect(local)
                self.assertEqual(s.recv(64), b"")
            wait_until(lambda: "Permission denied" in self.sshd.log(), "sshd's log of B's refused forward")
            # With the modes opened by hand the driver itself refuses B, directly
            # and through the forward, and names B in its log.
            os.chmod(self.a.runtime, 0o711)
            os.chmod(self.a.driver_socket, 0o666)
            try:
                self.assertEqual(connect_as(self.b, self.a.driver_socket), "closed")
                with socket.socket(socket.AF_UNIX) as s:
                    s.settimeout(10)
                    s.connect(local)
                    self.assertEqual(s.recv(64), b"")
            finally:
                os.chmod(self.a.driver_socket, 0o600)
                os.chmod(self.a.runtime, 0o700)
        finally:
            stop(forward)
        refusal = "connection from uid %d" % self.b.uid
        wait_until(lambda: self.a.log().count(refusal) >= 2, "A's driver's log of B's connections")
        self.assertIn("refused: not this reader's user (uid %d)" % self.a.uid, self.a.log())
        # A's card and link are as they were.
        self.assertEqual(self.card().command("STATUS"), before)
        self.assertEqual(self.over_ssh(self.a, "connect", "transmit " + SELECT), ["OK T1", "OK 9000"])


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("skipped: creating Unix users and namespaces needs root")
        sys.exit(SKIP)
    missing = [tool for tool in ("sshd", "ssh", "systemd-socket-activate", "setpriv", "unshare")
               if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool)]
    if missing:
        print("skipped: missing " + ", ".join(missing))
        sys.exit(SKIP)
    unittest.main()
