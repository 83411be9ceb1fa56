"""velmora-reader end to end, where local programs, resets and the network
misbehave: hostile lengths from a server program, a reset that must reach the
card, a client stalled in its first second, and a path that dies silently.
Each group starts its own pcscd instances, clients and namespaces and ends
them by process id."""

import os
import random
import signal
import subprocess
import sys
import time
import unittest

from e2e_harness import Client, PrivatePcscd, free_port, wait_until
from driver_e2e_test import READER, SELECT, ChainTest, Probe, ScriptedClient, verify_structure

VERIFY_PIN = "002000010431323334"
PIN_STATUS = "00200001"  # VERIFY without data: 9000 while verified, 63Cx otherwise


def scripted_chain(test):
    """A server pcscd with the driver and a scripted client connected to it,
    both ended with the test."""
    port = free_port()
    server = PrivatePcscd((), remotes=("127.0.0.1:%d" % port,))
    test.assertTrue(server.start(), server.error)
    test.addCleanup(server.stop)
    client = ScriptedClient(port)
    test.addCleanup(client.close)
    return server, client


def long_structure(total):
    """A VERIFY template structure of `total` bytes whose ulDataLength matches."""
    data = total - 19
    return ("00" "00" "82" "08" "00" "0804" "02" "01" "0904" "00" "000000" +
            "".join("%02X" % ((data >> s) & 0xFF) for s in (0, 8, 16, 24)) +
            "0020000108" + "FF" * (data - 5))


class Hostile(unittest.TestCase):
    """Lengths any local program may hand pcscd: refused with an error and one
    log line, never cut, pcscd alive and serving."""

    def test_long_inputs_refused_and_pcscd_serves_on(self):
        server, client = scripted_chain(self)
        client.answer = lambda line: (b"500 SCardControl()=80100016: refused\n" if line.startswith("IOCTL")
                                      else b"200 TRANSMIT SUCCESS 9000\n")
        probe = Probe(server)
        self.addCleanup(probe.close)
        self.assertEqual(probe("wait present 10000"), "OK", server.log())
        self.assertEqual(probe("connect"), "OK T1")
        wire = {"verify": "IOCTL 313524 ", "control 42000DAC": "IOCTL 3136B0 ", "transmit": "TRANSMIT T1 "}
        cases = [  # (command, bytes, reaches the client)
            ("verify", 492, True), ("verify", 493, False), ("verify", 600, False), ("verify", 4000, False),
            ("verify", 20000, False), ("control 42000DAC", 492, True), ("control 42000DAC", 493, False),
            ("control 42000DAC", 20000, False), ("transmit", 493, True), ("transmit", 494, False),
            ("transmit", 4000, False),
        ]
        for command, size, reaches in cases:
            with self.subTest(command=command, size=size):
                payload = long_structure(size) if command == "verify" else "00" * size
                if command == "transmit":
                    payload = "00A40400" + "00" * (size - 4)
                sent = len(client.lines)
                answer = probe(command + " " + payload)
                self.assertEqual(server.process.poll(), None, "pcscd ended:\n" + server.log())
                self.assertEqual(answer.startswith("OK"), command == "transmit" and reaches, answer)
                got = [line for line in client.lines[sent:] if line.startswith(wire[command])]
                self.assertEqual(len(got), 1 if reaches else 0)
                for line in got:
                    self.assertEqual(len(line), len(wire[command]) + 2 * size)
                    self.assertLessEqual(len(line), 998)
        log = server.log()
        self.assertEqual(log.count("refused: a line holds at most 998"), 4, log)  # the four VERIFY structures
        self.assertEqual(log.count("control input of"), 2, log)
        self.assertEqual(log.count("does not fit a command line (at most 493)"), 2, log)
        self.assertEqual(probe("transmit " + SELECT), "OK 9000")
        self.assertEqual(probe("readers"), "OK " + READER)


class Reset(ChainTest):
    """A program that resets the card to log out leaves it unverified for the
    next one; the simulated card counts the PIN state."""

    def verified(self):
        return self.card().status().get("verified")

    def verify_then(self, *how):
        self.assertEqual(self.probe("connect"), "OK T1")
        self.assertEqual(self.probe("transmit " + VERIFY_PIN), "OK 9000")
        self.assertEqual(self.probe("transmit " + PIN_STATUS), "OK 9000")
        self.assertEqual(self.verified(), "1")
        self.assertEqual(self.probe(" ".join(how)), "OK", self.server.log())
        if how[0] == "disconnect":
            self.probe("connect")
        self.assertEqual(self.probe("transmit " + PIN_STATUS), "OK 63C3")
        self.assertEqual(self.verified(), "0")

    def test_disconnect_with_reset_or_unpower(self):
        self.verify_then("disconnect", "reset")
        self.verify_then("disconnect", "unpower")

    def test_reconnect_with_reset_keeps_the_card_usable(self):
        self.verify_then("reconnect", "reset")
        self.assertRegex(self.probe("transmit 0084000008"), r"^OK [0-9A-F]{16}9000$")
        self.assertEqual(self.probe("atr"), self.direct("connect", "atr")[1])

    def test_leaving_the_card_keeps_it_verified(self):
        self.probe("connect")
        self.assertEqual(self.probe("transmit " + VERIFY_PIN), "OK 9000")
        self.assertEqual(self.probe("disconnect"), "OK")
        self.probe("connect")
        self.assertEqual(self.probe("transmit " + PIN_STATUS), "OK 9000")


