#!/usr/bin/env python3
"""Measures the client in one run and writes BENCHMARKS.md: a direct
SCardTransmit through pcscd to the simulated reader (the floor), the same
APDU through the server peer, the client and pcscd (and through an earlier
build of the client, when given, for a before and after), the system calls
per command, card event latency against pcscd's own notification, the
Windows build under Wine (when built), the client's idle cost, its memory
after start and after a soak, and its start-up time.

    python3 scripts/benchmarks.py [--commands N] [--idle SECONDS] [--out FILE]
                                  [--baseline CLIENT [--baseline-name TEXT]]
"""

import argparse
import collections
import os
import re
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e_harness  # noqa: E402
from card_swap_pin_e2e_test import PCSC_PROGRAM  # noqa: E402
from e2e_harness import BUILD, CLIENT, SERVER, Client, PrivatePcscd  # noqa: E402
import soak  # noqa: E402
import bench_chain  # noqa: E402
import bench_wan  # noqa: E402

SELECT = "TRANSMIT T1 00A4040007A0000000041010"
TICKS = os.sysconf("SC_CLK_TCK")


def direct_transmit(count):
    out = subprocess.run([os.path.join(BUILD, "bench", "bench_pcsc"), str(count), "0", "0"],
                         capture_output=True, text=True, check=True).stdout
    m = re.search(r"SELECT, 2-byte answer\s+n=\d+\s+median\s+([\d.]+) us\s+p99\s+([\d.]+) us", out)
    return float(m.group(1)), float(m.group(2))


def play(command, count, start_client):
    """Median and p99 (us) and commands per second, as the server peer times
    them, with the client that start_client(port) starts."""
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        # Let start-up (reader open, first card event) settle before timing.
        f.write("@sleep 1000\n" + (command + "\n") * count)
        script = f.name
    server = subprocess.Popen([SERVER, "--port", "0", "--script", script, "--once",
                               "--exit-on-script-end", "--greeting-delay-ms", "300"],
                              stdout=subprocess.PIPE, text=True)
    port = int(server.stdout.readline().strip().rsplit(":", 1)[1])
    stop = start_client(port)
    try:
        started = None
        summary = ""
        for line in server.stdout:
            if line.startswith("> ") and started is None:
                started = time.monotonic()
            if " commands, " in line:
                summary = line
        elapsed = time.monotonic() - started if started is not None else 0.0
        server.wait()
        if started is None:  # no commands: only the start and the end were wanted
            return 0, 0, 0.0
        m = re.search(r"median (\d+) us, p99 (\d+) us", summary)
        return int(m.group(1)), int(m.group(2)), count / elapsed
    finally:
        stop()
        os.unlink(script)


def through_client(pcscd, command, count, binary=CLIENT):
    def start(port):
        e2e_harness.CLIENT = binary
        try:
            return Client(port, pcscd).close
        finally:
            e2e_harness.CLIENT = CLIENT
    return play(command, count, start)


def syscalls_per_command(pcscd, binary, count):
    """System calls of the client's process per TRANSMIT, by name: strace
    attached to every thread of a running client over count commands, less
    the same over none, so that the greeting and the end cancel out."""
    totals = []
    for n in (0, count):
        with tempfile.NamedTemporaryFile(suffix=".strace", delete=False) as f:
            trace = f.name

        def start(port):
            e2e_harness.CLIENT = binary
            try:
                client = Client(port, pcscd)
            finally:
                e2e_harness.CLIENT = CLIENT
            tracer = subprocess.Popen(["strace", "-f", "-qq", "-o", trace, "-p", str(client.proc.pid)],
                                      stderr=subprocess.DEVNULL)
            time.sleep(0.3)  # attached before the first command, due a second after start

            def stop():
                tracer.send_signal(2)  # detaches
                tracer.wait()
                client.close()
            return stop

        play(SELECT, n, start)
        calls = collections.Counter()
        with open(trace, errors="replace") as f:
            for line in f:
                m = re.match(r"\d+\s+(\w+)\(", line)
                if m:
                    calls[m.group(1)] += 1
        os.unlink(trace)
        totals.append(calls)
    per = {k: (totals[1][k] - totals[0].get(k, 0)) / count for k in totals[1]}
    return {k: v for k, v in per.items() if v >= 0.05}


