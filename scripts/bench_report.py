"""BENCHMARKS.md, a section at a time: each benchmark script writes its own
section, replacing the one it wrote before and keeping every other."""

import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def write_section(heading, text, path=os.path.join(ROOT, "BENCHMARKS.md")):
    """Puts text (which starts with heading) at the end of the file, in
    place of an earlier section under the same heading."""
    with open(path) as f:
        old = f.read()
    start = old.find(heading)
    if start >= 0:
        end = old.find("\n## ", start + len(heading))
        old = old[:start].rstrip("\n") + ("\n" + old[end:] if end >= 0 else "\n")
    with open(path, "w") as f:
        f.write(old.rstrip("\n") + "\n\n" + text)