class ResetWithoutExtension(unittest.TestCase):
    """A client that answers RECONNECT as an invalid command: the reset fails
    where the program sees it, with one log line. pcscd then keeps the card
    unpowered, so no program gets it as it was, until it comes back."""

    def test_reset_fails_visibly(self):
        server, client = scripted_chain(self)
        client.answer = lambda line: ("500 invalid command '%.20s'\n" % line).encode() if line.startswith(
            "RECONNECT") else b"200 TRANSMIT SUCCESS 9000\n"
        probe = Probe(server)
        self.addCleanup(probe.close)
        self.assertEqual(probe("wait present 10000"), "OK", server.log())
        self.assertEqual(probe("connect"), "OK T1")
        self.assertTrue(probe("reconnect reset").startswith("ERR"))
        self.assertIn("RECONNECT RESET", client.lines)
        self.assertIn("cannot reset or power down its card", server.log())
        self.assertEqual(server.process.poll(), None)
        self.assertEqual(probe("connect"), "ERR 80100067")  # SCARD_W_UNPOWERED_CARD
        client.sock.sendall(b"EVENT CARD REMOVED\nEVENT CARD INSERTED\n")
        wait_until(lambda: probe("connect") == "OK T1", "the card back after a swap")
        self.assertEqual(probe("transmit " + SELECT), "OK 9000")


class Stall(ChainTest):
    """The client stopped for 0.1 to 1.5 s within its connection's first
    second, so that greeting and commands meet in one read: the reader always
    ends up showing the card that is there."""

    ROUNDS = 12

    @classmethod
    def setUpClass(cls):
        # The handshake's notes are info lines: pcscd shows them with --debug.
        real = PrivatePcscd.__init__

        def init(self, readers=("card=t1",), debug=False, remotes=()):
            real(self, readers, debug or bool(remotes), remotes)

        PrivatePcscd.__init__ = init
        try:
            super().setUpClass()
        finally:
            PrivatePcscd.__init__ = real

    def test_stalled_first_second(self):
        rng = random.Random(int(os.environ.get("VELMORA_STALL_SEED", "16")))
        pid = self.client.proc.pid
        for round_ in range(self.ROUNDS):
            with self.subTest(round=round_):
                self.assertEqual(self.client.hook("click 1004"), "ok")
                self.assertEqual(self.probe("wait absent 5000"), "OK")
                start, stall = rng.uniform(0, 0.6), rng.uniform(0.1, 1.5)
                self.client.hook("click 1003")
                time.sleep(start)
                os.kill(pid, signal.SIGSTOP)
                try:
                    time.sleep(stall)
                finally:
                    os.kill(pid, signal.SIGCONT)
                self.assertEqual(self.probe("wait present 8000"), "OK",
                                 "start %.2f s, stall %.2f s\n%s" % (start, stall, self.server.log()[-3000:]))
                self.assertEqual(self.probe("connect"), "OK T1")
                self.assertEqual(self.probe("transmit " + SELECT), "OK 9000")
        merged = self.server.log().count("client answered lines read together")
        again = self.server.log().count("read with the greeting): asked again")
        print("\n%d rounds: %d merged reads answered with a 500, %d CARDs lost with the greeting" %
              (self.ROUNDS, merged, again), file=sys.stderr)


def ip(*args, netns=None):
    prefix = ["ip", "netns", "exec", netns] if netns else []
    subprocess.run(prefix + ["ip", *args], check=True, capture_output=True)


class NamespacedPcscd(PrivatePcscd):
    """The server's pcscd in a network namespace of its own; its programs
    still reach it through its socket file."""

    def __init__(self, netns, **kwargs):
        super().__init__((), **kwargs)
        self.netns = netns

    def _launch(self):
        real = subprocess.Popen

        def popen(args, **kwargs):
            return real(["ip", "netns", "exec", self.netns, *args], **kwargs)

        subprocess.Popen = popen
        try:
            return super()._launch()
        finally:
            subprocess.Popen = real


