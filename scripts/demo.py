#!/usr/bin/env python3
"""The client's main job, end to end: a reader (the real one, or a private
pcscd with the simulated reader where there is none), the server peer on
port 9688 playing a short demo, and the client, which connects, opens the
reader and answers by itself.

    demo.py run                 play the demo and print the exchange
    demo.py screenshot FILE     the connection dialog after a real exchange
    demo.py roundtrip [N]       one command's round trip through client and
                                pcscd against a direct SCardTransmit
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from pcscd_private import PrivatePcscd  # noqa: E402

BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build", "linux"))
CLIENT = os.path.join(BUILD, "src", "qt", "velmora-client")
CLIENT_E2E = os.path.join(BUILD, "src", "qt", "velmora-client-e2e")
SERVER = os.path.join(BUILD, "tools", "test-server", "velmora-server")
CTL = os.path.join(BUILD, "tools", "simreader", "simreader-ctl")
DEMO_SCRIPT = os.path.join(ROOT, "tools", "demo", "demo-script.txt")
os.environ.setdefault("SIMREADER_DRIVER", os.path.join(BUILD, "tools", "simreader", "libsimreader.so"))


def system_readers():
    """Readers of the system's own pcscd, if one runs."""
    env = {k: v for k, v in os.environ.items() if k != "PCSCLITE_CSOCK_NAME"}
    try:
        result = subprocess.run([CTL, "--readers"], env=env, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return []
    return result.stdout.splitlines() if result.returncode == 0 else []


class Setup:
    """pcscd (real or private), the server peer and the client."""

    def __init__(self, port=9688, script=DEMO_SCRIPT, client=CLIENT, server_args=()):
        self.port = port
        self.script = script
        self.client_binary = client
        self.server_args = list(server_args)
        self.pcscd = None
        self.server = None
        self.client = None
        self.env = dict(os.environ)
        self.dir = tempfile.mkdtemp(prefix="velmora-demo.", dir="/tmp")

    def start_readers(self):
        real = system_readers()
        if real:
            print("# using the reader(s) of this machine: " + ", ".join(real), flush=True)
            return True
        self.pcscd = PrivatePcscd(("card=t1,vendor=Velmora Simulated Reader",))
        if not self.pcscd.start():
            print(self.pcscd.error, file=sys.stderr)
            return False
        self.env.update(self.pcscd.env())
        print("# no reader attached: using the simulated reader in a private pcscd", flush=True)
        return True

    def simulated(self):
        return self.pcscd is not None

    def start_server(self, exit_at_end):
        args = [SERVER, "--port", str(self.port), "--script", self.script, "--once", *self.server_args]
        if exit_at_end:
            args.append("--exit-on-script-end")
        self.server = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, bufsize=1)
        first = self.server.stdout.readline().strip()
        if not first.startswith("LISTENING"):
            print("velmora-server did not start: " + first, file=sys.stderr)
            return False
        self.listen_port = int(first.rsplit(":", 1)[1])
        print("# " + first.lower(), flush=True)
        return True

    def start_client(self, extra_env=None):
        # The demo's own settings directories: the machine's and the user's
        # settings (another host or port) must not lead it away from the
        # demo server, and a client the user runs is not this one.
        config = os.path.join(self.dir, "config")
        os.makedirs(config, exist_ok=True)
        env = dict(self.env, XDG_RUNTIME_DIR=self.dir, XDG_CONFIG_HOME=config, XDG_CONFIG_DIRS=config,
                   **(extra_env or {}))
        if not env.get("DISPLAY") and not env.get("WAYLAND_DISPLAY"):
            env["QT_QPA_PLATFORM"] = "offscreen"
            print("# no display: the client runs offscreen", flush=True)
        self.client = subprocess.Popen([self.client_binary], env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def follow_transcript(self, on_line=None):
        """Prints the server's transcript; acts on the simulated reader's cues."""
        for line in self.server.stdout:
            line = line.rstrip("\n")
            print(line, flush=True)
            if on_line:
                on_line(line)
            if self.simulated() and line == "# take the card out":
                self.pcscd.reader(0).command("REMOVE")
            if self.simulated() and line == "# put the card back":
                self.pcscd.reader(0).command("INSERT")
        return self.server.wait()

    def stop(self):
        for proc in (self.client, self.server):
            if proc is not None and proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    os.kill(proc.pid, signal.SIGKILL)
                    proc.wait()
        if self.pcscd is not None:
            self.pcscd.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def run():
    setup = Setup()
    try:
        if not setup.start_readers() or not setup.start_server(exit_at_end=True):
            return 1
        setup.start_client()
        code = setup.follow_transcript()
        display = os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")
        if code == 0 and display and not os.environ.get("CI"):
            print("# the client stays in the tray; end it with its menu's Exit", flush=True)
            setup.client.wait()
        return code
    finally:
        setup.stop()


def hook(path, line):
    import socket
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(20)
        s.connect(path)
        s.sendall(line.encode() + b"\n")
        return s.makefile().readline().strip()


def screenshot(target):
    """The connection dialog after the demo exchange, as a PNG."""
    setup = Setup(port=0)
    hook_path = os.path.join(setup.dir, "hook.sock")
    setup.client_binary = CLIENT_E2E
    try:
        if not setup.start_readers() or not setup.start_server(exit_at_end=False):
            return 1
        setup.start_client({"VELMORA_TEST_HOOK": hook_path, "VELMORA_TEST_PORT": str(setup.listen_port),
                            "QT_QPA_PLATFORM": os.environ.get("QT_QPA_PLATFORM", "offscreen")})

        def on_line(line):
            if " commands, " in line:  # the script's summary: the exchange is complete
                answer = hook(hook_path, "grab " + os.path.abspath(target))
                print("# screenshot %s: %s" % (target, answer), flush=True)
                setup.server.terminate()

        setup.follow_transcript(on_line)
        return 0 if os.path.exists(target) else 1
    finally:
        setup.stop()


def roundtrip(count):
    """Median and p99 of a TRANSMIT through server, client and pcscd, and of
    a direct SCardTransmit to the same simulated reader, in one run."""
    script = os.path.join(tempfile.mkdtemp(prefix="velmora-rt.", dir="/tmp"), "rt.txt")
    with open(script, "w") as f:
        f.write("TRANSMIT T1 0084000008\n" * count)
    setup = Setup(port=0, script=script, client=CLIENT_E2E)
    summary = []
    try:
        if not setup.start_readers() or not setup.start_server(exit_at_end=True):
            return 1
        setup.start_client({"VELMORA_TEST_PORT": str(setup.listen_port)})
        for line in setup.server.stdout:
            if " commands, " in line:
                summary.append(line.strip())
        setup.server.wait()
        direct = subprocess.run([os.path.join(BUILD, "bench", "bench_pcsc"), str(count), "0"],
                                env=setup.env, capture_output=True, text=True)
        print("client round trip (server -> client -> pcscd -> reader and back): " + " ".join(summary))
        print("direct SCardTransmit through pcscd:\n" + direct.stdout.strip())
        return 0
    finally:
        setup.stop()
        shutil.rmtree(os.path.dirname(script), ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "run":
        sys.exit(run())
    if len(sys.argv) == 3 and sys.argv[1] == "screenshot":
        sys.exit(screenshot(sys.argv[2]))
    if len(sys.argv) >= 2 and sys.argv[1] == "roundtrip":
        sys.exit(roundtrip(int(sys.argv[2]) if len(sys.argv) > 2 else 2000))
    print(__doc__, file=sys.stderr)
    sys.exit(2)
