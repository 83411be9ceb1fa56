"""Settings, command line, reconnect, one instance, tray status and the
support log against the real client, each test with its own processes,
ports and profile. The same list runs against the Windows client under
Wine (settings from the registry instead of files)."""

import os
import re
import shutil
import unittest

from e2e_harness import (ROOT, WINDOWS, Client, PrivatePcscd, Profile, Server, free_port, idle_controls, run_client,
                         wait_until)

VERIFY_1234 = "TRANSMIT T1 0020008108" + "31323334" + "FFFFFFFF"


class SettingsTest(unittest.TestCase):
    readers = ("card=t1",)

    def setUp(self):
        self.pcscd = PrivatePcscd(self.readers)
        self.assertTrue(self.pcscd.start(), self.pcscd.error)
        self.addCleanup(self.pcscd.stop)
        self.server = Server()
        self.addCleanup(self.server.__exit__)
        self.profile = Profile()
        self.addCleanup(self.profile.close)

    def start(self, *args, test_port=False):
        client = Client(self.server.port, self.pcscd, args=args, test_port=test_port, profile=self.profile)
        self.addCleanup(client.close)
        return client

    def connected(self, client):
        self.server.wait_connected()
        return client.wait_state(lambda s: s["link"] >= 4, "the greeting to arrive")


class Sources(SettingsTest):
    readers = ("card=t1,name=First", "card=t0,name=Second")

    def test_files_reach_the_fields_and_the_connect(self):
        self.profile.write_settings({"Host": "no-such-host.invalid", "Port": 1, "Reader": "Second"}, system=True)
        self.profile.write_settings({"Host": "127.0.0.1", "Port": self.server.port})
        client = self.start()
        state = self.connected(client)
        self.assertEqual(state["1001"]["text"], "127.0.0.1")
        self.assertEqual(state["1002"]["text"], str(self.server.port))
        self.assertEqual(state["1005"]["index"], 2)  # the system's reader choice stands
        self.assertEqual(self.server.command("CARD"), "200 CARD PRESENT")

    def test_command_line_wins_and_a_malformed_value_is_ignored(self):
        self.profile.write_settings({"Host": "127.0.0.1", "Port": 1, "Reconnect": "soon"})
        client = self.start("--port", str(self.server.port), "--reader", "First")
        state = self.connected(client)
        self.assertEqual(state["1002"]["text"], str(self.server.port))
        self.assertEqual(state["1005"]["index"], 1)
        self.assertIn("Ungültige Einstellung ignoriert: Reconnect='soon'", state["log"].splitlines())

    def test_keys_in_any_case_values_as_written_and_strangers_reported(self):
        if WINDOWS:
            self.skipTest("registry value names are not case-sensitive anyway")
        with open(os.path.join(self.profile.dir, "config", "velmora-client.conf"), "w") as f:
            f.write("\ufeffhost=127.0.0.1\nPORT=%d\n[General]\nreader=Sec;ond\nHots=x\n[Other]\nPort=1\n"
                    % self.server.port)
        client = self.start()
        state = self.connected(client)
        self.assertEqual(state["1001"]["text"], "127.0.0.1")
        self.assertEqual(state["1002"]["text"], str(self.server.port))
        self.assertEqual(state["1005"]["index"], 1)  # no reader's name holds "Sec;ond": the first with T=1
        self.assertIn("Ungültige Einstellung ignoriert: Hots='x', [Other] Port='1'", state["log"].splitlines())

    def test_without_settings_the_client_starts_as_before(self):
        client = self.start(test_port=True)
        state = self.connected(client)
        self.assertEqual(state["1001"]["text"], "localhost")
        self.assertEqual(state["tip"], "Velmora Client")
        self.assertEqual(state["log"].splitlines(), ["HELLO velmora-server", "EVENT CARD INSERTED"])


class Options(SettingsTest):
    def test_help_version_and_an_unknown_option(self):
        code, out = run_client(["--help"], self.profile)
        self.assertEqual(code, 0)
        self.assertIn("--reconnect S", out)
        code, out = run_client(["--version"], self.profile)
        self.assertEqual(code, 0)
        self.assertRegex(out, r"Velmora Client \d+\.\d+\.\d+")
        code, out = run_client(["--no-such-option"], self.profile)
        self.assertEqual(code, 2)
        self.assertIn("Usage: velmora-client", out)
        self.assertEqual([line for line in self.server.seen if "client connected" in line], [])


