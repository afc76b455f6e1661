"""Side-by-side timing of pyostrel against a baseline in the same process.

A benchmark module (bench/bench_<area>.py) defines ``benchmarks()``, which
builds its inputs, checks once that both sides agree, and returns a list of
``Bench``. The runner times each pair interleaved and keeps the minimum of the
repeats, the figure least disturbed by the rest of the machine.

    def benchmarks():
        pkg = make_package()
        check_same_output(pkg)  # once, outside the timing
        return [Bench("NetPackage.encode_raw", Stmt("f()", f=pkg.encode_raw),
                      Stmt("f(b)", f=baseline, b=body), target=1.2)]  # AT_MOST
"""

from __future__ import annotations

import gc
import time
import timeit
from dataclasses import dataclass
from typing import Callable, Optional, Union

# Directions of a target.
AT_MOST = "at_most"  # pyostrel time / baseline time <= target
FASTER = "faster"  # baseline time / pyostrel time >= target


class Stmt:
    """A statement timed in a tight loop, with its names bound as locals of the
    loop function, so that looking them up costs the same on both sides."""

    def __init__(self, code: str, **names):
        self.code = code
        self.names = names


Side = Union[Stmt, Callable[[], object]]


@dataclass
class Bench:
    name: str
    ours: Side  # the pyostrel side
    base: Side  # the baseline
    target: Optional[float] = None  # None: reported without PASS/FAIL
    direction: str = AT_MOST
    number: int = 1  # executions per sample
    repeat: int = 7  # samples per side
    subtract_empty: bool = False  # take the cost of the bare loop off both sides
    nbytes: Optional[int] = None  # bytes per execution, to report MB/s
    base_label: str = ""  # what the baseline is, for the report


@dataclass
class Result:
    bench: Bench
    ours_s: float  # seconds per execution
    base_s: float
    empty_s: float = 0.0

    @property
    def ratio(self) -> float:
        """In the target's direction: a slowdown for AT_MOST, a speed-up for FASTER."""
        if self.bench.direction == FASTER:
            return self.base_s / self.ours_s
        return self.ours_s / self.base_s

    @property
    def verdict(self) -> str:
        t = self.bench.target
        if t is None:
            return "info"
        ok = self.ratio >= t if self.bench.direction == FASTER else self.ratio <= t
        return "PASS" if ok else "FAIL"


def _timer(side: Side) -> timeit.Timer:
    stmt = side if isinstance(side, Stmt) else Stmt("f()", f=side)
    env = {f"_bound_{k}": v for k, v in stmt.names.items()}
    setup = "\n".join(f"{k} = _bound_{k}" for k in stmt.names) or "pass"
    return timeit.Timer(stmt.code, setup=setup, globals=env)


def measure(bench: Bench, repeat_scale: float = 1.0) -> Result:
    if bench.direction not in (AT_MOST, FASTER):
        raise ValueError(f"{bench.name}: direction must be AT_MOST or FASTER")
    timers = {"ours": _timer(bench.ours), "base": _timer(bench.base)}
    if bench.subtract_empty:
        timers["empty"] = timeit.Timer("pass")
    # One untimed pass each: caches, allocator pools, lazy initialisation.
    for t in timers.values():
        t.timeit(max(1, bench.number // 10))
    best = {k: float("inf") for k in timers}
    order = list(timers)
    repeat = max(3, round(bench.repeat * repeat_scale))
    gc.collect()  # timeit itself keeps the collector off while it times
    for r in range(repeat):
        # Interleaved, and the order turned each round, so that a slow moment
        # of the machine falls on all sides alike.
        for k in order[r % len(order):] + order[:r % len(order)]:
            best[k] = min(best[k], timers[k].timeit(bench.number))
    per = {k: v / bench.number for k, v in best.items()}
    empty = per.get("empty", 0.0)
    return Result(bench, per["ours"] - empty, per["base"] - empty, empty)


def fmt_time(s: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if abs(s) >= scale:
            return f"{s / scale:8.3f} {unit}"
    return f"{s / 1e-9:8.2f} ns"


def fmt_result(res: Result) -> str:
    b = res.bench
    parts = [f"{b.name:<38}", f"pyostrel {fmt_time(res.ours_s)}", f"baseline {fmt_time(res.base_s)}"]
    if b.direction == FASTER:
        parts.append(f"speed-up {res.ratio:6.2f}x")
        target = f">= {b.target:g}x faster" if b.target is not None else "-"
    else:
        parts.append(f"ratio {res.ratio:6.2f}x")
        target = f"<= {b.target:g}x" if b.target is not None else "-"
    parts.append(f"target {target:<14}")
    parts.append(res.verdict)
    line = "  ".join(parts)
    extra = []
    if b.nbytes:
        extra.append(f"{b.nbytes / res.ours_s / 1e6:,.0f} MB/s vs {b.nbytes / res.base_s / 1e6:,.0f} MB/s")
    if b.subtract_empty:
        extra.append(f"empty loop {fmt_time(res.empty_s).strip()} subtracted")
    if b.base_label:
        extra.append(f"baseline: {b.base_label}")
    if extra:
        line += "\n" + " " * 40 + "; ".join(extra)
    return line


def clock_info() -> str:
    info = time.get_clock_info("perf_counter")
    return f"perf_counter resolution {info.resolution:g} s"
