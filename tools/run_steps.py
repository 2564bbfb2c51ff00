"""Runs `make test`'s steps one after another and ends with a table of each step's
duration, also when a step fails (the run stops there, as make would).

    run_steps.py STEP...            run them (each as `make STEP`)
    run_steps.py --check-doc DOC STEP...
                                    DOC's step table names exactly these steps, in order
"""
from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import time
from typing import List, Sequence, Tuple


def documented_steps(doc: str) -> List[str]:
    """The first column of every table row whose first cell is a backticked name."""
    with open(doc, encoding="utf-8") as f:
        return re.findall(r"^\| `([a-z0-9-]+)` \|", f.read(), re.MULTILINE)


def check_doc(doc: str, steps: Sequence[str]) -> int:
    listed = documented_steps(doc)
    if listed == list(steps):
        print(f"{doc}: the {len(steps)} steps of make test, in order")
        return 0
    print(f"{doc} lists the steps of make test as:\n  {' '.join(listed)}\nbut make runs:\n  {' '.join(steps)}",
          file=sys.stderr)
    return 1


def table(rows: Sequence[Tuple[str, float, str]]) -> str:
    width = max(len(step) for step, _, _ in rows)
    lines = [f"{'step':<{width}}  {'seconds':>8}  result"]
    lines += [f"{step:<{width}}  {seconds:8.1f}  {result}" for step, seconds, result in rows]
    total = sum(seconds for _, seconds, _ in rows)
    lines.append(f"{'total':<{width}}  {total:8.1f}")
    return "\n".join(lines)


def run(steps: Sequence[str]) -> int:
    make = os.environ.get("MAKE", "make")
    rows: List[Tuple[str, float, str]] = []
    status = 0
    for step in steps:
        started = time.monotonic()
        try:
            code = subprocess.call([make, "--no-print-directory", step])
        except KeyboardInterrupt:
            code = 128 + signal.SIGINT
        rows.append((step, time.monotonic() - started, "ok" if code == 0 else f"FAILED ({code})"))
        if code != 0:
            status = 1
            break
    print("\n" + table(rows))
    failed = sum(result != "ok" for _, _, result in rows)
    print(f"steps: {len(rows) - failed} passed, {failed} failed", flush=True)
    return status


def main(argv: Sequence[str]) -> int:
    if len(argv) >= 2 and argv[0] == "--check-doc":
        return check_doc(argv[1], argv[2:])
    return run(argv)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
