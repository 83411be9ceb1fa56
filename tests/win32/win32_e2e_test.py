"""What only the Windows shell does, end to end under Wine: the tray icon's
clicks, minimizing to the tray, the close box, Enter and Escape in the
connection dialog, and the About dialog's close box. The scenarios both
shells share are in tests/e2e/."""

import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
os.environ["VELMORA_E2E_PLATFORM"] = "windows"

from client_e2e_test import ClientTest  # noqa: E402
from e2e_harness import idle_controls  # noqa: E402
from pinpad_e2e_test import CANCELLED, FINISH, START, verify_structure  # noqa: E402


class TrayIcon(ClientTest):
    def test_double_click_opens_or_raises_the_one_dialog(self):
        self.connected()
        self.assertEqual(self.client.hook("tray-dblclick"), "ok")
        state = self.client.wait_state(lambda s: s["dialog"], "the dialog")
        self.assertIn("HELLO velmora-server", state["log"])  # the same dialog, not a new one
        self.client.hook("minimize")
        self.client.wait_state(lambda s: not s["dialog"], "the dialog to close to the tray")
        self.client.hook("tray-dblclick")
        state = self.client.wait_state(lambda s: s["dialog"], "a new dialog")
        self.assertEqual(state["log"], "")
        self.assertTrue(state["1004"]["enabled"])  # the connection went on meanwhile

    def test_single_click_does_nothing(self):
        self.connected()
        self.client.hook("minimize")
        self.client.wait_state(lambda s: not s["dialog"], "the dialog to close")
        self.client.hook("tray-click")
        time.sleep(0.3)
        self.assertFalse(self.client.state()["dialog"])
        self.assertEqual(self.server.command("CARD"), "200 CARD PRESENT")  # served without a dialog


class ConnectionDialog(ClientTest):
    def test_enter_and_escape_do_nothing(self):
        self.connected()
        self.client.hook("click 1004")
        self.client.wait_state(idle_controls, "idle controls")
        for key in ("enter", "escape"):
            self.assertEqual(self.client.hook("key " + key), "ok")
            state = self.client.state()
            self.assertTrue(state["dialog"] and idle_controls(state), key)

    def test_close_box_ends_the_program(self):
        self.connected()
        self.client.hook("close-box")
        self.assertEqual(self.client.wait_exit(), 0)
        self.server.expect("# client closed")

    def test_reopened_dialog_keeps_the_connection_and_the_last_host_and_port(self):
        self.connected()
        port = self.client.state()["1002"]["text"]
        self.client.hook("minimize")
        self.client.wait_state(lambda s: not s["dialog"], "the dialog to close")
        self.client.hook("tray-open")
        state = self.client.wait_state(lambda s: s["dialog"], "the dialog again")
        self.assertEqual((state["1001"]["text"], state["1002"]["text"]), ("localhost", port))
        self.assertFalse(state["1003"]["enabled"])  # the auto-connect was dropped
        self.assertEqual(self.server.command("STATE"), "200 STATE SUCCESS SPECIFIC")


class AboutDialog(ClientTest):
    def test_close_box_ends_it_and_the_link_is_served_meanwhile(self):
        self.connected()
        self.client.hook("tray-about")
        self.client.wait_state(lambda s: s.get("modal") == "about Velmora Client", "the About dialog")
        self.assertEqual(self.server.command("CARD"), "200 CARD PRESENT")
        self.client.hook("modal-enter")
        self.client.wait_state(lambda s: "modal" not in s, "Enter to end it")
        self.client.hook("tray-about")
        self.client.wait_state(lambda s: s.get("modal") == "about Velmora Client", "the About dialog")
        self.client.hook("modal-close")
        self.client.wait_state(lambda s: "modal" not in s, "the close box to end it")


class PinEntryDialog(ClientTest):
    readers = ("card=t1,pin=1234",)

    def test_ok_command_counts_only_while_ok_is_enabled(self):
        # Windows' dialog manager may send the OK command for Enter while the
        # button is disabled; the dialog must not take it then.
        self.connected()
        self.assertEqual(self.server.command(START + " " + verify_structure(4, 8)), "200 IOCTL SUCCESS")
        self.client.hook("pin-type 12")
        self.assertEqual(self.client.hook("pin-idok"), "ok")
        pin = json.loads(self.client.hook("pin-state"))
        self.assertTrue(pin["open"])
        self.assertFalse(pin["ok"])
        self.client.hook("pin-type 34")
        self.client.hook("pin-key enter")
        self.assertFalse(json.loads(self.client.hook("pin-state"))["open"])
        self.assertEqual(self.server.command(FINISH), "200 IOCTL SUCCESS 9000")
        self.assertTrue(self.server.command(FINISH).startswith(CANCELLED))


if __name__ == "__main__":
    unittest.main()
