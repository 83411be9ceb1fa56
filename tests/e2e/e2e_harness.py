"""End-to-end harness: a private pcscd with simulated readers, the server
peer on a free loopback port, and the real client binary (offscreen), driven
through the test build's control channel."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tools", "server", "test"))

from pcscd_private import PrivatePcscd  # noqa: E402

BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build", "linux"))
CLIENT = os.environ.get("VELMORA_CLIENT", os.path.join(BUILD, "src", "qt", "velmora-client-e2e"))
SERVER = os.environ.get("VELMORA_SERVER", os.path.join(BUILD, "tools", "server", "velmora-server"))
os.environ.setdefault("SIMREADER_DRIVER", os.path.join(BUILD, "tools", "simreader", "libsimreader.so"))
os.environ["VELMORA_SERVER"] = SERVER

import harness as server_harness  # noqa: E402

# Guards against a hung test, never measurements.
GUARD = 20.0


def wait_until(predicate, what, limit=GUARD):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Server(server_harness.Server):
    """velmora-server in interactive mode: one command in, its reply out."""

    def __init__(self, *args):
        super().__init__("--interactive", "--quiet-rtt", "--greeting-delay-ms", "100", *args,
                         stdin=subprocess.PIPE)

    def send(self, command):
        self.proc.stdin.write(command.encode("latin-1") + b"\n")
        self.proc.stdin.flush()

    def command(self, command):
        """Sends one command and returns the client's reply line."""
        self.send(command)
        while True:
            line = self.next_line()
            if line.startswith("< "):
                return line[2:]
            if line.startswith("# timeout"):
                raise AssertionError(line)

    def wait_connected(self):
        while not self.next_line().startswith("# client connected"):
            pass

    def expect(self, prefix):
        """Reads the transcript up to the first line that starts with prefix."""
        while True:
            line = self.next_line()
            if line.startswith(prefix):
                return line


class Client:
    """The client binary with its control channel."""

    def __init__(self, port, pcscd, wrapper=()):
        self.dir = tempfile.mkdtemp(prefix="velmora-client.", dir="/tmp")
        self.hook_path = os.path.join(self.dir, "hook.sock")
        env = dict(os.environ, **pcscd.env())
        env.update(QT_QPA_PLATFORM="offscreen", VELMORA_TEST_HOOK=self.hook_path,
                   VELMORA_TEST_PORT=str(port), XDG_RUNTIME_DIR=self.dir)
        self.log = open(os.path.join(self.dir, "client.log"), "wb")
        self.proc = subprocess.Popen([*wrapper, CLIENT], env=env, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.sock = None
        wait_until(self._connect_hook, "the client's control channel")

    def _connect_hook(self):
        if self.proc.poll() is not None:
            raise AssertionError("client ended at start: " + self.output())
        s = socket.socket(socket.AF_UNIX)
        try:
            s.settimeout(GUARD)
            s.connect(self.hook_path)
        except OSError:
            s.close()
            return False
        self.sock = s
        self.reader = s.makefile("rb")
        return True

    def hook(self, line):
        self.sock.sendall(line.encode() + b"\n")
        return self.reader.readline().decode().rstrip("\n")

    def state(self):
        return json.loads(self.hook("state"))

    def wait_state(self, predicate, what):
        return wait_until(lambda: (lambda s: s if predicate(s) else None)(self.state()), what)

    def output(self):
        self.log.flush()
        with open(os.path.join(self.dir, "client.log"), errors="replace") as f:
            return f.read()

    def wait_exit(self):
        return self.proc.wait(GUARD)

    def close(self):
        if self.sock is not None:
            self.reader.close()
            self.sock.close()
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(GUARD)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def idle_controls(state):
    """Host, port and Connect offered; Disconnect off."""
    return (state["link"] == 0 and state["1001"]["enabled"] and state["1002"]["enabled"]
            and state["1003"]["enabled"] and not state["1004"]["enabled"])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
