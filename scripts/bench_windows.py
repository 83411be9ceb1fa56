#!/usr/bin/env python3
"""The Windows client's command path under Wine, in one run: the round trip
of a command that touches no reader and of a TRANSMIT through the client,
through an earlier build of it (before), and through a minimal Win32
message-loop client that answers the same line at once (the floor); and the
Wine server requests per command of each, from a trace. Writes its section
of BENCHMARKS.md.

    python3 scripts/bench_windows.py --before OLD/velmora-client-e2e.exe [--before-name TEXT]
                                     [--commands N] [--rounds R] [--trace N] [--out FILE]

scripts/bench-windows.sh builds everything and the earlier revision first.
"""

import argparse
import collections
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e_harness  # noqa: E402
from e2e_harness import SERVER, WindowsReaders, WineProfile, WineSession  # noqa: E402

MINGW = os.path.join(ROOT, "build", "mingw")
CLIENT = os.path.join(MINGW, "src", "win32", "velmora-client-e2e.exe")
SIMREADER_DLL = os.path.join(MINGW, "tools", "winscard-sim", "winscard.dll")
MINIMAL = os.path.join(MINGW, "bench-echo-win32.exe")
UNKNOWN = "NOOP"
SELECT = "TRANSMIT T1 00A4040007A0000000041010"
HEADING = "## The Windows client's command path under Wine"
# Where mingw-w64 loads an x86-64 executable: return addresses in it are
# calls the program's own code made.
IMAGE = (0x140000000, 0x150000000)
DEBUG_KEY = r"HKCU\Software\Wine\Debug"


class Run:
    """One client against a server peer playing COMMAND count times."""

    def __init__(self, command, count):
        script = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
        script.write("@sleep 1500\n" + (command + "\n") * count)
        script.close()
        self.script = script.name
        self.server = subprocess.Popen([SERVER, "--port", "0", "--script", self.script, "--once",
                                        "--exit-on-script-end", "--greeting-delay-ms", "300"],
                                       stdout=subprocess.PIPE, text=True)
        self.port = int(self.server.stdout.readline().strip().rsplit(":", 1)[1])

    def finish(self, limit=600):
        """(median us, p99 us, first reply line)."""
        reply, summary = "", ""
        for line in self.server.stdout:
            if line.startswith("< ") and not reply:
                reply = re.sub(r"\s+\(\d+ us\)$", "", line[2:].rstrip("\n"))
            if " commands, " in line:
                summary = line
        self.server.wait(limit)
        os.unlink(self.script)
        m = re.search(r"median (\d+) us, p99 (\d+) us", summary)
        if not m:
            raise RuntimeError("no timing from the server peer: " + summary)
        return int(m.group(1)), int(m.group(2)), reply


def start_client(exe, port, readers, debug="-all", log=None):
    folder = tempfile.mkdtemp(prefix="velmora-bench.", dir="/tmp")
    shutil.copy(exe, os.path.join(folder, "velmora-client-e2e.exe"))
    shutil.copy(SIMREADER_DLL, os.path.join(folder, "winscard.dll"))
    env = dict(os.environ, **WineSession.env())
    env.update(readers.env())
    env.update(WineProfile().env())
    env.update(VELMORA_TEST_PORT=str(port), WINEDEBUG=debug, WINEDLLOVERRIDES="winscard=n")
    env.pop("VELMORA_TEST_HOOK", None)
    proc = subprocess.Popen(["wine", os.path.join(folder, "velmora-client-e2e.exe")], env=env, cwd=folder,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=log if log is not None else subprocess.DEVNULL)
    return proc, folder


def start_minimal(port, reply, debug="-all", log=None):
    env = dict(os.environ, **WineSession.env())
    env["WINEDEBUG"] = debug
    proc = subprocess.Popen(["wine", MINIMAL, str(port), reply], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=log if log is not None else subprocess.DEVNULL)
    return proc, None


def stop(proc, folder):
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    if folder:
        shutil.rmtree(folder, ignore_errors=True)


def measure(start, command, count):
    run = Run(command, count)
    try:
        proc, folder = start(run.port)
    except Exception:
        run.server.kill()
        raise
    try:
        return run.finish()
    finally:
        # The client ends when the server peer closes; the client build
        # stays in the tray, so it is ended here.
        proc.kill() if folder else None
        stop(proc, folder)


def calls(start, command, count):
    """Calls the client's own code makes into the window system (user32)
    and Windows Sockets (ws2_32) while it answers count commands, by name,
    from a relay trace; and all user32 entries, nested ones included."""
    log = tempfile.TemporaryFile("w+")
    run = Run(command, count)
    try:
        proc, folder = start(run.port, log)
    except Exception:
        run.server.kill()
        raise
    try:
        run.finish()
    finally:
        proc.kill() if folder else None
        stop(proc, folder)
    log.seek(0)
    names = collections.Counter()
    for line in log:
        m = re.match(r"^[0-9a-f]+:Call (user32|ws2_32)\.(\w+)\(.*\) ret=([0-9a-f]+)$", line)
        if not m:
            continue
        names["all " + m.group(1)] += 1
        if IMAGE[0] <= int(m.group(3), 16) < IMAGE[1]:
            names[m.group(1) + "." + m.group(2)] += 1
    return names


def per_command(start, command, small, large):
    """Calls per command: the difference of two runs, so that start-up and
    the end fall out."""
    a = calls(start, command, small)
    b = calls(start, command, large)
    return {name: (b[name] - a[name]) / (large - small) for name in set(a) | set(b)}