def event_latency(pcscd, count):
    """Median and p99 (us) from a card change on the simulated reader's
    control channel to the event line at the server, for removals and
    insertions; in the same runs, the same for another pcsc-lite program's
    waiting SCardGetStatusChange to return with the change (pcscd's own
    notification, taken the same way)."""
    server = soak.RawServer()
    client = Client(server.port, pcscd)
    control = socket.socket(socket.AF_UNIX)
    waiter = subprocess.Popen([sys.executable, "-c", PCSC_PROGRAM, "count", pcscd.readers()[0]],
                              env=dict(os.environ, **pcscd.env()), stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE)
    client_samples = {"removal": [], "insertion": []}
    pcscd_samples = {"removal": [], "insertion": []}
    try:
        server.accept()
        client.wait_state(lambda s: s["link"] >= 4 and s["1006"]["checked"], "an open reader")
        control.connect(pcscd.reader(0).path)
        replies = control.makefile("rb")
        waiter.stdin.write(b"0\n")
        waiter.stdin.flush()
        changes = int(waiter.stdout.readline())
        for i in range(2 * count):
            what = "removal" if i % 2 == 0 else "insertion"
            changes += 1
            waiter.stdin.write(b"%d\n" % changes)  # waits from now on
            waiter.stdin.flush()
            time.sleep(0.1)  # both waits set again, the dialog has drawn the last event
            began = time.perf_counter()
            control.sendall(b"REMOVE\n" if what == "removal" else b"INSERT\n")
            pending = {server.conn.fileno(): "client", waiter.stdout.fileno(): "pcscd"}
            while pending:
                ready, _, _ = select.select(list(pending), [], [], 10)
                if not ready:
                    raise AssertionError("a card event was not seen")
                for fd in ready:
                    took = (time.perf_counter() - began) * 1e6
                    os.read(fd, 4096)
                    (client_samples if pending.pop(fd) == "client" else pcscd_samples)[what].append(took)
            replies.readline()
    finally:
        waiter.stdin.close()
        waiter.wait(20)
        control.close()
        client.close()
        server.close()

    def figures(samples):
        return {k: (percentile(v, 50), percentile(v, 99)) for k, v in samples.items()}
    return figures(client_samples), figures(pcscd_samples)


def percentile(samples, p):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, len(ordered) * p // 100)]


def under_wine(count):
    """The Windows build's round trip under Wine, with its simulated
    readers inside winscard.dll: (median, p99) in us, or None if not built."""
    exe = os.path.join(e2e_harness.ROOT, "build", "mingw", "src", "win32", "velmora-client-e2e.exe")
    dll = os.path.join(e2e_harness.ROOT, "build", "mingw", "tools", "winscard-sim", "winscard.dll")
    if not (os.path.exists(exe) and os.path.exists(dll) and shutil.which("wine")):
        return None
    readers = e2e_harness.WindowsReaders(("card=t1,vendor=Bench",))
    readers.start()
    saved = (e2e_harness.CLIENT, e2e_harness.SIMREADER_DLL)
    e2e_harness.CLIENT, e2e_harness.SIMREADER_DLL = exe, dll
    try:
        def start(port):
            return e2e_harness.WineClient(port, readers).close
        return play(SELECT, count, start)[:2]
    finally:
        e2e_harness.CLIENT, e2e_harness.SIMREADER_DLL = saved
        readers.stop()


def through_echo(count):
    """The same path with a client that answers at once: the peer and sockets."""
    def start(port):
        echo = subprocess.Popen([os.path.join(BUILD, "bench", "bench_echo"), str(port)])
        return lambda: (echo.terminate(), echo.wait())
    return play("STATE", count, start)


def cpu_time(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def switches_by_thread(pid):
    counts = {}
    for task in os.listdir("/proc/%d/task" % pid):
        total = 0
        with open("/proc/%d/task/%s/status" % (pid, task)) as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split(":")[1])
        counts[task] = total
    return counts


def idle_cost(pcscd, seconds):
    server = soak.RawServer()
    client = Client(server.port, pcscd)
    try:
        server.accept()
        client.wait_state(lambda s: s["link"] >= 4 and s["1006"]["checked"], "an open reader")
        client.sock.close()  # the control channel stays quiet too
        client.sock = None
        # Qt's lookup threads end 30 s after their last lookup; let them go first.
        time.sleep(32)
        pid = client.proc.pid
        cpu0, before = cpu_time(pid), switches_by_thread(pid)
        time.sleep(seconds)
        cpu1, after = cpu_time(pid), switches_by_thread(pid)
        wakeups = sum(n - before.get(tid, 0) for tid, n in after.items())
        main = after.get(str(pid), 0) - before.get(str(pid), 0)
        ended = len(set(before) - set(after))
        rss = soak.process_figures(pid)[0]
        return cpu1 - cpu0, wakeups / seconds, main / seconds, ended, rss
    finally:
        client.close()
        server.close()


