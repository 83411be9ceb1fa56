#!/usr/bin/env python3
"""Soak: many commands of every kind through the real client, with card
events between them. Every reply must be the expected one, in order, and
the client's resident memory, threads and open files must stay flat.

    python3 tests/e2e/soak.py [COMMANDS]      (default 100000; CI runs 5000)
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_harness import Client, PrivatePcscd  # noqa: E402
from fault_e2e_test import RawServer  # noqa: E402

COMMANDS = [
    ("STATE", "200 STATE SUCCESS SPECIFIC"),
    ("CARD", "200 CARD PRESENT"),
    ("TRANSMIT T1 00A4040007A0000000041010", "200 TRANSMIT SUCCESS 9000"),
    ("TRANSMIT T1 0084000008", None),  # eight random bytes and 9000
    ("GET_ATTRIBUTE VENDOR_NAME", "200 GET_ATTRIBUTE SUCCESS " + b"Soak".hex().upper()),
    ("IOCTL 313530 0102", "200 IOCTL SUCCESS 0102"),
    ("POWER ON", "200 POWER SUCCESS"),
    ("EJECT", None),  # NO_MEDIA right after a card came back, until a command connects
    ("SWALLOW 1", "500 SWALLOW not implemented yet"),
    ("NO_SUCH_COMMAND", "500 invalid command 'NO_SUCH_COMMAND'"),
    ("TRANSMIT T1 80EE01F4", None),  # a 500-byte answer: too long for a reply line
]
EVENT_EVERY = 1000


def process_figures(pid):
    """Resident memory (kB), threads, open files."""
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    files = len(os.listdir("/proc/%d/fd" % pid))
    return int(fields["VmRSS"].split()[0]), int(fields["Threads"]), files


def check_reply(command, expected, reply):
    if expected is not None:
        return reply == expected
    if command == "EJECT":
        return reply in ("200 EJECT NOT_SUPPORTED", "200 EJECT NO_MEDIA")
    if command.endswith("0084000008"):
        return len(reply) == len("200 TRANSMIT SUCCESS ") + 20 and reply.endswith("9000")
    return reply == "500 transmit-buffer too short, 502 bytes, 998 chars"


def soak(count, report=print):
    pcscd = PrivatePcscd(("card=t1,vendor=Soak",))
    if not pcscd.start():
        raise AssertionError(pcscd.error)
    server = RawServer()
    client = None
    try:
        client = Client(server.port, pcscd)
        server.accept()
        client.wait_state(lambda s: s["link"] >= 4, "the greeting")
        pid = client.proc.pid
        figures = []
        for i in range(count):
            if i % EVENT_EVERY == 0:
                if i == 2 * EVENT_EVERY:
                    figures.append(process_figures(pid))  # after warm-up
                pcscd.reader(0).command("REMOVE")
                assert server.line() == "EVENT CARD REMOVED"
                pcscd.reader(0).command("INSERT")
                assert server.line() == "EVENT CARD INSERTED"
            command, expected = COMMANDS[i % len(COMMANDS)]
            reply = server.command(command)
            if not check_reply(command, expected, reply):
                raise AssertionError("command %d %r: reply %r" % (i, command, reply))
        figures.append(process_figures(pid))
        report("%d commands answered in order; rss/threads/files at warm-up %s, at end %s"
               % (count, figures[0] if len(figures) > 1 else "-", figures[-1]))
        return figures
    finally:
        if client is not None:
            client.close()
        server.close()
        pcscd.stop()


class Soak(unittest.TestCase):
    def test_short_soak_stays_flat(self):
        figures = soak(int(os.environ.get("VELMORA_SOAK_COMMANDS", "5000")), report=lambda _: None)
        (rss0, threads0, files0), (rss1, threads1, files1) = figures[0], figures[-1]
        self.assertEqual(threads1, threads0)
        self.assertEqual(files1, files0)
        if os.environ.get("VELMORA_SANITIZE"):
            return  # the sanitizers hold freed memory back on purpose
        self.assertLess(rss1 - rss0, 2048, "resident memory grew by %d kB" % (rss1 - rss0))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1].isdigit():
        soak(int(sys.argv[1]))
    else:
        unittest.main()
