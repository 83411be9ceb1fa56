"""velmora-reader end to end: a "workstation" pcscd with the simulated reader
and the real client (offscreen), a "server" pcscd with velmora-reader, and
server programs on the real libpcsclite (reader-probe, pcsc_scan,
opensc-tool). Faults use a scripted client on a socket instead of the real
one. Each group starts its own processes on private sockets and ports."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

from e2e_harness import BUILD, Client, PrivatePcscd, free_port, wait_until
# The server side is a Linux pcscd with the driver, whichever client runs.
from pcscd_private import PrivatePcscd as ServerPcscd

PROBE = os.environ.get("VELMORA_READER_PROBE", os.path.join(BUILD, "tests", "driver", "reader-probe"))
READER = "Velmora Remote Reader 00 00"
CHALLENGE = "0084000008"
SELECT = "00A4040007A0000000041010"
TOOL_LIMIT = 30


def verify_structure(timeout=0, layout="820800", lengths="0804", template="0020000108" + "FF" * 8):
    """PIN_VERIFY_STRUCTURE for VERIFY; by default ASCII digits in an 8-byte
    block. layout: bmFormatString, bmPINBlockString, bmPINLengthFormat;
    lengths: the maximum and minimum PIN length."""
    return ("%02X" % timeout + "00" + layout + lengths + "02" "01" "0904" "00" "000000" +
            "%02X000000" % (len(template) // 2) + template)


# OpenSC's for a card that needs an FF-padded 8-byte ASCII block.
ASCII_BLOCK = dict(layout="820800")
# ISO 9564 format 2: 2N, BCD digits, F padding, the length nibble in the block.
ISO2_BLOCK = dict(layout="894804", lengths="0C04", template="0020000108" + "20" + "FF" * 7)
# No block asked for: the digits as typed, Lc = their number.
NO_BLOCK = dict(layout="820000")


class Probe:
    """reader-probe on one pcscd: one command in, one answer line out."""

    def __init__(self, pcscd):
        self.proc = subprocess.Popen([PROBE], env=dict(os.environ, **pcscd.env()), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)

    def send(self, line):
        self.proc.stdin.write(line + "\n")

    def answer(self):
        return self.proc.stdout.readline().rstrip("\n")

    def __call__(self, line):
        self.send(line)
        return self.answer()

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(TOOL_LIMIT)


class ChainTest(unittest.TestCase):
    """The whole chain with the real client; one set of processes per group."""

    readers = ("card=t1,pin=1234",)
    options = ""  # the driver's options after its address

    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.workstation = PrivatePcscd(cls.readers)
        assert cls.workstation.start(), cls.workstation.error
        cls.server = ServerPcscd((), remotes=("127.0.0.1:%d%s" % (cls.port, cls.options),))
        if not cls.server.start():
            cls.workstation.stop()
            raise AssertionError(cls.server.error)
        cls.client = Client(cls.port, cls.workstation)
        cls.probe = Probe(cls.server)

    @classmethod
    def tearDownClass(cls):
        cls.probe.close()
        cls.client.close()
        cls.server.stop()
        cls.workstation.stop()

    def setUp(self):
        self.assertEqual(self.probe("wait present 10000"), "OK", self.server.log())

    def card(self):
        return self.workstation.reader(0)

    def direct(self, *commands):
        """The same commands on the workstation's pcscd, as a program there would see them."""
        probe = Probe(self.workstation)
        try:
            return [probe(c) for c in commands]
        finally:
            probe.close()
            probe.proc.stdout.close()


