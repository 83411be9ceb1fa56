#!/usr/bin/env python3
"""The server-side demo (scripts/run-server-demo.sh): server programs on a
"server" pcscd use the card the client lends from a "workstation" pcscd.
Prints each step as the server programs see it."""

import os
import signal
import socket
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from e2e_harness import Client, PrivatePcscd, free_port  # noqa: E402
from driver_e2e_test import Probe  # noqa: E402

BUILD = os.path.join(ROOT, "build", "linux")
os.environ.setdefault("VELMORA_READER_DRIVER", os.path.join(BUILD, "driver", "libifdvelmora.so"))


def port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


class RealClient:
    """velmora-client as a user runs it: it connects to localhost:9688 by itself."""

    def __init__(self, workstation):
        env = dict(os.environ, **workstation.env())
        if not env.get("DISPLAY"):
            env["QT_QPA_PLATFORM"] = "offscreen"
        self.proc = subprocess.Popen([os.path.join(BUILD, "src", "qt", "velmora-client")], env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def show(title, args, env):
    print("\n$ " + " ".join(args) + "    # " + title)
    result = subprocess.run(args, env=env, capture_output=True, text=True, timeout=30)
    print((result.stdout + result.stderr).rstrip())


def main():
    # The client's default server; the test build with its port setting
    # where something else holds 9688.
    port = 9688 if port_free(9688) else free_port()
    workstation = PrivatePcscd(("card=t1,pin=1234,vendor=Workstation",))
    server = PrivatePcscd((), remotes=("127.0.0.1:%d" % port,))
    for pcscd in (workstation, server):
        if not pcscd.start():
            sys.exit(pcscd.error)
    client = probe = None
    try:
        print("workstation pcscd: %s (simulated reader, T=1 card)" % workstation.env()["PCSCLITE_CSOCK_NAME"])
        print("server pcscd:      %s (velmora-reader on 127.0.0.1:%d)" % (server.env()["PCSCLITE_CSOCK_NAME"], port))
        client = RealClient(workstation) if port == 9688 else Client(port, workstation)
        probe = Probe(server)
        print("client connected; card at the server:", probe("wait present 10000"))
        env = dict(os.environ, **server.env())
        show("the server's readers", ["pcsc_scan", "-r"], env)
        show("the card's ATR, read at the server", ["opensc-tool", "--atr"], env)
        show("GET CHALLENGE sent from the server", ["opensc-tool", "-s", "00:84:00:00:08"], env)
        probe("connect")
        print("\nfeature request at the server (tag:code):", probe("features")[3:])
        probe("disconnect")
        workstation.reader(0).command("REMOVE")
        print("card pulled at the workstation; at the server:", probe("wait absent 5000"), "(absent)")
        workstation.reader(0).command("INSERT")
        print("card back at the workstation; at the server:", probe("wait present 5000"), "(present)")
        driver = [line for line in server.log().splitlines() if "velmora-reader" in line]
        if driver:
            print("\nvelmora-reader in the server pcscd's log (errors):\n" + "\n".join(driver))
    finally:
        if probe is not None:
            probe.close()
        if client is not None:
            client.close()
        server.stop()
        workstation.stop()


if __name__ == "__main__":
    main()
