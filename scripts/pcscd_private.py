"""A private pcscd with simulated readers, for tests written in Python.

    import sys; sys.path.insert(0, "scripts")
    from pcscd_private import PrivatePcscd

    pcscd = PrivatePcscd(["card=t1,pinpad=on", "card=none"])
    if not pcscd.start():
        print(pcscd.error)
    try:
        env = pcscd.env()                  # PCSCLITE_CSOCK_NAME, SIMREADER_DIR
        pcscd.reader(1).command("INSERT")  # -> "OK"
        pcscd.reader(0).command("KEYS 1234 OK")
    finally:
        pcscd.stop()

pcscd runs as a child of this process (pcscd-private.sh run), so stop()
ends it by its process id and reaps it. Reader specs are those of
pcscd-private.sh; remotes are velmora-reader addresses (--remote). The driver is build/linux/tools/simreader/libsimreader.so
unless SIMREADER_DRIVER names another; simreader-ctl is taken from beside it.
Failures come back as False or as "ERR ..." replies, not as exceptions.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(ROOT, "scripts", "pcscd-private.sh")
DEFAULT_DRIVER = os.path.join(ROOT, "build", "linux", "tools", "simreader", "libsimreader.so")

# Bounds for a broken environment; a healthy start takes a fraction of a second.
START_LIMIT = 30.0
STOP_LIMIT = 10.0


class SimReader:
    """The control channel of one simulated reader."""

    def __init__(self, path):
        self.path = path

    def command(self, line):
        """Sends one control line; its reply line, or "ERR ..." if unreachable."""
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.connect(self.path)
                s.sendall(line.encode() + b"\n")
                reply = b""
                while not reply.endswith(b"\n"):
                    chunk = s.recv(4096)
                    if not chunk:
                        return "ERR connection to %s lost" % self.path
                    reply += chunk
        except OSError as e:
            return "ERR cannot reach %s: %s" % (self.path, e.strerror)
        return reply.decode().rstrip("\n")

    def status(self):
        """STATUS as a dict of its fields (strings); {} on an error reply."""
        reply = self.command("STATUS")
        if not reply.startswith("OK "):
            return {}
        return dict(field.split("=", 1) for field in reply[3:].split())


class PrivatePcscd:
    def __init__(self, readers=("card=t1",), debug=False, remotes=()):
        self.specs = list(readers)
        self.remotes = list(remotes)  # velmora-reader listening addresses
        self.debug = debug
        self.driver = os.environ.get("SIMREADER_DRIVER", DEFAULT_DRIVER)
        self.ctl = os.path.join(os.path.dirname(self.driver), "simreader-ctl")
        self.dir = None
        self.process = None
        self.error = ""

    def env(self):
        """The environment a PC/SC client and simreader-ctl need."""
        return {"PCSCLITE_CSOCK_NAME": os.path.join(self.dir, "run", "pcscd.comm"),
                "SIMREADER_DIR": self.dir}

    def start(self):
        """Starts pcscd and waits until it lists every reader; False with .error."""
        self.dir = tempfile.mkdtemp(prefix="velmora-pcscd.", dir="/tmp")
        return self._launch()

    def restart(self):
        """Stops pcscd and starts it again on the same socket, as a restart
        of the service would; clients keep their PCSCLITE_CSOCK_NAME."""
        self._end_process()
        return self._launch()

    def _launch(self):
        args = [SCRIPT, "run", "-d", self.dir, "--driver", self.driver]
        for spec in self.specs:
            args += ["--reader", spec]
        for address in self.remotes:
            args += ["--remote", address]
        if self.debug:
            args.append("--debug")
        with open(os.path.join(self.dir, "pcscd.log"), "wb") as log:
            self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT)
        if self._wait_ready():
            return True
        self.stop()
        return False

    def _wait_ready(self):
        deadline = time.monotonic() + START_LIMIT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                self.error = "pcscd ended during start:\n" + self.log()
                return False
            if len(self.readers()) >= len(self.specs) + len(self.remotes):
                return True
            time.sleep(0.01)
        self.error = "pcscd did not list its readers:\n" + self.log()
        return False

    def readers(self):
        """The reader names pcscd lists, in its order."""
        env = dict(os.environ, **self.env())
        result = subprocess.run([self.ctl, "--readers"], env=env, capture_output=True, text=True)
        return result.stdout.splitlines() if result.returncode == 0 else []

    def reader(self, index):
        return SimReader(os.path.join(self.dir, "reader%d.sock" % index))

    def log(self):
        try:
            with open(os.path.join(self.dir, "pcscd.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        """Ends pcscd by its process id, reaps it and removes the directory."""
        self._end_process()
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def _end_process(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(STOP_LIMIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None
