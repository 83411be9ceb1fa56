#!/usr/bin/env python3
"""pcscd's processor use at rest after server programs came and went: a
server pcscd with velmora-reader lending the client's card (the real client
on a workstation pcscd with the simulated reader), PROGRAMS programs each
connecting to the lent reader and leaving, then the CPU ticks (utime + stime
from /proc/PID/stat) of each pcscd over SECONDS. Beside it, the same for a
pcscd without the driver (no reader at all) and the workstation's pcscd with
the simulated reader, which programs used as well.

    python3 scripts/bench_pcscd_idle.py [--programs N] [--seconds S] [--before DIR] [--write]

--before DIR measures DIR/libifdvelmora.so and DIR/libsimreader.so (e.g. an
earlier revision's) the same way in the same run, for a column beside.
--write puts the section into BENCHMARKS.md (replacing an earlier one)."""

import argparse
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from e2e_harness import Client, PrivatePcscd, free_port  # noqa: E402
from driver_e2e_test import PROBE, Probe  # noqa: E402
from bench_report import write_section  # noqa: E402

HEADING = "## pcscd at rest after programs came and went"
TICK_HZ = os.sysconf("SC_CLK_TCK")


def ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def programs_come_and_go(pcscd, count):
    env = dict(os.environ, **pcscd.env())
    for _ in range(count):
        result = subprocess.run([PROBE], input="connect\ntransmit 00A4040007A0000000041010\n", env=env,
                                capture_output=True, text=True, timeout=30)
        if not result.stdout.startswith("OK"):
            raise SystemExit("a program could not use the card: " + result.stdout + result.stderr)


def measure(programs, seconds, drivers=None):
    saved = dict(os.environ)
    if drivers is not None:
        os.environ.update(VELMORA_READER_DRIVER=os.path.join(drivers, "libifdvelmora.so"),
                          SIMREADER_DRIVER=os.path.join(drivers, "libsimreader.so"))
    try:
        return measure_with_drivers(programs, seconds)
    finally:
        os.environ.clear()
        os.environ.update(saved)


def measure_with_drivers(programs, seconds):
    port = free_port()
    workstation = PrivatePcscd(("card=t1",))
    server = PrivatePcscd((), remotes=("127.0.0.1:%d" % port,))
    empty = PrivatePcscd(())
    client = probe = None
    try:
        for pcscd in (workstation, server, empty):
            if not pcscd.start():
                raise SystemExit(pcscd.error)
        client = Client(port, workstation)
        probe = Probe(server)
        if probe("wait present 10000") != "OK":
            raise SystemExit("the lent card did not show:\n" + server.log())
        programs_come_and_go(server, programs)
        programs_come_and_go(workstation, programs)
        time.sleep(1)  # the last program's own traffic is over
        pids = {"server": server.process.pid, "workstation": workstation.process.pid, "empty": empty.process.pid}
        before = {name: ticks(pid) for name, pid in pids.items()}
        time.sleep(seconds)
        return {name: ticks(pid) - before[name] for name, pid in pids.items()}
    finally:
        if probe is not None:
            probe.close()
        if client is not None:
            client.close()
        for pcscd in (empty, server, workstation):
            pcscd.stop()


def section(result, programs, seconds, before=None, label=""):
    rows = [("server, with velmora-reader lending the card", "server"),
            ("workstation, with the simulated reader", "workstation"),
            ("without velmora-reader (a simulated reader no program used)", "empty")]
    if before is None:
        table = ["| pcscd | CPU ticks in %d s |" % seconds, "|---|---|"]
        table += ["| %s | %d |" % (text, result[key]) for text, key in rows]
    else:
        table = ["| pcscd | CPU ticks in %d s | %s |" % (seconds, label), "|---|---|---|"]
        table += ["| %s | %d | %d |" % (text, result[key], before[key]) for text, key in rows]
    return "\n".join([
        HEADING,
        "",
        "`scripts/bench_pcscd_idle.py`: %d server programs (`reader-probe`: connect, one SELECT, exit) use the"
        % programs,
        "lent card one after another, and as many use the simulated reader on the workstation's pcscd; then",
        "each pcscd's CPU ticks (utime + stime in /proc/PID/stat, %d per second) over %d s with nothing"
        % (TICK_HZ, seconds),
        "happening. The client stays connected throughout.",
        "",
        *table,
        "",
        "Goal: 0, as without the driver. pcscd stops a reader's polling wait whenever a program",
        "connects, only to start it again; a driver that keeps the stop request standing makes every",
        "later wait return at once, and pcscd's polling thread spins: the earlier drivers' column, where",
        "the two spinning pcscd share this machine's 2 vCPUs. Both columns come from the same run.",
        "",
    ])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--programs", type=int, default=100)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--before", metavar="DIR")
    parser.add_argument("--label", default="the drivers of --before")
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    result = measure(args.programs, args.seconds)
    before = measure(args.programs, args.seconds, args.before) if args.before else None
    text = section(result, args.programs, args.seconds, before, args.label)
    print(text)
    if args.write:
        write_section(HEADING, text)


if __name__ == "__main__":
    main()
