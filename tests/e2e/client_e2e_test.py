"""The real client against a private pcscd with simulated readers and the
server peer, each test with its own processes on private sockets and ports."""

import unittest

from e2e_harness import REFUSED_TEXT, Client, PrivatePcscd, Server, free_port, idle_controls


class ClientTest(unittest.TestCase):
    readers = ("card=t1",)

    def setUp(self):
        self.pcscd = PrivatePcscd(self.readers)
        self.assertTrue(self.pcscd.start(), self.pcscd.error)
        self.addCleanup(self.pcscd.stop)
        self.server = Server()
        self.addCleanup(self.server.__exit__)
        self.client = Client(self.server.port, self.pcscd)
        self.addCleanup(self.client.close)

    def connected(self):
        self.server.wait_connected()
        return self.client.wait_state(lambda s: s["link"] >= 4, "the greeting to arrive")


class StartUp(ClientTest):
    readers = ("card=t0,name=First", "card=t1,name=Second", "card=t1,name=Third")

    def test_opens_the_first_t1_reader_and_connects_by_itself(self):
        state = self.connected()
        self.assertEqual(state["1005"]["items"], ["<no reader selected>", "First 00 00", "Second 01 00", "Third 02 00"])
        self.assertEqual(state["1005"]["index"], 2)
        self.assertTrue(state["1006"]["checked"])
        self.assertFalse(state["1005"]["enabled"])
        self.assertTrue(state["1004"]["enabled"])
        # The greeting is logged and not answered.
        self.assertEqual(state["log"].splitlines()[0], "HELLO velmora-server")
        self.assertEqual(self.server.command("STATE"), "200 STATE SUCCESS SPECIFIC")
        state = self.client.state()
        self.assertEqual(state["log"].splitlines()[0], "STATE => 200 STATE SUCCESS SPECIFIC")
        self.assertEqual(state["status"], "Datenpaket 2: STATE\nAntwortpaket: 200 STATE SUCCESS SPECIFIC")


class TrayAndDialogs(ClientTest):
    def test_tray_menu_items_in_order_with_open_as_default(self):
        import json
        menu = json.loads(self.client.hook("menu"))
        self.assertEqual([(m["text"], m["default"]) for m in menu],
                         [("Open", True), ("Exit Velmora Client", False), ("About Velmora Client", False)])

    def test_about_dialog_stays_on_escape_and_ends_on_ok(self):
        self.connected()
        self.client.hook("tray-about")
        state = self.client.wait_state(lambda s: s.get("modal") == "about Velmora Client", "the About dialog")
        self.client.hook("modal-escape")
        self.assertEqual(self.client.state().get("modal"), "about Velmora Client")
        self.assertEqual(self.server.command("CARD"), "200 CARD PRESENT")  # served meanwhile
        self.client.hook("modal-ok")
        self.client.wait_state(lambda s: "modal" not in s, "the About dialog to end")
        del state

    def test_without_a_tray_minimize_only_minimizes(self):
        state = self.connected()
        self.assertFalse(state["tray"])  # offscreen has no notification area
        self.client.hook("minimize")
        state = self.client.wait_state(lambda s: s.get("minimized"), "the dialog to minimize")
        self.assertTrue(state["dialog"])
        self.client.hook("tray-open")
        self.client.wait_state(lambda s: not s.get("minimized"), "the dialog to come back")

    def test_exit_ends_with_code_zero(self):
        self.connected()
        self.client.hook("tray-exit")
        self.assertEqual(self.client.wait_exit(), 0)
        self.server.expect("# client closed")


class Commands(ClientTest):
    readers = ("card=t1,vendor=Velmora Sim",)

    def test_every_kind_of_command_against_the_simulated_card(self):
        self.connected()
        s = self.server
        self.assertEqual(s.command("CARD"), "200 CARD PRESENT")
        self.assertEqual(s.command("TRANSMIT T1 00A4040007A0000000041010"), "200 TRANSMIT SUCCESS 9000")
        challenge = s.command("TRANSMIT T1 0084000008")
        self.assertRegex(challenge, r"^200 TRANSMIT SUCCESS [0-9A-F]{16}9000$")
        self.assertEqual(self.client.state()["1007"]["text"], "T1")
        self.assertEqual(s.command("GET_ATTRIBUTE VENDOR_NAME"),
                         "200 GET_ATTRIBUTE SUCCESS " + b"Velmora Sim".hex().upper())
        self.assertEqual(s.command("IOCTL 313530 0102"), "200 IOCTL SUCCESS 0102")  # echoed by the reader
        self.assertEqual(s.command("power on"), "200 POWER SUCCESS")
        self.assertEqual(s.command("TRANSMIT T1 00-1"), "500 command has invalid character '-' at position 14")


