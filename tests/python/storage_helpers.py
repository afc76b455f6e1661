"""Shared pieces of the storage-pool tests: a catalog of every column kind, rows, stand-in masters, and a pool
started with short deadlines (set through the environment before initialize, stopped after every test)."""

import contextlib
import faulthandler
import math
import sys
import time
import warnings
from pathlib import Path

import pytest

import pyostrel

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT), str(ROOT / "examples")]

from schema_fixture import schema_binary  # noqa: E402
from tests.peer.storage_master import StorageMaster  # noqa: E402

P = pyostrel
NS, META, NAME = 3, 42, b"bar.daily"
ALL = 0xFFFFFFFF  # the highest revision of a name
# (name, kind, decimal precision, setter, getter); slot i is COLUMNS[i].
COLUMNS = [
    (b"i", P.index_field_type_integer, 0, "set_int", "get_int"),
    (b"d0", P.index_field_type_double, 0, "set_double", "get_double"),
    (b"d2", P.index_field_type_double, 2, "set_double", "get_double"),
    (b"d6", P.index_field_type_double, 6, "set_double", "get_double"),
    (b"s", P.index_field_type_string, 0, "set_string", "get_string"),
    (b"l", P.index_field_type_int_64, 0, "set_int_64", "get_int_64"),
    (b"vi", P.index_field_type_vinteger, 0, "set_int_32_vector", "get_int_32_vector"),
    (b"vd", P.index_field_type_vdouble, 3, "set_double_vector", "get_double_vector"),
    (b"vs", P.index_field_type_vstring, 0, "set_string_vector", "get_string_vector"),
    (b"vl", P.index_field_type_vint_64, 0, "set_int_64_vector", "get_int_64_vector"),
]
SCHEMA = schema_binary(NS, META, NAME, [c[:3] for c in COLUMNS])
# A second master's catalog shares nothing with the first.
OTHER_NS, OTHER_META, OTHER_NAME = 5, 77, b"tick.\xe4\xb8\xad"
OTHER_SCHEMA = schema_binary(OTHER_NS, OTHER_META, OTHER_NAME, [(b"px", P.index_field_type_double, 4)], revision=3)


def make_row(t, market=b"SH", code=b"600000", slots=None, granularity=0):
    """A row of the COLUMNS catalog; slots maps a slot to its value, the others stay absent. By default the
    values follow t and are exact at their precisions, so they read back unchanged; odd t leave slots out."""
    if slots is None:
        slots = {0: t, 1: float(t), 2: t + 0.25, 4: "行情%d" % t, 5: t << 33, 7: [t * 0.5, -0.125],
                 8: [b"x", "€".encode()]}
        slots = {k: v.encode() if isinstance(v, str) else v for k, v in slots.items() if not (t % 2 and k % 3 == 1)}
    r = pyostrel.StructValue()
    r.set_namespace(NS), r.set_meta_id(META), r.set_time_tag(t), r.set_granularity(granularity)
    r.set_market(market), r.set_stock_code(code)
    r.resize(len(COLUMNS))
    for slot, value in slots.items():
        getattr(r, COLUMNS[slot][3])(slot, value)
    return r


def values(r):
    """The slots of a row, None for absent; lists become tuples so rows compare and hash."""
    got = (None if r.is_empty(i) else getattr(r, COLUMNS[i][4])(i) for i in range(r.size()))
    return tuple(tuple(v) if isinstance(v, list) else v for v in got)


def key(r):
    return (r.get_namespace(), r.get_meta_id(), r.get_time_tag(), r.get_granularity(), r.get_market(),
            r.get_stock_code(), values(r))


def keys(rows):
    return list(map(key, rows))


def scaled(value, precision):
    """A double as a column of that precision keeps it: value * 10^p rounded half away from zero, times 10^-p."""
    q = math.floor(abs(value) * 10**precision + 0.5)
    return (-q if value < 0 else q) * 10.0**-precision  # an integer: a value that rounds to 0 reads back as +0.0


