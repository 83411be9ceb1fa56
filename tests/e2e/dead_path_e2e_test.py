"""A path to the server that dies silently (no FIN, no reset), as after a
Wi-Fi change or a sleep: the real client finds it by its keepalive, idle or
with a line unacknowledged, ends the connection as a failed read and, with
Reconnect on, comes back through a new connection.

The client and a small server live in two network namespaces of this test,
joined by a veth pair; taking the server's end down drops every packet
without a word to either side. The client's timers are shortened through
the test build's VELMORA_TEST_KEEPALIVE_MS. Linux only: the Wine client's
control channel is a loopback port, which a namespace of its own cuts off."""

import os
import subprocess
import sys
import threading
import time
import unittest

from e2e_harness import WINDOWS, Client, PrivatePcscd, wait_until

SERVER_ADDRESS = "10.77.0.1"
CLIENT_ADDRESS = "10.77.0.2"
PORT = 9688  # the namespace is the test's own
KEEPALIVE_MS = 3000

# Greets every connection, asks CARD once and prints "N REPLY"; keeps the
# connection open afterwards, as a server that does not notice a dead path.
SERVER = r"""
import socket, sys, threading, time
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind((sys.argv[1], int(sys.argv[2])))
listener.listen()
print("listening", flush=True)
def serve(conn, n):
    conn.sendall(b"HELLO dead-path\n")
    time.sleep(0.3)
    conn.sendall(b"CARD\n")
    try:
        for line in conn.makefile("rb"):
            print(n, line.decode("latin-1").rstrip("\n"), flush=True)
    except OSError:
        pass  # the client's reset once the path is back
n = 0
while True:
    conn, _ = listener.accept()
    n += 1
    threading.Thread(target=serve, args=(conn, n), daemon=True).start()
"""


class Namespace:
    """A network namespace held by a sleeping process, ended by its id."""

    def __init__(self):
        self.proc = subprocess.Popen(["unshare", "--net", "--", "sleep", "infinity"])
        wait_until(lambda: os.readlink("/proc/%d/ns/net" % self.proc.pid) != os.readlink("/proc/self/ns/net"),
                   "the namespace")
        self.enter = ("nsenter", "--net=/proc/%d/ns/net" % self.proc.pid, "--")

    def run(self, *args):
        subprocess.run([*self.enter, *args], check=True)

    def close(self):
        self.proc.kill()
        self.proc.wait()


class DeadPath(unittest.TestCase):
    def setUp(self):
        if WINDOWS:
            self.skipTest("the Wine client's control channel is a loopback port, cut off in a namespace")
        self.workstation, self.server = Namespace(), Namespace()
        self.addCleanup(self.workstation.close)
        self.addCleanup(self.server.close)
        self.workstation.run("ip", "link", "add", "vc", "type", "veth", "peer", "name", "vs", "netns",
                             str(self.server.proc.pid))
        for ns, dev, address in ((self.workstation, "vc", CLIENT_ADDRESS), (self.server, "vs", SERVER_ADDRESS)):
            ns.run("ip", "link", "set", "lo", "up")
            ns.run("ip", "addr", "add", address + "/24", "dev", dev)
            ns.run("ip", "link", "set", dev, "up")
        self.lines = []
        self.peer = subprocess.Popen([*self.server.enter, sys.executable, "-u", "-c", SERVER, SERVER_ADDRESS,
                                      str(PORT)], stdout=subprocess.PIPE, text=True)
        self.addCleanup(self._stop_peer)
        threading.Thread(target=self._collect, daemon=True).start()
        wait_until(lambda: "listening" in self.lines, "the server")
        self.pcscd = PrivatePcscd(("card=t1",))
        self.assertTrue(self.pcscd.start(), self.pcscd.error)
        self.addCleanup(self.pcscd.stop)
        os.environ["VELMORA_TEST_KEEPALIVE_MS"] = str(KEEPALIVE_MS)
        self.addCleanup(os.environ.pop, "VELMORA_TEST_KEEPALIVE_MS")
        self.client = Client(PORT, self.pcscd, wrapper=self.workstation.enter,
                             args=("--host", SERVER_ADDRESS, "--reconnect", "1"))
        self.addCleanup(self.client.close)

    def _collect(self):
        for line in self.peer.stdout:
            self.lines.append(line.rstrip("\n"))

    def _stop_peer(self):
        self.peer.kill()
        self.peer.wait()
        self.peer.stdout.close()

    def answered(self, n):
        return wait_until(lambda: [l for l in self.lines if l.startswith("%d 200 CARD" % n)],
                          "connection %d to answer CARD" % n)

    def path(self, state):
        self.server.run("ip", "link", "set", "vs", state)

    def test_frozen_path_is_dropped_and_replaced(self):
        # idle: nothing in flight, keepalive finds it; sending: a card event
        # waits unacknowledged, the user time-out finds it.
        cases = [("idle", None, None), ("sending", "REMOVE", "INSERT")]
        self.answered(1)
        for n, (what, before, after) in enumerate(cases, start=2):
            self.path("down")
            started = time.monotonic()
            if before:
                self.assertEqual(self.pcscd.reader(0).command(before), "OK")
            state = self.client.wait_state(lambda s: s["link"] == 0, "the client to drop the dead path, " + what)
            sys.stderr.write("%s: dropped after %.1f s\n" % (what, time.monotonic() - started))
            self.assertNotIn("Gegenseite", state["status"], what)  # a failed read, not a close
            self.path("up")
            if after:
                self.pcscd.reader(0).command(after)
            self.answered(n)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
