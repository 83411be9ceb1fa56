#!/usr/bin/env python3
"""Network round trips per server-side operation on a slow link, with and
without velmora-reader's cache, in one run. The client reaches the driver
through a relay on loopback that holds every chunk for half the round trip
in each direction (20 ms round trip by default) and counts the lines: each
command line the driver sends is one round trip the user waits for.

    python3 scripts/bench_wan.py [--rtt-ms 20] [--repeat 3] [--write]

Operations are those of a server program (reader-probe) and `opensc-tool -a`
on the server's pcscd. "first" is an operation's first time on the client
connection, "again" the mean of the repeats after it. --write puts the
section into BENCHMARKS.md (replacing an earlier one)."""

import argparse
import os
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from e2e_harness import Client, PrivatePcscd, free_port  # noqa: E402
from driver_e2e_test import SELECT, Probe  # noqa: E402
from bench_report import write_section  # noqa: E402

HEADING = "## velmora-reader on a slow link: network round trips"
TOOL_LIMIT = 30


class Relay:
    """Client <-> driver on loopback: each chunk is forwarded half a round
    trip after it came, in order; lines are counted each way."""

    def __init__(self, driver_port, rtt_ms):
        self.driver_port = driver_port
        self.delay = rtt_ms / 2000.0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.commands = 0  # lines driver -> client
        self.answers = 0   # lines client -> driver (replies and events)
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        driver = socket.create_connection(("127.0.0.1", self.driver_port))
        for source, sink, counter in ((driver, client, "commands"), (client, driver, "answers")):
            thread = threading.Thread(target=self._pump, args=(source, sink, counter), daemon=True)
            thread.start()
            self.threads.append(thread)

    def _pump(self, source, sink, counter):
        pending = []  # (due, data), in order
        wake = threading.Condition()
        done = []

        def sender():
            while True:
                with wake:
                    while not pending and not done:
                        wake.wait()
                    if not pending:
                        break
                    due, data = pending[0]
                now = time.monotonic()
                if due > now:
                    time.sleep(due - now)
                with wake:
                    pending.pop(0)
                try:
                    sink.sendall(data)
                except OSError:
                    break
            try:
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        out = threading.Thread(target=sender, daemon=True)
        out.start()
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            with self.lock:
                setattr(self, counter, getattr(self, counter) + data.count(b"\n"))
            with wake:
                pending.append((time.monotonic() + self.delay, data))
                wake.notify()
        with wake:
            done.append(True)
            wake.notify()

    def count(self):
        with self.lock:
            return self.commands

    def close(self):
        self.listener.close()


def operations(server_env):
    """Name and action of each measured operation; each returns its answer."""
    def tool():
        result = subprocess.run(["opensc-tool", "-a"], env=dict(os.environ, **server_env), capture_output=True,
                                text=True, timeout=TOOL_LIMIT)
        return "OK" if result.returncode == 0 else "ERR " + result.stdout + result.stderr

    return [
        ("connect (card powered up)", lambda p: (p("disconnect unpower"), p.mark(), p("connect"))[-1]),
        ("status", lambda p: p("status")),
        ("ATR attribute", lambda p: p("atr")),
        ("VENDOR_NAME attribute", lambda p: p("attr 10100")),
        ("VENDOR_IFD_VERSION attribute", lambda p: p("attr 10102")),
        ("feature request", lambda p: p("features")),
        ("one APDU (SELECT)", lambda p: p("transmit " + SELECT)),
        ("`opensc-tool -a`", lambda p: (p("disconnect unpower"), p.mark(), tool())[-1]),
    ]


class CountingProbe(Probe):
    """A probe whose mark() moves the start of the count past set-up steps."""

    def __init__(self, pcscd, relay):
        super().__init__(pcscd)
        self.relay = relay
        self.start = 0
        self.started = 0.0

    def mark(self):
        self.start = self.relay.count()
        self.started = time.monotonic()


def measure(cache, rtt_ms, repeat):
    """{operation: (first count, first ms, mean count again, mean ms again)}."""
    port = free_port()
    workstation = PrivatePcscd(("card=t1",))
    server = PrivatePcscd((), remotes=("127.0.0.1:%d cache=%s" % (port, "on" if cache else "off"),))
    if not workstation.start() or not server.start():
        sys.exit(workstation.error or server.error)
    relay = Relay(port, rtt_ms)
    client = probe = None
    try:
        client = Client(relay.port, workstation)
        probe = CountingProbe(server, relay)
        assert probe("wait present 20000") == "OK", server.log()
        assert probe("connect").startswith("OK")
        results = {}
        for name, action in operations(server.env()):
            runs = []
            for _ in range(1 + repeat):
                probe.mark()
                answer = action(probe)
                assert answer.startswith("OK"), (name, answer)
                runs.append((relay.count() - probe.start, (time.monotonic() - probe.started) * 1000))
            again = runs[1:]
            results[name] = (runs[0][0], runs[0][1], sum(r[0] for r in again) / len(again),
                             sum(r[1] for r in again) / len(again))
        return results
    finally:
        if probe is not None:
            probe.close()
        if client is not None:
            client.close()
        relay.close()
        server.stop()
        workstation.stop()


def section(rtt_ms=20, repeat=3):
    before = measure(False, rtt_ms, repeat)
    after = measure(True, rtt_ms, repeat)
    rows = "\n".join(
        f"| {name} | {b[0]} / {b[2]:g} | {after[name][0]} / {after[name][2]:g} | {b[3]:.0f} ms | {after[name][3]:.0f} ms |"
        for name, b in before.items())
    return f"""{HEADING}

`scripts/bench_wan.py`: the client reaches velmora-reader through a relay on loopback that holds
every chunk {rtt_ms / 2:g} ms in each direction ({rtt_ms:g} ms round trip; this kernel has no netem)
and counts the command lines the driver sends: each is one network round trip a server program
waits for. "before" is the driver with `cache=off` (it asks the client every time), "after" the
default. Counts are "first time on the client connection / each time again" (mean of {repeat});
times are the mean of the repeats, as the server program sees them.

| Operation | round trips before | round trips after | time before | time after |
|---|---|---|---|---|
{rows}

- The goal holds when "after / again" is 0 for everything but the APDU, which is 1: connect,
  status and attribute reads are answered from what the driver keeps; only commands with an
  effect on the card cross the network.
- "connect" follows a `SCardDisconnect` with `SCARD_UNPOWER_CARD`, so pcscd powers the card up
  again, as it does for a card left idle: the ATR comes from the driver's cache until the next card
  event (the power-up at the card's insertion asks once). `opensc-tool -a` likewise starts with the
  card powered down; "after" it costs nothing even the first time, as the operations before it
  have filled the cache on this connection. Its time is mostly its own start.
- The `SCardDisconnect` with `SCARD_UNPOWER_CARD` itself costs one round trip (not counted
  above): the power-down reaches the workstation's card as `RECONNECT UNPOWER`, which has an
  effect; the cold start that follows answers with the insertion's ATR, which stays kept.
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rtt-ms", type=float, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    text = section(args.rtt_ms, args.repeat)
    if args.write:
        write_section(HEADING, text)
    print(text)


if __name__ == "__main__":
    main()