class Chain(ChainTest):
    def test_listed_and_apdus_reach_the_card_at_the_workstation(self):
        self.assertEqual(self.probe("readers"), "OK " + READER)
        self.assertEqual(self.probe("connect"), "OK T1")
        self.assertEqual(self.probe("transmit " + SELECT), "OK 9000")
        self.assertEqual(self.card().command("LASTAPDU"), "OK " + SELECT)
        self.assertRegex(self.probe("transmit " + CHALLENGE), r"^OK [0-9A-F]{16}9000$")

    def test_atr_and_attributes_as_at_the_workstation(self):
        self.probe("connect")
        direct = self.direct("connect", "atr", "attr 10100")
        self.assertEqual(self.probe("atr"), direct[1])
        self.assertEqual(self.probe("attr 10100"), direct[2])
        self.assertTrue(self.probe("attr 7A00F").startswith("ERR"))  # no name on the wire: not supported

    def test_removal_insertion_and_another_card_seen_by_server_programs(self):
        self.assertEqual(self.card().command("REMOVE"), "OK")
        self.assertEqual(self.probe("wait absent 5000"), "OK")
        self.assertEqual(self.card().command("INSERT"), "OK")
        self.assertEqual(self.probe("wait present 5000"), "OK")
        self.probe("connect")
        self.assertRegex(self.probe("transmit " + CHALLENGE), r"9000$")
        # Another card: the server program's next connection powers it up anew.
        self.card().command("REMOVE")
        self.assertEqual(self.probe("wait absent 5000"), "OK")
        self.card().command("INSERT 3B02AABB")
        self.assertEqual(self.probe("wait present 5000"), "OK")
        self.assertEqual(self.probe("connect"), "OK T0")  # what this ATR offers
        self.assertEqual(self.probe("atr"), "OK 3B02AABB")
        self.card().command("RESET")

    def test_feature_request_offers_verify_pin_direct(self):
        self.probe("connect")
        features = self.probe("features").split()
        self.assertEqual(features[0], "OK")
        self.assertIn("06:42000E10", features)
        self.assertEqual(len([f for f in features if f.startswith("06:")]), 1)

    def test_client_disconnecting_and_reconnecting(self):
        self.probe("connect")
        self.assertEqual(self.client.hook("click 1004"), "ok")
        self.assertEqual(self.probe("wait absent 5000"), "OK")
        self.assertTrue(self.probe("transmit " + CHALLENGE).startswith("ERR"))
        self.assertEqual(self.client.hook("click 1003"), "ok")
        self.assertEqual(self.probe("wait present 5000"), "OK")
        self.assertEqual(self.probe("connect"), "OK T1")
        self.assertRegex(self.probe("transmit " + CHALLENGE), r"9000$")


class StoppedClient(ChainTest):
    """The workstation sleeps (SIGSTOP) while a server program transmits: the
    driver's reply time-out fails the call and ends the connection. The
    command then waits in the stopped client's socket with the close behind
    it, and must never reach the card once the client runs again."""

    options = " timeout=1500"
    SIGN = "002A9E9A0401020304"  # a signature the program was told failed

    def test_command_failed_by_the_time_out_never_reaches_the_card(self):
        self.assertEqual(self.probe("connect"), "OK T1")
        self.assertEqual(self.probe("transmit " + SELECT), "OK 9000")
        os.kill(self.client.proc.pid, signal.SIGSTOP)
        try:
            self.assertTrue(self.probe("transmit " + self.SIGN).startswith("ERR"))
            self.assertEqual(self.probe("wait absent 5000"), "OK", self.server.log())
        finally:
            os.kill(self.client.proc.pid, signal.SIGCONT)
        state = self.client.wait_state(lambda s: s["link"] == 0, "the client to see the close")
        self.assertEqual(self.card().command("LASTAPDU"), "OK " + SELECT)
        self.assertIn("TRANSMIT T1 " + self.SIGN + " => nicht ausgef\u00fchrt", state["log"])
        # A new connection serves the next program as usual.
        self.assertEqual(self.client.hook("click 1003"), "ok")
        self.assertEqual(self.probe("wait present 5000"), "OK")
        self.assertEqual(self.probe("connect"), "OK T1")
        self.assertRegex(self.probe("transmit " + CHALLENGE), r"9000$")
        self.assertEqual(self.card().command("LASTAPDU"), "OK " + CHALLENGE)


