#!/usr/bin/env python3
"""Runs the command blocks that README.md and docs/ tell a reader to run.

A block after the marker <!-- run --> runs; a page's blocks run in order in one bash (set -euo pipefail) from the
top of the source tree. A block marked <!-- output --> after it holds lines that must appear in its output in
order (`*`: any text within a line; a line `...`: any lines).   run_docs.py SOURCE_DIR PAGE...
"""
import fnmatch
import os
import re
import signal
import subprocess
import sys

MARK = re.compile(r"^<!--\s*(run|output)\s*-->\s*$")
SEPARATOR = "@@velmo-docs-block-end@@"


def blocks(path):
    """The page's marked blocks as (kind, first line number, text)."""
    lines = open(path, encoding="utf-8").read().split("\n")
    found, i = [], 0
    while i < len(lines):
        m = MARK.match(lines[i])
        i += 1
        if not m:
            continue
        while i < len(lines) and not lines[i].strip():
            i += 1
        start, body = i + 1, []
        if i < len(lines) and lines[i].startswith("```"):
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            i += 1
        else:
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                body.append(lines[i][4:])
                i += 1
        while body and not body[-1].strip():
            body.pop()
        if not body:
            sys.exit(f"{path}:{start}: a marked block with nothing in it")
        found.append((m.group(1), start, "\n".join(body)))
    return found


def matches(expected, actual):
    """True when the expected lines appear in order in the actual ones."""
    def rec(e, a):
        if e == len(expected):
            return True
        if expected[e].strip() == "...":
            return any(rec(e + 1, k) for k in range(a, len(actual) + 1))
        for k in range(a, len(actual)):
            if fnmatch.fnmatchcase(actual[k].rstrip(), expected[e].rstrip()):
                return rec(e + 1, k + 1)
        return False
    return rec(0, 0)


def run_page(source, page):
    marked = blocks(page)
    runs = [(start, text) for kind, start, text in marked if kind == "run"]
    if not runs:
        return True
    script = ["set -euo pipefail"]
    for _, text in runs:
        script += [text, f"echo {SEPARATOR}"]
    proc = subprocess.Popen(["bash", "-c", "\n".join(script)], cwd=source, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=300)
    except subprocess.TimeoutExpired:
        out = "(did not finish in 300 s)"
    finally:
        try:
            os.killpg(proc.pid, signal.SIGTERM)  # whatever a page left running
        except ProcessLookupError:
            pass
    outputs = out.split(SEPARATOR + "\n")
    name = os.path.relpath(page, source)
    ok, n = True, 0
    for index, (kind, start, text) in enumerate(marked):
        if kind == "run":
            n += 1
            if n > len(outputs) - 1:
                print(f"{name}:{start}: this block failed; what it printed:\n{outputs[-1]}")
                return False
            continue
        if index == 0 or marked[index - 1][0] != "run":
            sys.exit(f"{name}:{start}: an output block that follows no run block")
        actual = outputs[n - 1].split("\n")
        if not matches(text.split("\n"), actual):
            print(f"{name}:{start}: the output differs from the page; it printed:\n{outputs[n - 1]}")
            ok = False
    return ok


def main():
    source = os.path.abspath(sys.argv[1])
    pages = [os.path.abspath(p) for p in sys.argv[2:]]
    failed = [p for p in pages if not run_page(source, p)]
    for p in pages:
        print(f"{os.path.relpath(p, source)}: {'FAILED' if p in failed else 'ran'}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
