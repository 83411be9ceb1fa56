"""velmora-server against a fake client on loopback: what goes over the wire
and what the transcript says about it."""

import os
import re
import socket
import subprocess
import tempfile
import unittest

from harness import SERVER, Client, Server

REPLIES = {
    b"STATE": b"200 STATE SUCCESS SPECIFIC",
    b"CARD": b"200 CARD PRESENT",
    b"POWER ON": b"200 POWER ON 3B00",
    b"TRANSMIT T1 00A4040000": b"200 TRANSMIT 9000",
}


class ScriptCase(unittest.TestCase):
    """Writes scripts into a scratch folder that goes with the test."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.dir = scratch.name

    def script(self, *lines):
        path = os.path.join(self.dir, "script%d.txt" % len(os.listdir(self.dir)))
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        return path

    def assertSent(self, seen, commands):
        self.assertEqual([l[2:] for l in seen if l.startswith("> ")], commands)


class TranscriptTest(ScriptCase):
    def test_a_clean_run_reads_as_expected_and_is_logged(self):
        log = os.path.join(self.dir, "transcript.log")
        script = self.script("# reader check", "", "STATE", "CARD", "@expect-event INSERTED",
                             "  TRANSMIT T1 00A4040000  ")
        with Server("--script", script, "--quiet-rtt", "--exit-on-script-end",
                    "--log", log) as server, Client(server.port) as client:
            self.assertEqual(client.read_line(), b"HELLO velmora-server\n")
            client.answer(REPLIES)
            self.assertEqual(client.read_line(), b"CARD\n")
            client.send(b"EVENT CARD INSERTED\n")  # before the reply: it is no reply
            client.send(b"200 CARD PRESENT\n")
            client.answer(REPLIES)
            self.assertEqual(client.read_line(), b"")
            code, seen = server.finish()
        self.assertEqual(code, 0)
        self.assertEqual(seen, [
            "LISTENING 127.0.0.1:%d" % server.port,
            "# client connected from " + client.address,
            "# greeting: HELLO velmora-server",
            "> STATE",
            "< 200 STATE SUCCESS SPECIFIC",
            "> CARD",
            "! EVENT CARD INSERTED",
            "< 200 CARD PRESENT",
            "> TRANSMIT T1 00A4040000",
            "< 200 TRANSMIT 9000",
            "# 3 commands, 3 replies, 0 timeouts",
            "# closed the connection",
        ])
        with open(log) as f:
            self.assertEqual(f.read().splitlines(), seen)

    def test_repeats_time_each_reply_and_sum_up(self):
        script = self.script("STATE", "CARD")
        with Server("--script", script, "--repeat", "3", "--exit-on-script-end") as server, \
                Client(server.port) as client:
            client.read_line()
            for _ in range(6):
                client.answer(REPLIES)
            code, seen = server.finish()
        self.assertEqual(code, 0)
        replies = [l for l in seen if l.startswith("< ")]
        self.assertEqual(len(replies), 6)
        for line in replies:
            self.assertRegex(line, r"^< 200 \w+ \w+( \w+)?  \(\d+ us\)$")
        self.assertRegex(seen[-2], r"^# 6 commands, 6 replies, 0 timeouts, median \d+ us, p99 \d+ us$")

    def test_greeting_can_be_changed_or_left_out(self):
        script = self.script("STATE")
        for args, first in ((["--greeting", "HI there"], b"HI there\n"),
                            (["--no-greeting"], b"STATE\n")):
            with Server("--script", script, "--exit-on-script-end", *args) as server, \
                    Client(server.port) as client:
                self.assertEqual(client.read_line(), first)
                if first != b"STATE\n":
                    client.read_line()
                client.send(b"200 STATE SUCCESS SPECIFIC\n")
                self.assertEqual(server.finish()[0], 0)


class DisciplineTest(ScriptCase):
    def test_the_next_command_waits_for_the_reply(self):
        script = self.script("STATE", "CARD", "POWER ON")
        with Server("--script", script, "--exit-on-script-end", "--quiet-rtt") as server, \
                Client(server.port) as client:
            client.read_line()
            for command in (b"STATE", b"CARD", b"POWER ON"):
                self.assertEqual(client.read_line(), command + b"\n")
                # Once the server shows an event sent after the command, it is
                # in its wait: a server that did not wait would have sent on.
                client.send(b"EVENT CARD INSERTED\n")
                server.wait_for("! EVENT CARD INSERTED")
                self.assertEqual(client.waiting(), b"")
                client.send(REPLIES[command] + b"\n")
            code, seen = server.finish()
        self.assertEqual(code, 0)
        sent_and_replied = [l[0] for l in seen if l[:1] in "<>"]
        self.assertEqual("".join(sent_and_replied), "><><><")


class TimeoutTest(ScriptCase):
    def test_a_late_reply_is_not_taken_for_the_next_commands(self):
        script = self.script("STATE", "CARD")
        with Server("--script", script, "--exit-on-script-end", "--quiet-rtt",
                    "--reply-timeout-ms", "300") as server, Client(server.port) as client:
            client.read_line()
            self.assertEqual(client.read_line(), b"STATE\n")
            server.wait_for("# timeout waiting for reply to: STATE")
            self.assertEqual(client.read_line(), b"CARD\n")
            client.send(b"200 STATE LATE\n")
            client.send(b"200 CARD PRESENT\n")
            code, seen = server.finish()
        self.assertEqual(code, 1)
        self.assertEqual(seen[3:], [
            "> STATE",
            "# timeout waiting for reply to: STATE",
            "> CARD",
            "# late reply to: STATE",
            "? 200 STATE LATE",
            "< 200 CARD PRESENT",
            "# 2 commands, 1 replies, 1 timeouts",
            "# closed the connection",
        ])

    def test_an_event_of_the_other_kind_does_not_count(self):
        script = self.script("@expect-event REMOVED 200", "STATE")
        with Server("--script", script, "--exit-on-script-end", "--quiet-rtt") as server, \
                Client(server.port) as client:
            client.read_line()
            client.send(b"EVENT CARD INSERTED\n")
            client.answer(REPLIES)
            code, seen = server.finish()
        self.assertEqual(code, 1)
        self.assertIn("# timeout waiting for event: REMOVED", seen)
        self.assertIn("# 1 commands, 1 replies, 1 timeouts", seen)


class ClientCloseTest(ScriptCase):
    def test_closing_mid_script_ends_it_unfinished(self):
        script = self.script("STATE", "CARD", "POWER ON")
        with Server("--script", script, "--exit-on-script-end", "--quiet-rtt") as server:
            with Client(server.port) as client:
                client.read_line()
                client.answer(REPLIES)
                self.assertEqual(client.read_line(), b"CARD\n")
            code, seen = server.finish()
        self.assertEqual(code, 1)
        self.assertEqual(seen[-2:], ["# client closed", "# 2 commands, 1 replies, 0 timeouts"])
        self.assertSent(seen, ["STATE", "CARD"])

    def test_the_next_client_gets_the_script_afresh(self):
        script = self.script("STATE")
        with Server("--script", script, "--quiet-rtt") as server:
            for _ in range(2):
                with Client(server.port) as client:
                    self.assertEqual(client.read_line(), b"HELLO velmora-server\n")
                    client.answer(REPLIES)
                    server.wait_for("# 1 commands, 1 replies, 0 timeouts")
                server.wait_for("# client closed")
            server.stop()
            code, seen = server.finish()
        self.assertEqual(code, 0)
        self.assertEqual(seen[-1], "# stopped")

    def test_once_stays_until_the_client_goes(self):
        script = self.script("STATE")
        with Server("--script", script, "--once", "--quiet-rtt") as server:
            with Client(server.port) as client:
                client.read_line()
                client.answer(REPLIES)
                server.wait_for("# 1 commands, 1 replies, 0 timeouts")
                client.send(b"EVENT CARD REMOVED\n")  # still shown after the script
                server.wait_for("! EVENT CARD REMOVED")
            code, seen = server.finish()
        self.assertEqual(code, 0)
        self.assertEqual(seen[-1], "# client closed")

    def test_script_can_close_or_wait_for_the_close(self):
        for directive, client_closes in (("@close", False), ("@wait-close", True)):
            script = self.script("STATE", directive, "CARD")
            with Server("--script", script, "--once", "--quiet-rtt") as server:
                with Client(server.port) as client:
                    client.read_line()
                    client.answer(REPLIES)
                    if client_closes:
                        server.wait_for("< 200 STATE SUCCESS SPECIFIC")
                        client.close()
                    else:
                        self.assertEqual(client.read_line(), b"")
                code, seen = server.finish()
            self.assertEqual(code, 0, directive)
            self.assertSent(seen, ["STATE"])


class WireTest(ScriptCase):
    def test_raw_bytes_go_out_unchanged_and_any_answer_is_shown_apart(self):
        script = self.script("@raw 00 FF 0A", "@expect-event INSERTED", "CARD")
        with Server("--script", script, "--exit-on-script-end", "--quiet-rtt") as server, \
                Client(server.port) as client:
            client.read_line()
            self.assertEqual(client.read_exactly(3), b"\x00\xff\n")
            client.send(b"500 UNKNOWN\nEVENT CARD INSERTED\n")  # two lines, one write
            self.assertEqual(client.read_line(), b"CARD\n")
            for piece in (b"200 CA", b"RD PRE", b"SENT\r", b"\n"):
                client.send(piece)
            code, seen = server.finish()
        self.assertEqual(code, 0)
        self.assertEqual(seen[3:8], [
            "# raw 00FF0A (3 bytes)",
            "? 500 UNKNOWN",
            "! EVENT CARD INSERTED",
            "> CARD",
            "< 200 CARD PRESENT",
        ])

    def test_overlong_and_binary_replies_stay_one_line(self):
        script = self.script("STATE", "CARD")
        with Server("--script", script, "--exit-on-script-end", "--quiet-rtt") as server, \
                Client(server.port) as client:
            client.read_line()
            client.read_line()
            client.send(b"200 " + b"A" * 70000 + b"\n")
            client.read_line()
            client.send(b"200 \x01\\x\n")
            code, seen = server.finish()
        self.assertEqual(code, 0)
        cut = seen.index("# line cut at 65536 bytes")
        self.assertEqual(seen[cut + 1], "< 200 " + "A" * (65536 - 4))
        self.assertEqual(seen[cut + 3], "< 200 \\x01\\\\x")


class InteractiveTest(ScriptCase):
    def test_standard_input_is_the_script(self):
        with Server("--exit-on-script-end", "--quiet-rtt", stdin=subprocess.PIPE) as server, \
                Client(server.port) as client:
            server.proc.stdin.write(b"STATE\n@bogus\n# comment\nCARD")
            server.proc.stdin.close()
            client.read_line()
            client.answer(REPLIES)
            client.answer(REPLIES)  # the last line needs no newline
            code, seen = server.finish()
        self.assertEqual(code, 0)
        self.assertIn("# error: unknown directive", seen)
        self.assertSent(seen, ["STATE", "CARD"])


class StartTest(ScriptCase):
    def run_server(self, *args):
        return subprocess.run([SERVER, *args], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60)

    def test_refuses_bad_setups_before_listening(self):
        bad_script = self.script("STATE", "@sleep soon")
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        cases = (
            (["--script", bad_script], bad_script + ":2: @sleep needs MS"),
            (["--script", os.path.join(self.dir, "missing.txt")], "missing.txt"),
            (["--port", str(taken.getsockname()[1])], "Address already in use: another program listens there"),
            (["--listen", "no such host.invalid"], "no such host.invalid"),
            (["--bogus"], "unknown option --bogus"),
        )
        for args, message in cases:
            result = self.run_server(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(message, result.stderr, args)
            self.assertNotIn("LISTENING", result.stdout, args)


if __name__ == "__main__":
    unittest.main()
