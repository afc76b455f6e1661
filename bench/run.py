"""Runs the Python benchmarks: every bench/bench_<area>.py, or those named.

    PYTHONPATH=build/bench/python python3 bench/run.py [wire ...] [-k substring]

Each module defines benchmarks() -> list of harness.Bench. The exit status is 0
whatever the verdicts; the last line sums them up.
"""

from __future__ import annotations

import argparse
import importlib
import platform
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402


def area_names() -> list[str]:
    return sorted(p.stem[len("bench_"):] for p in HERE.glob("bench_*.py"))


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("areas", nargs="*", help=f"areas to run (default: all of {', '.join(area_names())})")
    ap.add_argument("-k", dest="pattern", default="", help="only benchmarks whose name contains this")
    ap.add_argument("--repeat-scale", type=float, default=1.0, help="multiply every benchmark's repeat count")
    args = ap.parse_args(argv)

    import pyostrel

    print(f"python {platform.python_version()} ({sys.executable}); pyostrel from {pyostrel.__file__}")
    print(f"{harness.clock_info()}; figures are per execution, the minimum of interleaved repeats")

    counts = {"PASS": 0, "FAIL": 0, "info": 0}
    failed = []
    start = time.perf_counter()
    for area in args.areas or area_names():
        module = importlib.import_module(f"bench_{area}")
        print(f"\n== {area} ==", flush=True)
        for bench in module.benchmarks():
            if args.pattern not in bench.name:
                continue
            res = harness.measure(bench, args.repeat_scale)
            counts[res.verdict] += 1
            if res.verdict == "FAIL":
                failed.append(bench.name)
            print(harness.fmt_result(res), flush=True)

    print(
        f"\nsummary: {counts['PASS'] + counts['FAIL']} with a target: {counts['PASS']} PASS, {counts['FAIL']} FAIL"
        f"{' (' + ', '.join(failed) + ')' if failed else ''}; {counts['info']} reported without a target; "
        f"{time.perf_counter() - start:.1f} s"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