@unittest.skipUnless(os.geteuid() == 0, "network namespaces need root")
class DeadPath(unittest.TestCase):
    """Two paths (veth pairs) from the workstation into the server's network
    namespace. Setting a path's link down freezes it silently: no FIN, no
    RST. The client comes back over the other path."""

    DROP_LIMIT = 32  # keepalive: 10 s idle, 3 probes 5 s apart

    @classmethod
    def setUpClass(cls):
        tag = os.getpid() % 100000
        cls.netns = "v16srv%d" % tag
        net = 100 + tag % 100
        cls.links = []
        ip("netns", "add", cls.netns)
        try:
            ip("link", "set", "lo", "up", netns=cls.netns)
            for path in (1, 2):
                near, far = "vw%d_%d" % (path, tag), "vs%d_%d" % (path, tag)
                ip("link", "add", near, "type", "veth", "peer", "name", far)
                cls.links.append(near)
                ip("link", "set", far, "netns", cls.netns)
                ip("addr", "add", "10.%d.%d.1/24" % (net, path), "dev", near)
                ip("link", "set", near, "up")
                ip("addr", "add", "10.%d.%d.2/24" % (net, path), "dev", far, netns=cls.netns)
                ip("link", "set", far, "up", netns=cls.netns)
        except (subprocess.CalledProcessError, OSError) as error:
            cls.tearDownClass()
            raise unittest.SkipTest("no veth pairs here: %s" % error)
        cls.addresses = {path: "10.%d.%d.2" % (net, path) for path in (1, 2)}
        cls.port = free_port()
        cls.workstation = PrivatePcscd(("card=t1",))
        assert cls.workstation.start(), cls.workstation.error
        cls.server = NamespacedPcscd(cls.netns, remotes=("0.0.0.0:%d" % cls.port,))
        assert cls.server.start(), cls.server.error
        cls.client = Client(cls.port, cls.workstation, args=("--host", cls.addresses[1]))
        cls.probe = Probe(cls.server)

    @classmethod
    def tearDownClass(cls):
        for name in ("probe", "client", "server", "workstation"):
            part = getattr(cls, name, None)
            if part is not None:
                part.close() if name in ("probe", "client") else part.stop()
        for link in cls.links:
            subprocess.run(["ip", "link", "del", link], capture_output=True)
        subprocess.run(["ip", "netns", "del", cls.netns], capture_output=True)

    def set_path(self, path, up):
        ip("link", "set", self.links[path - 1], "up" if up else "down")

    def come_back_over(self, path):
        """The client leaves the frozen path (its FIN is lost) and connects over another."""
        self.assertEqual(self.client.hook("click 1004"), "ok")
        self.assertEqual(self.client.hook("set 1001 " + self.addresses[path]), "ok")
        self.assertEqual(self.client.hook("click 1003"), "ok")
        return time.monotonic()

    def uses_card(self):
        self.assertEqual(self.probe("wait present 10000"), "OK", self.server.log()[-2000:])
        self.assertEqual(self.probe("connect"), "OK T1")
        self.assertEqual(self.probe("transmit " + SELECT), "OK 9000")

    def uses_card_again(self, since):
        """A server program trying the card as a user would, until it works;
        the seconds from `since` until it did."""
        def works():
            return (self.probe("wait present 1000") == "OK" and self.probe("connect") == "OK T1" and
                    self.probe("transmit " + SELECT) == "OK 9000")
        wait_until(works, "the card through the new connection", limit=30)
        return time.monotonic() - since

    def test_1_idle_path_dies_silently(self):
        self.uses_card()
        self.set_path(1, False)
        frozen = time.monotonic()
        self.assertEqual(self.probe("wait absent 40000"), "OK")
        dropped = time.monotonic() - frozen
        print("\nidle dead path dropped by the driver after %.1f s" % dropped, file=sys.stderr)
        self.assertLess(dropped, self.DROP_LIMIT)
        self.set_path(1, True)
        self.uses_card_again(self.come_back_over(2))

    def test_2_client_back_over_a_second_path_idle_or_not(self):
        # Idle: the client, on path 2, finds it dead and comes back over path 1.
        self.uses_card()
        self.set_path(2, False)
        idle = self.uses_card_again(self.come_back_over(1))
        self.set_path(2, True)
        # Not idle: a program's command is at the card (held there 1.5 s)
        # when path 1 dies, so its answer is lost on the way.
        self.workstation.reader(0).command("DELAY 1500")
        self.probe.send("transmit " + SELECT)
        time.sleep(0.3)
        self.set_path(1, False)
        back = self.come_back_over(2)
        self.assertTrue(self.probe.answer().startswith("ERR"))
        self.workstation.reader(0).command("DELAY 0")
        busy = self.uses_card_again(back)
        self.set_path(1, True)
        print("\ncard used again %.1f s (idle) and %.1f s (command in flight) after the new connection" %
              (idle, busy), file=sys.stderr)
        self.assertLess(idle, 10)
        self.assertLess(busy, 10)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