class Reconnect(SettingsTest):
    def test_after_the_server_stops_and_starts_again(self):
        port = self.server.port
        client = self.start("--reconnect", "1", test_port=True)
        self.connected(client)
        self.server.stop()
        state = client.wait_state(lambda s: "Verbindungsversuch" in s["status"], "the retry to be announced")
        self.assertTrue(state["1004"]["enabled"])  # Disconnect stops the retries
        wait_until(lambda: re.search(r"Verbindungsversuch in [24] s", client.state()["status"]),
                   "a refused retry and a longer wait")
        self.server = Server("--port", str(port))
        self.addCleanup(self.server.__exit__)
        self.connected(client)
        self.assertEqual(self.server.command("STATE"), "200 STATE SUCCESS SPECIFIC")
        self.pcscd.reader(0).command("REMOVE")
        self.assertEqual(self.server.expect("! "), "! EVENT CARD REMOVED")

    def test_system_file_of_the_package_turns_it_on(self):
        if WINDOWS:
            self.skipTest("the Windows client's system-wide settings are in the registry")
        shutil.copy(os.path.join(ROOT, "packaging", "linux", "velmora-client.conf"),
                    os.path.join(self.profile.dir, "xdg"))
        client = self.start(test_port=True)
        self.connected(client)
        self.server.send("@close")
        client.wait_state(lambda s: "Verbindungsversuch in 5 s" in s["status"], "the retry to be announced")

    def test_disconnect_stops_the_retries(self):
        client = self.start("--reconnect", "1", test_port=True)
        self.connected(client)
        self.server.send("@close")
        client.wait_state(lambda s: "Verbindungsversuch" in s["status"], "the retry to be announced")
        client.hook("click 1004")
        state = client.wait_state(idle_controls, "idle controls")
        self.assertEqual(state["status"], "Verbindung geschlossen")

    def test_a_name_that_does_not_resolve_is_tried_again(self):
        if WINDOWS:
            self.skipTest("the lookup must stay on this machine: a network namespace of its own would also "
                          "cut the Wine client off from its control channel on loopback")
        client = Client(free_port(), self.pcscd, wrapper=("unshare", "--net", "--"), profile=self.profile,
                        args=("--host", "no-such-host.invalid", "--reconnect", "1"), test_port=False)
        self.addCleanup(client.close)
        state = client.wait_state(lambda s: "in 2 s" in s["status"], "the second failed lookup")
        self.assertEqual(state["status"], "Namensauflösung gescheitert\nNächster Verbindungsversuch in 2 s")


class OneInstance(SettingsTest):
    def test_a_second_start_brings_up_the_first_and_ends(self):
        client = self.start(test_port=True)
        self.connected(client)
        client.hook("close-to-tray")
        client.wait_state(lambda s: not s["dialog"], "the dialog to close")
        code, out = run_client([], self.profile, self.pcscd)
        self.assertEqual(code, 0, out)
        client.wait_state(lambda s: s["dialog"], "the first client's dialog")
        self.assertEqual(self.server.command("CARD"), "200 CARD PRESENT")
        self.assertEqual(len([line for line in self.server.seen if "client connected" in line]), 1)


class SupportLog(SettingsTest):
    readers = ("card=t1,pin=1234",)

    def test_the_exchange_with_the_pin_hidden(self):
        log = self.profile.path("support.log")
        client = self.start("--log", log, test_port=True)
        self.connected(client)
        self.assertEqual(self.server.command(VERIFY_1234), "200 TRANSMIT SUCCESS 9000")
        self.pcscd.reader(0).command("REMOVE")
        self.server.expect("! ")
        text = wait_until(lambda: (lambda t: t if "EVENT CARD REMOVED" in t else None)(self.profile.read("support.log")),
                          "the removal in the log")
        self.assertNotIn("31323334", text)
        self.assertRegex(text, r"\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d P TRANSMIT T1 0020008108\*\* => "
                               r"200 TRANSMIT SUCCESS 9000\n")
        self.assertRegex(text, r" P HELLO velmora-server\n")
        self.assertRegex(text, r" S Verbindung erfolgreich aufgebaut\.\n")


class TrayStatus(SettingsTest):
    def test_tip_and_icon_follow_the_link_and_the_card(self):
        self.profile.write_settings({"TrayStatus": 1, "Reconnect": 0})  # REG_DWORD on Windows
        client = self.start(test_port=True)
        state = self.connected(client)
        self.assertEqual(state["tip"], "Velmora Client – verbunden mit localhost:%d – Karte eingesteckt"
                         % self.server.port)
        self.assertTrue(state["tray_connected"])
        self.pcscd.reader(0).command("REMOVE")
        client.wait_state(lambda s: s["tip"].endswith("– keine Karte"), "the tip to show the removal")
        self.server.send("@close")
        state = client.wait_state(lambda s: not s["tray_connected"], "the greyed icon")
        self.assertEqual(state["tip"], "Velmora Client – nicht verbunden – keine Karte")


if __name__ == "__main__":
    unittest.main()