SYMBOLS = [(b"SH", b"600000"), (b"SH", b"600001"), (b"SZ", b"000001")]
ROWS = [make_row(t, m, c, granularity=60 if t % 3 == 0 else 0) for t in range(1000, 1012) for m, c in SYMBOLS]


def select(rows, t0=0, t1=2**62, markets=(), symbols=(), granularity=0):
    """What a read should return, worked out here: the filter, then the rows ordered by time_tag, stable."""
    out = [r for r in rows if t0 <= r.get_time_tag() <= t1
           and (not markets or r.get_market() in markets) and (not symbols or r.get_stock_code() in symbols)
           and granularity in (0, r.get_granularity())]
    return sorted(out, key=lambda r: r.get_time_tag())


# ----- the pool --------------------------------------------------------------------------------------------------

# Milliseconds; short, so that every failure ends quickly, and far enough apart to tell which deadline ended a call.
DEADLINES = {"CONNECT_TIMEOUT": 400, "HANDSHAKE_TIMEOUT": 400, "REPLY_TIMEOUT": 300, "CALL_TIMEOUT": 1500,
             "ACK_TIMEOUT": 300, "BACKOFF": 150, "BACKOFF_MAX": 600}
SLACK = 0.3  # seconds a call may overrun its deadline on a loaded machine


@pytest.fixture
def pool(monkeypatch):
    """Sets DEADLINES in the environment; call it with overrides before initialize. Stops the pool afterwards, and
    ends the process with a traceback instead of hanging if a test runs away."""
    def apply(**override):
        merged = {**DEADLINES, **override}
        for name, value in merged.items():
            monkeypatch.setenv(f"PYOSTREL_STORAGE_{name}" + ("" if name.endswith("BYTES") else "_MS"), str(value))

    apply()
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        yield apply
    finally:
        faulthandler.cancel_dump_traceback_later()
        pyostrel.stop()


@pytest.fixture
def peers():
    """Starts stand-in masters in threads for the test: peers(schema, rows, **kw) -> StorageMaster."""
    with contextlib.ExitStack() as stack:
        yield lambda schema=SCHEMA, rows=ROWS, **kw: stack.enter_context(StorageMaster(schema, rows, **kw).running())


def config(*ports):
    cfg = pyostrel.KestrinConfig()
    cfg.masters = [(b"127.0.0.1", p) for p in ports]
    return cfg


def start(*masters):
    pyostrel.initialize(config(*(m if isinstance(m, int) else m.port for m in masters)))
    pyostrel.start()


def read(i=0, t0=0, t1=2**62, markets=(), symbols=(), name=NAME, ns=NS, fields=(), revision=ALL, granularity=0):
    return pyostrel.read_sv(i, ns, list(markets), list(symbols), name, list(fields), revision, granularity, t0, t1)


def read_ok(*args, **kw):
    """A read that must not warn: a warning fails the test with its text."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return read(*args, **kw)


def read_warns(match, *args, **kw):
    """A read that must fail softly: [] and one RuntimeWarning matching `match`; returns the warning text."""
    with pytest.warns(RuntimeWarning, match=match) as record:
        assert read(*args, **kw) == []
    return str(record[0].message)


def timed(fn, *args, **kw):
    t = time.monotonic()
    try:
        return fn(*args, **kw), time.monotonic() - t
    except Exception as exc:
        return exc, time.monotonic() - t


def attempt(call):
    """(result, failure text or None, seconds) of a pool call; a read's failure is its warning, whose result
    must be []."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result, elapsed = timed(call)
    assert len(caught) <= 1 and all(w.category is RuntimeWarning for w in caught), caught
    if isinstance(result, BaseException):
        assert type(result) is Exception and not caught, repr(result)
        return result, str(result), elapsed
    assert not caught or result in ([], None), result
    return result, str(caught[0].message) if caught else None, elapsed


def stored(peer, t):
    """How many times the peer holds a row of time_tag t."""
    return sum(r.get_time_tag() == t for r in peer.rows(NS, META))


def wait_for(predicate, timeout=2.0):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True