class PinEntry(ChainTest):
    """VERIFY_PIN_DIRECT with the PIN typed into the client's real PIN dialog."""

    def pin(self):
        return json.loads(self.client.hook("pin-state"))

    def start_verify(self, timeout=0):
        self.probe("connect")
        self.probe.send("verify " + verify_structure(timeout))
        wait_until(lambda: self.pin()["open"], "the PIN dialog")

    def test_typed_pin_wrong_pin_and_closed_dialog(self):
        self.card().command("PIN 1234 3")
        self.start_verify()
        self.client.hook("pin-type 1234")
        self.assertEqual(self.client.hook("pin-ok"), "ok")
        self.assertEqual(self.probe.answer(), "OK 9000")
        self.start_verify()
        self.client.hook("pin-type 9999")
        self.client.hook("pin-ok")
        self.assertRegex(self.probe.answer(), r"^OK 63C[0-9A-F]$")
        self.start_verify()
        self.client.hook("pin-type 12")
        self.client.hook("pin-close")
        self.assertEqual(self.probe.answer(), "OK 6401")
        self.assertNotIn("1234", self.server.log())

    def test_entry_nobody_finishes_is_aborted(self):
        self.start_verify(timeout=1)
        self.assertEqual(self.probe.answer(), "OK 6400")
        self.assertFalse(self.pin()["open"])


class FormattedAscii(ChainTest):
    """A card that takes only a formatted PIN block, the PIN typed into the
    client's dialog: the exact VERIFY reaches the card, a wrong PIN costs one
    try, a cancel none, and an unformatted VERIFY is refused by the card."""

    readers = ("card=t1,pin=1234,pinblock=ascii8",)
    layout = ASCII_BLOCK
    right = "002000010831323334FFFFFFFF"
    wrong = "002000010831323339FFFFFFFF"

    def pin(self):
        return json.loads(self.client.hook("pin-state"))

    def tries(self):
        return re.search(r"tries=(\d+)", self.card().command("STATUS")).group(1)

    def entry(self, layout, typed=None):
        """One VERIFY_PIN_DIRECT; typed None closes the dialog instead of OK."""
        self.probe("connect")
        self.probe.send("verify " + verify_structure(**layout))
        wait_until(lambda: self.pin()["open"], "the PIN dialog")
        if typed is None:
            self.client.hook("pin-close")
        else:
            self.client.hook("pin-type " + typed)
            self.assertEqual(self.client.hook("pin-ok"), "ok")
        return self.probe.answer()

    def test_exact_block_wrong_pin_and_cancel(self):
        self.card().command("PIN 1234 3")
        self.assertEqual(self.entry(self.layout, "1234"), "OK 9000")
        self.assertEqual(self.card().command("LASTAPDU"), "OK " + self.right)
        self.assertEqual(self.entry(self.layout, "1239"), "OK 63C2")
        self.assertEqual(self.card().command("LASTAPDU"), "OK " + self.wrong)
        self.assertEqual(self.entry(self.layout), "OK 6401")
        self.assertEqual(self.tries(), "2")
        # Without the block the card asks for, it refuses without a try lost.
        self.assertEqual(self.entry(NO_BLOCK, "1234"), "OK 6A80")
        self.assertEqual(self.tries(), "2")
        self.assertEqual(self.entry(self.layout, "1234"), "OK 9000")
        self.assertEqual(self.tries(), "3")
        self.assertNotIn("1234", self.server.log())


class FormattedIso2(FormattedAscii):
    readers = ("card=t1,pin=1234,pinblock=iso2",)
    layout = ISO2_BLOCK
    right = "0020000108241234FFFFFFFFFF"
    wrong = "0020000108241239FFFFFFFFFF"


class NoAtrAttribute(ChainTest):
    """A workstation reader whose driver offers no SCARD_ATTR_ATR_STRING."""

    readers = ("card=t1,atrattr=off",)

    def test_card_reaches_server_programs(self):
        direct = self.direct("connect", "atr")
        self.assertTrue(direct[1].startswith("ERR"), direct)  # the reader has no such attribute
        atr = re.search(r"atr=([0-9A-F]+)", self.card().command("STATUS")).group(1)
        self.assertEqual(self.probe("connect"), "OK T1")
        self.assertEqual(self.probe("atr"), "OK " + atr)
        self.assertRegex(self.probe("transmit " + CHALLENGE), r"9000$")


