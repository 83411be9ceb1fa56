"""Faults against the real client: a server that misbehaves, a reader that
goes away, a card pulled mid-command, a restarted pcscd, a connect that is
never answered. After each the client is alive, answers the next command,
and its controls match the state."""

import socket
import threading
import time
import unittest

from client_e2e_test import ClientTest
from e2e_harness import GUARD, Client, PrivatePcscd, idle_controls, wait_until


class RawServer:
    """A server that sends whatever the test says, byte for byte."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.conn = None
        self.buffer = b""

    def accept(self):
        self.listener.settimeout(GUARD)
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(GUARD)
        self.conn.sendall(b"HELLO raw\n")
        time.sleep(0.2)  # keep the greeting a read of its own

    def send(self, data):
        self.conn.sendall(data)

    def line(self):
        while b"\n" not in self.buffer:
            chunk = self.conn.recv(65536)
            if not chunk:
                raise AssertionError("client closed; pending %r" % self.buffer)
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode("latin-1")

    def command(self, text):
        self.send(text.encode("latin-1") + b"\n")
        return self.line()

    def until(self, wanted):
        """Reads lines up to the first equal to wanted; returns those before it."""
        before = []
        while (line := self.line()) != wanted:
            before.append(line)
        return before

    def close(self):
        for s in (self.conn, self.listener):
            if s is not None:
                s.close()


class RawClientTest(unittest.TestCase):
    readers = ("card=t1",)

    def setUp(self):
        self.pcscd = PrivatePcscd(self.readers)
        self.assertTrue(self.pcscd.start(), self.pcscd.error)
        self.addCleanup(self.pcscd.stop)
        self.server = RawServer()
        self.addCleanup(self.server.close)
        self.client = Client(self.server.port, self.pcscd)
        self.addCleanup(self.client.close)
        self.server.accept()
        self.client.wait_state(lambda s: s["link"] >= 4, "the greeting to arrive")

    def alive_and_answering(self):
        self.assertEqual(self.server.command("CARD"), "200 CARD PRESENT")


class ServerMisbehaves(RawClientTest):
    def test_ten_thousand_lines_without_a_pause(self):
        self.server.send(b"STATE\n" * 10000)
        self.server.send(b"\n")  # the flood may end mid-line: this ends it
        time.sleep(0.5)
        marker = "GET_ATTRIBUTE NO_SUCH_ATTRIBUTE_MARKER"
        self.server.send(marker.encode() + b"\n")
        flood = self.server.until("500 invalid attribute in '%s'" % marker[:50])
        self.assertGreaterEqual(len(flood), 10000 * 6 // 999)
        for reply in flood:
            self.assertRegex(reply, r"^(200|500) ")
        self.alive_and_answering()
        self.assertTrue(self.client.state()["1004"]["enabled"])

    def test_long_lines_nul_and_8bit_bytes(self):
        self.assertEqual(self.server.command("STA\x00TE"), "500 invalid command 'STA'")
        self.assertEqual(self.server.command("CARD\xe4"), "500 command has invalid character 0xE4 at position 4")
        self.server.send(b"A" * 2500 + b"\n")
        replies = [self.server.line() for _ in range(3)]  # 999 + 999 + 502 bytes
        self.assertEqual(replies, ["500 invalid command 'AAAAAAAAAAAAAAAAAAAA'"] * 3)
        self.alive_and_answering()

    def test_server_closes_mid_exchange(self):
        self.server.send(b"TRANSMIT T1 0084000008\n")
        self.server.conn.close()
        self.server.conn = None
        state = self.client.wait_state(idle_controls, "idle controls")
        self.assertIn(state["status"], ("Verbindung wurde durch Gegenseite geschlossen.",
                                        "An existing connection was forcibly closed by the remote host."))
        self.assertEqual(self.client.hook("click 1003"), "ok")
        self.server.accept()
        self.alive_and_answering()


class ReaderFaults(RawClientTest):
    def test_reader_unplugged_and_plugged_in_again(self):
        self.assertRegex(self.server.command("TRANSMIT T1 0084000008"), "^200 TRANSMIT SUCCESS")
        self.assertEqual(self.pcscd.reader(0).command("UNPLUG"), "OK")
        wait_until(lambda: self.server.command("CARD") == "200 CARD ABSENT", "the reader to be gone")
        self.assertRegex(self.server.command("TRANSMIT T1 0084000008"), "^500 SCardTransmit")
        self.assertEqual(self.pcscd.reader(0).command("PLUG"), "OK")
        self.assertEqual(self.server.line(), "EVENT CARD INSERTED")
        self.assertRegex(self.server.command("TRANSMIT T1 0084000008"), "^200 TRANSMIT SUCCESS")
        state = self.client.state()
        self.assertTrue(state["1006"]["checked"])
        self.assertEqual(state["1007"]["text"], "T1")

    def test_card_removed_during_a_transmit(self):
        self.assertEqual(self.pcscd.reader(0).command("DELAY 400"), "OK")
        self.server.send(b"TRANSMIT T1 0084000008\n")
        time.sleep(0.1)
        self.pcscd.reader(0).command("REMOVE")
        lines = {self.server.line(), self.server.line()}  # reply and event, either order
        self.assertIn("EVENT CARD REMOVED", lines)
        reply = (lines - {"EVENT CARD REMOVED"}).pop()
        self.assertRegex(reply, "^500 SCardTransmit")
        self.pcscd.reader(0).command("DELAY 0")
        # The handle of the card that left fails once with the removal (unless
        # the reply above was that failure) and is dropped: no media after.
        reply = self.server.command("TRANSMIT T1 0084000008")
        if reply.startswith("500 "):
            self.assertEqual(reply, "500 SCardTransmit()=80100069: The smart card has been removed, "
                                    "so further communication is not possible.")
            reply = self.server.command("TRANSMIT T1 0084000008")
        self.assertEqual(reply, "200 TRANSMIT NO_MEDIA")
        self.pcscd.reader(0).command("INSERT")
        self.assertEqual(self.server.line(), "EVENT CARD INSERTED")
        self.assertRegex(self.server.command("TRANSMIT T1 0084000008"), "^200 TRANSMIT SUCCESS")

    def test_pcscd_restarted_while_a_reader_is_open(self):
        self.assertRegex(self.server.command("TRANSMIT T1 0084000008"), "^200 TRANSMIT SUCCESS")
        self.assertTrue(self.pcscd.restart(), self.pcscd.error)
        state = self.client.wait_state(lambda s: s["status"].startswith("SCardGetStatusChange()="),
                                       "the client to notice")
        self.assertTrue(state["1009"]["enabled"])
        self.assertEqual(self.client.hook("click 1009"), "ok")
        self.assertEqual(self.server.line(), "EVENT CARD REMOVED")
        self.assertEqual(self.client.hook("click 1008"), "ok")
        self.assertEqual(self.server.line(), "EVENT CARD INSERTED")
        self.assertRegex(self.server.command("TRANSMIT T1 0084000008"), "^200 TRANSMIT SUCCESS")
        self.pcscd.reader(0).command("REMOVE")
        self.assertEqual(self.server.line(), "EVENT CARD REMOVED")


class UnansweredConnect(unittest.TestCase):
    def test_exit_while_a_connect_hangs(self):
        # A listener whose queue is full drops further connection requests,
        # so the client's connect stays pending.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        self.addCleanup(listener.close)
        port = listener.getsockname()[1]
        fillers = []
        for _ in range(2):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            fillers.append(s)
        self.addCleanup(lambda: [s.close() for s in fillers])
        time.sleep(0.2)
        pcscd = PrivatePcscd(("card=t1",))
        self.assertTrue(pcscd.start(), pcscd.error)
        self.addCleanup(pcscd.stop)
        client = Client(port, pcscd)
        self.addCleanup(client.close)
        state = client.wait_state(lambda s: s["link"] == 2, "the connect to be under way")
        self.assertFalse(state["1003"]["enabled"])
        time.sleep(0.5)
        self.assertEqual(client.state()["link"], 2)  # still not answered
        self.assertEqual(client.hook("tray-exit"), "ok")
        self.assertEqual(client.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
