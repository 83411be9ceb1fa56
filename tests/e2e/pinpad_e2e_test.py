"""PIN verification end to end: the real PIN entry dialog (emulated PIN pad)
and the simulated reader's own PIN pad (mapped), driven by the server."""

import unittest

from client_e2e_test import ClientTest
from e2e_harness import wait_until

START = "IOCTL 313524"
FINISH = "IOCTL 313528"
KEY = "IOCTL 313534"
ABORT = "IOCTL 31354C"
CANCELLED = "500 SCardControl()=80100012: "


def verify_structure(min_len=4, max_len=8, block="08"):
    """A PIN verify structure for VERIFY with ASCII digits in an 8-byte block
    (block "00": no block, the digits as typed)."""
    template = "0020000108" + "FF" * 8
    fixed = "00" "00" "82" + block + "00" + "%02X%02X" % (max_len, min_len) + "02" "01" "0904" "00" "000000"
    return fixed + "%02X000000" % (len(template) // 2) + template


class Emulated(ClientTest):
    readers = ("card=t1,pin=1234",)

    def start_entry(self):
        self.assertEqual(self.server.command(START + " " + verify_structure()), "200 IOCTL SUCCESS")
        state = self.client.wait_state(lambda s: True, "state")
        pin = self.pin()
        self.assertTrue(pin["open"])
        self.assertEqual(pin["title"], "PIN Entry")
        self.assertTrue(pin["masked"])
        self.assertFalse(pin["readonly"])
        self.assertTrue(pin["owned"])
        return state

    def pin(self):
        import json
        return json.loads(self.client.hook("pin-state"))

    def poll(self):
        return self.server.command(KEY).rsplit(" ", 1)[-1]

    def test_typed_pin_reaches_the_card(self):
        self.connected()
        self.start_entry()
        self.assertEqual(self.client.hook("pin-type 12a34"), "ok")  # the letter is refused
        self.assertEqual(self.pin()["text"], "1234")
        self.assertEqual([self.poll() for _ in range(5)], ["2B", "2B", "2B", "2B", "00"])
        self.client.hook("pin-key backspace")
        self.assertEqual(self.poll(), "08")
        self.client.hook("pin-type 4")
        self.assertEqual(self.client.hook("pin-ok"), "ok")
        self.assertFalse(self.pin()["open"])
        self.assertEqual(self.poll(), "0D")
        self.assertEqual(self.server.command(FINISH), "200 IOCTL SUCCESS 9000")
        # The PIN is used once: a second finish has nothing to send.
        self.assertTrue(self.server.command(FINISH).startswith(CANCELLED))

    def test_wrong_pin_is_answered_by_the_card(self):
        self.connected()
        self.start_entry()
        self.client.hook("pin-type 9999")
        self.client.hook("pin-key enter")
        wait_until(lambda: not self.pin()["open"], "the dialog to close on Enter")
        self.assertRegex(self.server.command(FINISH), r"^200 IOCTL SUCCESS 63C[0-9A-F]$")

    def test_ok_rule_and_escape(self):
        self.connected()
        self.start_entry()
        self.client.hook("pin-type 12")
        self.assertFalse(self.pin()["ok"])  # below the minimum of 4
        self.client.hook("pin-type 345678")
        self.assertTrue(self.pin()["ok"])
        self.client.hook("pin-type 9")
        self.assertFalse(self.pin()["ok"])  # above the maximum of 8
        self.assertEqual(self.client.hook("pin-ok"), "disabled")
        self.client.hook("pin-key escape")
        self.assertTrue(self.pin()["open"])

    def test_twenty_digits_confirmed_nineteen_sent(self):
        self.connected()
        # 25 digits never fit the 8-byte block: refused before any dialog.
        self.assertTrue(self.server.command(START + " " + verify_structure(4, 25)).startswith(CANCELLED))
        self.assertFalse(self.pin()["open"])
        self.assertEqual(self.server.command(START + " " + verify_structure(4, 25, block="00")), "200 IOCTL SUCCESS")
        self.client.hook("pin-type 12345678901234567890")
        self.assertEqual(self.client.hook("pin-ok"), "ok")
        self.assertRegex(self.server.command(FINISH), r"^200 IOCTL SUCCESS 63C[0-9A-F]$")
        apdu = self.pcscd.reader(0).command("LASTAPDU").split()[1]
        self.assertEqual(apdu, "0020000113" + "1234567890123456789".encode().hex().upper())

    def test_min_above_max_never_allows_ok(self):
        self.connected()
        self.assertEqual(self.server.command(START + " " + verify_structure(8, 4)), "200 IOCTL SUCCESS")
        self.assertTrue(self.pin()["ok"])  # as the start leaves it, until the first change
        for digits in ("1", "234", "5678"):
            self.client.hook("pin-type " + digits)
            self.assertFalse(self.pin()["ok"])

    def test_second_start_is_refused_while_the_dialog_is_open(self):
        self.connected()
        self.start_entry()
        self.assertTrue(self.server.command(START + " " + verify_structure()).startswith(CANCELLED))

    def test_close_box_cancels(self):
        self.connected()
        self.start_entry()
        self.client.hook("pin-type 1234")
        self.client.hook("pin-close")
        wait_until(lambda: not self.pin()["open"], "the dialog to close")
        self.assertEqual(self.poll(), "0D")
        self.assertTrue(self.server.command(FINISH).startswith(CANCELLED))

    def test_abort_closes_the_dialog(self):
        self.connected()
        self.start_entry()
        self.assertEqual(self.server.command(ABORT), "200 IOCTL SUCCESS")
        self.assertFalse(self.pin()["open"])
        self.assertTrue(self.server.command(FINISH).startswith(CANCELLED))

    def test_disconnect_close_reader_and_closing_its_owner_destroy_the_dialog(self):
        self.connected()
        self.start_entry()
        self.client.hook("click 1009")
        self.assertFalse(self.pin()["open"])
        self.assertEqual(self.server.expect("! "), "! EVENT CARD REMOVED")
        self.client.hook("click 1008")
        self.assertEqual(self.server.expect("! "), "! EVENT CARD INSERTED")
        self.start_entry()
        self.client.hook("click 1004")
        self.assertFalse(self.pin()["open"])
        self.client.hook("click 1003")
        self.server.wait_connected()
        self.client.wait_state(lambda s: s["link"] >= 4, "the greeting")
        self.start_entry()
        self.client.hook("close-to-tray")
        wait_until(lambda: not self.pin()["open"], "the dialog to go with its owner")


class Mapped(ClientTest):
    readers = ("card=t1,pinpad=on,pin=1234",)

    def pin(self):
        import json
        return json.loads(self.client.hook("pin-state"))

    def test_stars_follow_the_readers_keys(self):
        self.connected()
        self.assertEqual(self.server.command(START + " " + verify_structure()), "200 IOCTL SUCCESS")
        pin = self.pin()
        self.assertTrue(pin["readonly"])
        self.assertFalse(pin["ok"])
        self.assertEqual(self.pcscd.reader(0).command("KEYS 12 BACK 234 OK").split()[0], "OK")
        keys = []
        while not keys or keys[-1] != "0D":
            keys.append(self.server.command(KEY).rsplit(" ", 1)[-1])
            if keys[-1] == "2B":
                self.assertEqual(self.pin()["text"], "*" * (keys.count("2B") - keys.count("08")))
        self.assertEqual(keys, ["2B", "2B", "08", "2B", "2B", "2B", "0D"])
        self.assertEqual(self.pin()["text"], "****")
        self.assertEqual(self.server.command(FINISH), "200 IOCTL SUCCESS 9000")
        self.assertFalse(self.pin()["open"])

    def test_abort_goes_to_the_reader(self):
        self.connected()
        self.server.command(START + " " + verify_structure())
        self.assertEqual(self.server.command(ABORT), "200 IOCTL SUCCESS")
        self.assertFalse(self.pin()["open"])
        # The reader's own abort code, function 3511 in pcsc-lite's encoding.
        self.assertEqual(self.pcscd.reader(0).command("LASTCONTROL").split()[1], "42000DB7")


if __name__ == "__main__":
    unittest.main()