class AtrFallback(ClientTest):
    """A reader whose driver does not offer the ATR as an attribute."""

    readers = ("card=t1,atrattr=off",)

    def test_atr_comes_from_the_card_connection(self):
        self.connected()
        atr = self.pcscd.reader(0).command("STATUS").split("atr=")[1].split()[0]
        self.assertEqual(self.server.command("GET_ATTRIBUTE ATR_STRING"), "200 GET_ATTRIBUTE SUCCESS " + atr)
        self.assertRegex(self.server.command("GET_ATTRIBUTE ICC_TYPE_PER_ATR"), r"^500 SCardGetAttrib\(\)=")


class CardEvents(ClientTest):
    readers = ("card=t1",)

    def test_insert_and_remove_send_exact_event_lines(self):
        self.connected()
        self.pcscd.reader(0).command("REMOVE")
        self.assertEqual(self.server.expect("! "), "! EVENT CARD REMOVED")
        self.pcscd.reader(0).command("INSERT")
        self.assertEqual(self.server.expect("! "), "! EVENT CARD INSERTED")
        state = self.client.state()
        self.assertTrue(state["log"].startswith("EVENT CARD INSERTED\nEVENT CARD REMOVED\n"))

    def test_events_flow_after_the_dialog_was_closed_and_reopened(self):
        self.connected()
        self.client.hook("close-to-tray")
        self.client.wait_state(lambda s: not s["dialog"], "the dialog to close")
        self.pcscd.reader(0).command("REMOVE")
        self.assertEqual(self.server.expect("! "), "! EVENT CARD REMOVED")
        self.assertEqual(self.server.command("CARD"), "200 CARD ABSENT")
        self.client.hook("tray-open")
        state = self.client.wait_state(lambda s: s["dialog"], "the dialog to open again")
        self.assertEqual(state["log"], "")  # a new dialog starts empty
        self.assertTrue(state["1004"]["enabled"])  # the one connection is kept
        self.pcscd.reader(0).command("INSERT")
        self.assertEqual(self.server.expect("! "), "! EVENT CARD INSERTED")

    def test_close_with_a_card_sends_the_removal(self):
        self.connected()
        self.assertEqual(self.client.hook("click 1009"), "ok")
        self.assertEqual(self.server.expect("! "), "! EVENT CARD REMOVED")
        state = self.client.state()
        self.assertTrue(state["1005"]["enabled"])
        self.assertTrue(state["1008"]["enabled"])
        self.assertFalse(state["1006"]["checked"])


class LinkEnds(ClientTest):
    def test_disconnect(self):
        self.connected()
        self.assertEqual(self.client.hook("click 1004"), "ok")
        state = self.client.wait_state(idle_controls, "idle controls")
        self.assertEqual(state["status"], "Verbindung geschlossen")
        self.server.expect("# client closed")

    def test_server_closing(self):
        self.connected()
        self.server.send("@close")
        state = self.client.wait_state(idle_controls, "idle controls")
        self.assertEqual(state["status"], "Verbindung wurde durch Gegenseite geschlossen.")

    def test_refused_connect_then_reconnect(self):
        self.connected()
        self.client.hook("click 1004")
        self.client.wait_state(idle_controls, "idle controls")
        self.assertEqual(self.client.hook("set 1002 %d" % free_port()), "ok")
        self.assertEqual(self.client.hook("click 1003"), "ok")
        state = self.client.wait_state(lambda s: s["link"] == 0 and "Connect()" in s["status"],
                                       "the refused connect")
        self.assertEqual(state["status"], "Connect(): " + REFUSED_TEXT)
        self.assertTrue(idle_controls(state))
        self.client.hook("set 1002 %d" % self.server.port)
        self.client.hook("click 1003")
        self.server.wait_connected()


class NameLookup(unittest.TestCase):
    """A name that does not resolve, in a network namespace of its own so the
    lookup never leaves the machine."""

    def test_unresolvable_name(self):
        pcscd = PrivatePcscd(("card=none",))
        self.assertTrue(pcscd.start(), pcscd.error)
        self.addCleanup(pcscd.stop)
        client = Client(free_port(), pcscd, wrapper=("unshare", "--net", "--"))
        self.addCleanup(client.close)
        client.wait_state(lambda s: s["link"] == 0 and "Connect()" in s["status"], "the first connect to fail")
        self.assertEqual(client.hook("set 1001 no-such-host.invalid"), "ok")
        self.assertEqual(client.hook("click 1003"), "ok")
        state = client.wait_state(lambda s: s["link"] == 0 and "gescheitert" in s["status"], "the lookup to fail")
        self.assertEqual(state["status"], "Namensauflösung gescheitert")
        self.assertTrue(idle_controls(state))


if __name__ == "__main__":
    unittest.main()