class PinPad(ChainTest):
    """The workstation reader's own PIN pad behind the same VERIFY_PIN_DIRECT."""

    readers = ("card=t1,pinpad=on,pin=1234",)

    def test_keys_on_the_workstation_pin_pad(self):
        self.probe("connect")
        self.probe.send("verify " + verify_structure())
        time.sleep(0.3)
        self.assertEqual(self.card().command("KEYS 1234 OK").split()[0], "OK")
        self.assertEqual(self.probe.answer(), "OK 9000")
        self.probe.send("verify " + verify_structure())
        time.sleep(0.3)
        self.card().command("KEYS 12 CANCEL")
        self.assertEqual(self.probe.answer(), "OK 6401")


class Tools(ChainTest):
    """Ordinary PC/SC programs on the server see the remote card."""

    def tool(self, *args):
        result = subprocess.run(args, env=dict(os.environ, **self.server.env()), capture_output=True, text=True,
                                timeout=TOOL_LIMIT)
        return result.returncode, result.stdout + result.stderr

    def test_pcsc_scan_and_opensc_tool(self):
        atr = self.direct("connect", "atr")[1].split()[1]
        spaced = " ".join(atr[i:i + 2] for i in range(0, len(atr), 2))
        code, out = self.tool("pcsc_scan", "-n", "-t", "1")
        self.assertIn(READER, out)
        self.assertIn("Card inserted", out)
        self.assertIn(spaced, out)
        code, out = self.tool("opensc-tool", "--atr")
        self.assertEqual(code, 0, out)
        self.assertIn(":".join(atr[i:i + 2] for i in range(0, len(atr), 2)).lower(), out.lower())
        code, out = self.tool("opensc-tool", "-s", "00:84:00:00:08")
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"SW1=0x90, SW2=0x00")


class ScriptedClient:
    """A client on a socket that answers with scripted lines: CARD, STATE and
    the ATR as a healthy client would, anything else by `answer(line)`."""

    ATR = "3B8001800101"

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.file = self.sock.makefile("rb")
        self.answer = lambda line: None
        self.lines = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for raw in self.file:
                line = raw.decode("latin-1").rstrip("\n")
                self.lines.append(line)
                if line.startswith("HELLO"):
                    continue
                if line == "CARD":
                    reply = b"200 CARD PRESENT\n"
                elif line == "STATE":  # asked when another client knocks
                    reply = b"200 STATE SUCCESS SPECIFIC\n"
                elif line == "GET_ATTRIBUTE ATR_STRING":
                    reply = ("200 GET_ATTRIBUTE SUCCESS %s\n" % self.ATR).encode()
                else:
                    reply = self.answer(line)
                if reply == "close":
                    self.sock.shutdown(socket.SHUT_RDWR)
                    return
                if reply:
                    self.sock.sendall(reply)
        except (OSError, ValueError):
            pass

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(5)