def start_up(pcscd, runs=5):
    """Seconds from starting the client to its connection being accepted."""
    times = []
    for _ in range(runs):
        server = soak.RawServer()
        began = time.monotonic()
        client = Client(server.port, pcscd)
        server.listener.settimeout(20)
        server.conn, _ = server.listener.accept()
        times.append(time.monotonic() - began)
        client.close()
        server.close()
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--commands", type=int, default=5000)
    parser.add_argument("--idle", type=int, default=30)
    parser.add_argument("--soak", type=int, default=100000)
    parser.add_argument("--out", default=os.path.join(ROOT, "BENCHMARKS.md"))
    parser.add_argument("--baseline", help="an earlier build's velmora-client-e2e, measured beside this one")
    parser.add_argument("--baseline-name", default="this build again")
    parser.add_argument("--events", type=int, default=100)
    # On a small shared machine one round's median swings by half from the
    # next (which processor each wake-up lands on); many short rounds settle it.
    parser.add_argument("--rounds", type=int, default=11)
    args = parser.parse_args()

    pcscd = PrivatePcscd(("card=t1,vendor=Bench",))
    if not pcscd.start():
        sys.exit(pcscd.error)
    try:
        os.environ.update(pcscd.env())
        # Alternate the paths so that other load on the machine falls on all.
        baseline = args.baseline or CLIENT  # without one, this build twice
        rounds = [(direct_transmit(args.commands), through_client(pcscd, SELECT, args.commands),
                   through_echo(args.commands),
                   through_client(pcscd, SELECT, args.commands, baseline)) for _ in range(args.rounds)]
        d50, d99 = (statistics.median(r[0][i] for r in rounds) for i in (0, 1))
        t50, t99, tps = (statistics.median(r[1][i] for r in rounds) for i in (0, 1, 2))
        e50, e99, eps = (statistics.median(r[2][i] for r in rounds) for i in (0, 1, 2))
        b50, b99, bps = (statistics.median(r[3][i] for r in rounds) for i in (0, 1, 2))
        s50, s99, sps = through_client(pcscd, "STATE", args.commands)
        calls = syscalls_per_command(pcscd, CLIENT, 2000)
        base_calls = syscalls_per_command(pcscd, baseline, 2000)
        events, pcscd_events = event_latency(pcscd, args.events)
        wine = under_wine(min(args.commands, 2000))
        cpu, wakeups, main_wakeups, ended, rss_start = idle_cost(pcscd, args.idle)
        startup = start_up(pcscd)
    finally:
        pcscd.stop()
    figures = soak.soak(args.soak, report=lambda _: None)
    rss_soak = figures[-1][0]

    added = t50 - d50
    own = added - e50
    base_own = b50 - d50 - e50

    def calls_text(counts):
        named = ", ".join("%s %.1f" % (k, v) for k, v in sorted(counts.items(), key=lambda kv: -kv[1]))
        return "%.1f (%s)" % (sum(counts.values()), named)

    event_rows = "\n".join(
        f"| {what} | {events[what][0]:.0f} µs | {events[what][1]:.0f} µs | {pcscd_events[what][0]:.0f} µs | "
        f"{pcscd_events[what][1]:.0f} µs | {events[what][0] - pcscd_events[what][0]:.0f} µs |"
        for what in ("insertion", "removal"))
    wine_text = ("not measured: no `mingw` build" if wine is None else
                 f"median {wine[0]} µs, p99 {wine[1]} µs: **{wine[0] / t50:.1f}×** the Linux client's median "
                 f"(informational: under Wine the simulated reader sits inside `winscard.dll`, without pcscd)")
    text = f"""# Benchmarks

Taken by `scripts/benchmarks.sh` on this machine in one run (2 vCPUs, build
`linux`, RelWithDebInfo). Everything runs on loopback: a private pcscd with
the simulated reader, `velmora-server` as the server, the client offscreen
with its dialog open.

## One command

| Path | median | p99 | commands/s |
|---|---|---|---|
| direct `SCardTransmit` through pcscd (SELECT, 2-byte answer), the floor | {d50:.1f} µs | {d99:.1f} µs | – |
| `{SELECT}` through server peer, client and pcscd | {t50} µs | {t99} µs | {tps:.0f} |
| `STATE` through server peer and client (no PC/SC call) | {s50} µs | {s99} µs | {sps:.0f} |
| a line through server peer and a client that answers at once (`bench_echo`): peer and sockets | {e50} µs | {e99} µs | {eps:.0f} |
| the same `TRANSMIT` through {args.baseline_name} | {b50} µs | {b99} µs | {bps:.0f} |

- Ratio of the client's round trip to the direct one: **{t50 / d50:.1f}×** at the median.
- The client's own share at the median: **{own:.0f} µs** (client round trip, less the direct
  transmit, less the peer-and-sockets floor); {args.baseline_name}: {base_own:.0f} µs. Goal:
  at most 15 µs, and a p99 of at most 150 µs for the whole round trip. With the server peer and
  loopback TCP counted in, the client path adds {added:.0f} µs to the direct transmit.
- System calls of the client's process per `TRANSMIT` (strace, {2000} commands less none):
  {calls_text(calls)}; {args.baseline_name}: {calls_text(base_calls)}. Of these, pcsc-lite's
  client library makes 10 per `SCardTransmit` (three sends of header, request and APDU, each
  after a poll for room, and two reads of the answer, each after a poll); the rest are the
  client's own: the event loop's wait, one read of the command and one send of the reply.
- The interpreter itself takes about 1 µs for a 255-byte TRANSMIT against the in-process fake
  (below); the rest of the client's share is its event loop, the socket calls and the PC/SC
  client library's own socket to pcscd.
- Medians of {args.rounds} alternating rounds of {args.commands} commands each, one at a time: the server peer sends the next command only after
  the reply, so commands/s is the inverse of the round trip, not a throughput limit. The p99
  figures depend on other load on this machine's two processors; the ratios and the
  medians, taken in the same rounds, much less.

## Card events

From the `REMOVE` or `INSERT` line on the simulated reader's control channel to the event line
at the server, over {args.events} of each, against pcscd's own notification: another pcsc-lite
program's waiting `SCardGetStatusChange` returning with the same change, timed by the same
Python loop in the same runs:

| Change | client, median | client, p99 | pcscd alone, median | pcscd alone, p99 | the client adds |
|---|---|---|---|---|---|
{event_rows}

The client's part is its monitor thread's wake-up in pcsc-lite's status wait (which reads every
reader's state again before it returns), the hand-over to the user-interface thread and the send
of the line.

## The Windows build under Wine

`{SELECT}` through the server peer and `velmora-client-e2e.exe` under Wine: {wine_text}.

## Idle cost

Reader open, connection idle, control channel closed, over {args.idle} s:

| CPU time | wake-ups per second, all threads | of them the user-interface thread | threads that ended |
|---|---|---|---|
| {cpu:.2f} s | {wakeups:.2f} | {main_wakeups:.2f} | {ended} |

Goal: none. The event loop has no timers while nothing happens, and the card monitor blocks in
`SCardGetStatusChange` without a timeout. What wake-ups remain are on the monitor thread, inside
pcsc-lite's client library, which checks on its connection to pcscd every few seconds during
that wait.

## Memory and start-up

| | |
|---|---|
| resident memory after start (reader open, connected) | {rss_start / 1024:.1f} MiB |
| resident memory after a soak of {args.soak} commands | {rss_soak / 1024:.1f} MiB |
| start to "Verbindung erfolgreich aufgebaut." (connection accepted), median of 5 | {startup * 1000:.0f} ms |

## The interpreter alone

`scripts/bench.sh` runs `InterpretCommand` against the in-process fake reader (Google
Benchmark): the client's own cost per command without sockets or pcscd.
"""
    text += "\n" + bench_chain.section(args.commands)
    text += "\n" + bench_wan.section()
    # scripts/bench-windows.sh writes a section of its own; it stays.
    if os.path.exists(args.out):
        kept = re.search(r"^## The Windows client's command path under Wine.*?(?=^## |\Z)", open(args.out).read(),
                         re.S | re.M)
        if kept:
            text = text.rstrip("\n") + "\n\n" + kept.group(0)
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