def relay_only(dlls):
    """Relay traces only these DLLs' entries (a debug setting of the prefix)."""
    env = dict(os.environ, **WineSession.env())
    args = ["wine", "reg"] + (["add", DEBUG_KEY, "/v", "RelayInclude", "/d", dlls, "/f"] if dlls else
                              ["delete", DEBUG_KEY, "/v", "RelayInclude", "/f"])
    subprocess.run(args, env=env, capture_output=True)


def text_of(counts, top=6):
    named = ", ".join("`%s` %.1f" % (k.split(".", 1)[1], v)
                      for k, v in sorted(counts.items(), key=lambda kv: -kv[1])[:top])
    return "%.1f (%s)" % (sum(counts.values()), named or "none")


def calls_line(label, counts):
    user = {k: v for k, v in counts.items() if k.startswith("user32.") and v > 0.05}
    sockets = {k: v for k, v in counts.items() if k.startswith("ws2_32.") and v > 0.05}
    return (f"- {label}: window system (`user32`) {text_of(user)}; with the calls inside `user32` "
            f"{counts.get('all user32', 0):.1f}; Windows Sockets {text_of(sockets)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", required=True, help="an earlier build's velmora-client-e2e.exe")
    parser.add_argument("--before-name", default="the earlier build")
    parser.add_argument("--commands", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--trace", type=int, default=200, help="commands in the larger traced run")
    parser.add_argument("--out", default=os.path.join(ROOT, "BENCHMARKS.md"))
    args = parser.parse_args()

    readers = WindowsReaders(("card=t1,vendor=Bench",))
    e2e_harness.SIMREADER_DLL = SIMREADER_DLL
    readers.start()
    try:
        clients = {
            "after": lambda port, log=None, exe=CLIENT: start_client(
                exe, port, readers, "+relay" if log else "-all", log),
            "before": lambda port, log=None, exe=args.before: start_client(
                exe, port, readers, "+relay" if log else "-all", log),
        }
        # The minimal client answers with the client's own reply text.
        replies = {}
        for command in (UNKNOWN, SELECT):
            replies[command] = measure(clients["after"], command, 3)[2]
        for command in (UNKNOWN, SELECT):
            reply = replies[command]
            clients["minimal " + command] = (lambda port, log=None, reply=reply: start_minimal(
                port, reply, "+relay" if log else "-all", log))
        samples = collections.defaultdict(list)
        for _ in range(args.rounds):
            for command in (UNKNOWN, SELECT):
                for name in ("after", "minimal " + command, "before"):
                    samples[(name.split(" ")[0], command)].append(
                        measure(clients[name], command, args.commands)[:2])
        small = max(args.trace // 4, 10)
        relay_only("user32.*;ws2_32.*")
        try:
            counts = {name: per_command(clients[name if name != "minimal" else "minimal " + UNKNOWN], UNKNOWN,
                                        small, args.trace)
                      for name in ("after", "before", "minimal")}
        finally:
            relay_only(None)
    finally:
        readers.stop()

    def med(name, command, i):
        return statistics.median(s[i] for s in samples[(name, command)])

    rows = []
    for command in (UNKNOWN, SELECT):
        floor = med("minimal", command, 0)
        for name, label in (("minimal", "minimal Win32 message-loop client (`bench-echo-win32.exe`), the floor"),
                            ("after", "`velmora-client-e2e.exe`, this build"),
                            ("before", "`velmora-client-e2e.exe`, " + args.before_name)):
            rows.append(f"| `{command}` | {label} | {med(name, command, 0):.0f} µs | {med(name, command, 1):.0f} µs | "
                        f"**{med(name, command, 0) / floor:.1f}×** |")
    lines = [calls_line(label, counts[name]) for name, label in
             (("after", "this build"), ("before", args.before_name), ("minimal", "the minimal client"))]
    section = f"""{HEADING}

Taken by `scripts/bench-windows.sh` in one run under Wine (private Xvfb and prefix, build
`mingw`). The server peer (`velmora-server`, a Linux program) plays each command to the
client, one at a time; the simulated reader sits inside `winscard.dll` beside the client.
Medians of {args.rounds} alternating rounds of {args.commands} commands each; the ratio is
to the minimal client's median for the same command in the same run. Goal: within 3×.

| Command | Client | median | p99 | to the minimal client |
|---|---|---|---|---|
{chr(10).join(rows)}

Calls into the window system per `{UNKNOWN}`, from a `WINEDEBUG=+relay` trace limited to
`user32` and `ws2_32` (`RelayInclude`): the calls of a run of {args.trace} commands less those
of a run of {small}, divided by the {args.trace - small} commands between, so that start-up
and the end fall out. Counted are the calls the program's own code makes (return address in
its image), by name; "with the calls inside `user32`" adds those `user32` makes to itself on
their behalf (a `SetDlgItemTextA` is a `SendMessage` to the control and its window
procedure). Under Wine nearly each of them is a round trip to the Wine server.

{chr(10).join(lines)}
"""
    old = open(args.out).read() if os.path.exists(args.out) else "# Benchmarks\n"
    pattern = re.compile(re.escape(HEADING) + r".*?(?=^## |\Z)", re.S | re.M)
    new = pattern.sub(lambda _: section + "\n", old) if pattern.search(old) else old.rstrip("\n") + "\n\n" + section
    with open(args.out, "w") as f:
        f.write(new)
    print(section)


if __name__ == "__main__":
    main()