class Faults(unittest.TestCase):
    """A misbehaving client: the waiting program gets an error, the driver
    logs one line and keeps listening, pcscd keeps serving."""

    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.server = ServerPcscd((), remotes=("127.0.0.1:%d timeout=700" % cls.port,))
        assert cls.server.start(), cls.server.error
        cls.probe = Probe(cls.server)

    @classmethod
    def tearDownClass(cls):
        cls.probe.close()
        cls.server.stop()

    def attach(self):
        client = ScriptedClient(self.port)
        self.addCleanup(self.detach, client)
        wait_until(lambda: "CARD" in client.lines, "the driver to take the connection")
        self.assertEqual(self.probe("wait present 5000"), "OK", self.server.log())
        self.assertEqual(self.probe("connect"), "OK T1")
        return client

    def detach(self, client):
        """Ends a client and waits until pcscd has seen its card go, so the
        next test's client is not taken for a second one."""
        client.close()
        self.assertEqual(self.probe("wait absent 5000"), "OK")

    def healthy(self, client):
        client.answer = lambda line: b"200 TRANSMIT SUCCESS 9000\n"
        self.assertEqual(self.probe("transmit " + SELECT), "OK 9000")

    def test_bad_replies_fail_the_command_only(self):
        cases = [
            ("garbage", b"\x01\x02 what\n", "unexpected line"),
            ("not hex", b"200 TRANSMIT SUCCESS 90ZZ\n", "not hex"),
            ("over 999 bytes", b"200 TRANSMIT SUCCESS " + b"90" * 600 + b"\n", "line over 999"),
            ("a 500", b"500 SCardTransmit()=80100069: removed\n", "80100069"),
        ]
        client = self.attach()
        for name, reply, logged in cases:
            client.answer = lambda line, reply=reply: reply
            self.assertTrue(self.probe("transmit " + SELECT).startswith("ERR"), name)
            wait_until(lambda: logged in self.server.log(), "the log line for " + name)
            self.healthy(client)

    def test_reply_without_request_is_dropped(self):
        client = self.attach()
        client.sock.sendall(b"200 TRANSMIT SUCCESS 6F00\n")
        wait_until(lambda: "reply without a request" in self.server.log(), "the log line")
        self.healthy(client)

    def test_endless_line_and_silence_end_the_connection(self):
        # The endless line fails its command at once; the next one, lost in
        # it, ends the connection at the reply time-out like silence does.
        for reply in (b"200 TRANSMIT SUCCESS " + b"9" * 5000, b""):
            client = self.attach()
            client.answer = lambda line, reply=reply: reply
            for _ in range(2):
                self.assertTrue(self.probe("transmit " + SELECT).startswith("ERR"))
            self.assertEqual(self.probe("wait absent 5000"), "OK")
            client.close()
        self.assertIn("no reply to TRANSMIT within 700 ms", self.server.log())
        self.healthy(self.attach())

    def test_disconnect_mid_transmit(self):
        client = self.attach()
        client.answer = lambda line: "close"
        self.assertTrue(self.probe("transmit " + SELECT).startswith("ERR"))
        self.assertEqual(self.probe("wait absent 5000"), "OK")
        self.healthy(self.attach())

    def test_second_connection_refused_first_undisturbed(self):
        client = self.attach()
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as second:
            self.assertEqual(second.recv(100), b"")
        self.assertIn("refused: a client is connected", self.server.log())
        self.healthy(client)

    def test_greeting_read_with_the_first_command(self):
        # A client that drops its first read whole, as the real one does when
        # the greeting and CARD arrive together: CARD comes again.
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        self.addCleanup(sock.close)
        data = b""
        while data.count(b"CARD\n") < 2:
            chunk = sock.recv(100)
            self.assertTrue(chunk)
            data += chunk
        sock.sendall(b"200 CARD ABSENT\n")

    def test_pcscd_restarted_listens_again(self):
        self.detach(self.attach())
        self.probe.close()
        self.assertTrue(self.server.restart(), self.server.error)
        type(self).probe = Probe(self.server)
        self.healthy(self.attach())


class Entries(unittest.TestCase):
    """Several reader.conf entries are several readers, each on its own
    address; an allow list keeps other peers out."""

    def test_two_readers_and_an_allow_list(self):
        ports = free_port(), free_port()
        server = ServerPcscd((), remotes=("127.0.0.1:%d" % ports[0], "127.0.0.1:%d allow=127.0.0.2" % ports[1]))
        self.assertTrue(server.start(), server.error)
        self.addCleanup(server.stop)
        probe = Probe(server)
        self.addCleanup(probe.close)
        self.assertEqual(probe("readers"), "OK " + READER + "|Velmora Remote Reader 01 00")
        with socket.create_connection(("127.0.0.1", ports[1]), timeout=5) as refused:
            self.assertEqual(refused.recv(100), b"")
        self.assertIn("refused: not an allowed peer", server.log())
        client = ScriptedClient(ports[0])
        self.addCleanup(client.close)
        self.assertEqual(probe("wait present 5000"), "OK")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
