"""Every example exchange of docs/protocol.md, run against the real client:
a private pcscd with the simulated reader each example names, the server
peer, and the client. The examples are read out of the guide itself, so the
guide cannot drift from the program.

    python3 tests/e2e/protocol_doc_test.py
"""

import os
import re
import unittest

from e2e_harness import ROOT, Client, PrivatePcscd, Server

GUIDE = os.path.join(ROOT, "docs", "protocol.md")
# What "~" lines do: a command to the simulated reader, or the user's action
# in the client's PIN dialog through the test build's control channel.
ACTIONS = (
    (r"card out", lambda pcscd, client, found: pcscd.reader(0).command("REMOVE")),
    (r"card in", lambda pcscd, client, found: pcscd.reader(0).command("INSERT")),
    (r"keys on the PIN pad: (.+)", lambda pcscd, client, found: pcscd.reader(0).command("KEYS " + found[1])),
    (r"the user types (\d+) in the PIN dialog", lambda pcscd, client, found: client.hook("pin-type " + found[1])),
    (r"the user presses OK in the PIN dialog", lambda pcscd, client, found: client.hook("pin-ok")),
)


def examples(path=GUIDE):
    """(section heading, lines) of each ```exchange block, in order."""
    heading, found = "", []
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for match in re.finditer(r"^(#+ [^\n]*)$|^```exchange\n(.*?)^```$", text, re.M | re.S):
        if match.group(1):
            heading = match.group(1).lstrip("# ")
        else:
            found.append((heading, match.group(2).splitlines()))
    return found


def pattern(expected):
    """'...' stands for any bytes."""
    return "".join(".*" if part == "..." else re.escape(part) for part in re.split(r"(\.\.\.)", expected))


class Example:
    """One exchange: its setting lines first, then what goes back and forth."""

    def __init__(self, lines):
        settings = dict(re.match(r"# (\w+): (.*)", l).groups() for l in lines if re.match(r"# \w+: ", l))
        self.reader = ",".join(settings.get("reader", "card=t1").split())
        self.greeting = settings.get("greeting")
        self.steps = [l for l in lines if l and not l.startswith("#")]


class ProtocolGuide(unittest.TestCase):
    def run_example(self, lines):
        example = Example(lines)
        pcscd = PrivatePcscd((example.reader,))
        self.assertTrue(pcscd.start(), pcscd.error)
        self.addCleanup(pcscd.stop)
        server = Server(*(("--greeting", example.greeting) if example.greeting else ()))
        self.addCleanup(server.__exit__)
        client = Client(server.port, pcscd)
        self.addCleanup(client.close)
        server.wait_connected()
        client.wait_state(lambda s: s["link"] >= 4 and s["1006"]["checked"] == ("card=none" not in example.reader),
                          "the greeting and the reader")
        steps = iter(example.steps)
        for step in steps:
            kind, text = step[0], step[2:]
            if kind == ">":
                self.send(server, text, next(steps))
            elif kind == "!":
                self.assertEqual(server.expect("! "), step)
            elif kind == "~":
                self.act(pcscd, client, text)
            else:
                self.fail("a line an example cannot hold: " + step)
        # Once a last command is answered, every line before it has been read:
        # the client sent nothing the example does not show (a greeting answered).
        server.command("CARD")
        self.assertEqual([l for l in server.seen if l[:2] in ("? ", "! ")],
                         [l for l in example.steps if l[:2] in ("? ", "! ")])

    def send(self, server, command, answer):
        if command.startswith("@raw "):
            server.send(command)
            self.assertEqual(answer[:2], "? ", command)
            got = server.expect("? ")[2:]
        else:
            self.assertEqual(answer[:2], "< ", command)
            got = server.command(command)
        self.assertRegex(got, "^" + pattern(answer[2:]) + "$", "reply to " + command)

    def act(self, pcscd, client, text):
        for words, action in ACTIONS:
            found = re.fullmatch(words, text)
            if found:
                self.assertIn(action(pcscd, client, found).split()[0], ("OK", "ok"), text)
                return
        self.fail("an action the test cannot carry out: " + text)


def add_tests():
    for number, (heading, lines) in enumerate(examples(), 1):
        name = "test_%02d_%s" % (number, re.sub(r"\W+", "_", heading.lower()).strip("_"))
        setattr(ProtocolGuide, name, lambda self, lines=lines: self.run_example(lines))


add_tests()

if __name__ == "__main__":
    unittest.main()
