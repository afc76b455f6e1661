"""A leak check for fresh results that holds on every interpreter.

What sys.getrefcount adds for the interpreter's own stack is an interpreter detail (from 3.14 it
may add nothing), so results are counted against fresh objects held the same way, over many calls.
"""

import gc
import sys


def extra_references(make, items=lambda result: (), calls=100):
    """The references that `calls` results of make() hold beyond the list holding them, and those that
    the objects `items` picks from each result hold beyond the result and the list holding them.
    (0, 0) unless a call leaks references to what it returns."""
    results = [make() for _ in range(calls)]
    picked = [list(items(r)) for r in results]
    alike = [object() for _ in results]
    holders = [[object() for _ in p] for p in picked]
    alike_picked = [list(h) for h in holders]

    def total(groups):
        return sum(sys.getrefcount(o) for g in groups for o in g)

    return (sum(map(sys.getrefcount, results)) - sum(map(sys.getrefcount, alike)),
            total(picked) - total(alike_picked))


def reference_counts(objects):
    """The counts of objects, after cyclic garbage is gone: a literal may also be held by frames of
    earlier failures (tracebacks are cycles), and a collection in between would drop those."""
    gc.collect()
    return [sys.getrefcount(o) for o in objects]
