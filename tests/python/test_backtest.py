"""Backtest start and control: the records nested in BacktestParams, copies, types, the ranged operation."""

import struct
import sys

import pytest
from message_tables import raises_exactly, s

import pyostrel as p

# A record: (class name, [(field, kind, value)]) in body order. Kinds: a struct code, "str", "strs", "u32s",
# "rec" (a record), "recs" (a list of records), "map" ({bytes: record}) and "opt" (a record or None, never set).


def wire(kind, v):
    if kind == "str":
        return s(v)
    if kind in ("strs", "u32s", "recs"):
        return struct.pack(">I", len(v)) + b"".join(wire(kind[:-1], x) for x in v)
    if kind == "u32":
        return struct.pack(">I", v)
    if kind == "map":  # ascending keys, whatever the dict's order
        return struct.pack(">I", len(v)) + b"".join(s(k) + wire("rec", r) for k, r in sorted(v.items()))
    if kind == "opt":
        return b"\0" if v is None else b"\1" + wire("rec", v)
    if kind == "rec":
        return b"".join(wire(k, x) for _, k, x in v[1])
    return struct.pack(">" + kind, v)


def make(kind, v):
    if kind == "rec" or kind == "opt":
        obj = getattr(p, v[0])()
        for name, k, x in v[1]:
            if not (k == "opt" and x is None):
                getattr(obj, "set_" + name)(make(k, x))
        return obj
    if kind == "recs":
        return [make("rec", r) for r in v]
    if kind == "map":
        return {k: make("rec", r) for k, r in v.items()}
    return v


def imp(ns, name, rev, fields):
    return ("UniverseInImport", [("namespace", "str", ns), ("qualified_name", "str", name), ("revision", "I", rev),
                                 ("fields", "strs", fields)])


def selector(market, codes):
    return ("SecuritySelector", [("market", "str", market), ("codes", "strs", codes)])


def export(ns, defs):
    return ("UniverseOutExport", [("namespace", "str", ns), ("qualified_name", "str", b"q." + ns),
                                  ("revision", "I", 3), ("defs", "recs", [
                                      ("UniverseOutExportDef", [("name", "str", n), ("data_type", "B", t),
                                                                ("precision", "B", pr)]) for n, t, pr in defs])])


def universe_out(sampler):
    return ("UniverseOut", [
        ("exports", "map", {b"zz": export(b"z", [(b"px", 2, 4)]), b"a": export(b"\xe4\xb8\xad", []),
                            b"m": export(b"m", [(b"v", 8, 0), (b"w", 3, 255)])}),
        ("sub_accounts", "recs", [("UniverseOutSubAccount", [("name", "str", n), ("category", "B", c),
                                                             ("capital", "d", cap)])
                                  for n, c, cap in ((b"s1", 1, 1e6), (b"s2", 255, -0.5))]),
        ("sample_granularity", "rec",
         ("UniverseOutSampleGranularity", [("type", "I", 2), ("granularity", "I", 60)])),
        ("sampler", "opt", sampler)])


SAMPLER = ("SamplerConfiguration", [("markets", "strs", [b"SH", b"SZ"]), ("granularities", "u32s", [60, 2**32 - 1]),
                                    ("tm_as_of_eod", "?", False)])
PARAMS = ("BacktestParams", [
    ("runtime", "B", 2), ("start_time", "q", -1), ("end_time", "q", 2**62), ("graunlarity", "I", 86400),
    ("restore_length", "I", 7),
    ("universe_in", "map", {
        b"in2": ("UniverseIn", [("imports", "map", {b"b": imp(b"n", b"x", 1, [b"f1", b"f2"]),
                                                    b"a": imp(b"", b"", 0, [])}),
                                ("securities", "recs", [selector(b"SH", [b"600000"]), selector(b"SZ", [])])]),
        b"in1": ("UniverseIn", [("imports", "map", {}), ("securities", "recs", [])])}),
    ("universe_out", "map", {b"out_b": universe_out(SAMPLER), b"out_a": universe_out(None)})])
REQUEST = ("ATStartBacktestReq", [
    ("seq", "i", -3), ("token", "str", b"tk"), ("category", "I", 4), ("target_id", "I", 2**32 - 1),
    ("revision", "I", 9), ("is_managed", "?", True), ("original_content", "str", b"{\"a\":1}"),
    ("parameters", "rec", PARAMS)])


def test_nested_records_on_the_wire():
    assert make("rec", REQUEST).encode() == wire("rec", REQUEST)


def test_fresh_records_and_a_default_sampler():
    # A fresh UniverseOut has no sampler (one 0 byte); a fresh SamplerConfiguration is tm_as_of_eod.
    req, params, out = p.ATStartBacktestReq(), p.BacktestParams(), p.UniverseOut()
    out.set_sampler(p.SamplerConfiguration())
    params.set_universe_out({b"o": out, b"n": p.UniverseOut()})
    req.set_parameters(params)
    tail = struct.pack(">I", 2) + s(b"n") + bytes(4 + 4 + 8 + 1) + s(b"o") + bytes(4 + 4 + 8) + b"\1" + bytes(8) + b"\1"
    assert req.encode() == bytes(4 + 4 + 12 + 1 + 4) + bytes(1 + 8 + 8 + 4 + 4) + bytes(4) + tail


def test_records_are_copied_in():
    sel, ui, params, req = p.SecuritySelector(), p.UniverseIn(), p.BacktestParams(), p.ATStartBacktestReq()
    sel.set_market(b"SH")
    ui.set_securities([sel])
    universes = {b"u": ui}
    params.set_universe_in(universes)
    req.set_parameters(params)
    before = req.encode()
    sel.set_market(b"SZ"), ui.set_securities([sel, sel]), params.set_runtime(9)
    universes[b"v"] = ui
    assert req.encode() == before
    assert before.endswith(struct.pack(">I", 1) + s(b"SH") + bytes(4) + bytes(4))
    req.set_parameters(params)  # taken again: the new runtime, and still the universe as it was first set
    assert req.encode() == before[:25] + b"\x09" + before[26:]


RECORDS = {
    "BacktestParams": {"runtime", "start_time", "end_time", "graunlarity", "restore_length", "universe_in",
                       "universe_out"},
    "UniverseIn": {"imports", "securities"},
    "UniverseInImport": {"namespace", "qualified_name", "revision", "fields"},
    "SecuritySelector": {"market", "codes"},
    "UniverseOut": {"exports", "sub_accounts", "sample_granularity", "sampler"},
    "UniverseOutExport": {"namespace", "qualified_name", "revision", "defs"},
    "UniverseOutExportDef": {"name", "data_type", "precision"},
    "UniverseOutSubAccount": {"name", "category", "capital"},
    "UniverseOutSampleGranularity": {"type", "granularity"},
    "SamplerConfiguration": {"markets", "granularities", "tm_as_of_eod"},
}


@pytest.mark.parametrize("name", RECORDS)
def test_records_have_setters_only(name):
    public = {n for n in dir(getattr(p, name)) if not n.startswith("_")}
    assert public == {"set_" + f for f in RECORDS[name]}
    assert not hasattr(p.ATStartBacktestReq, "get_parameters")


@pytest.mark.parametrize("cls, setter, arg, exc, message", [
    ("BacktestParams", "set_universe_in", {"a": p.UniverseIn()}, TypeError,
     "argument 'v': 'str' object cannot be converted to 'bytes'"),
    ("BacktestParams", "set_universe_in", {b"a": p.UniverseOut()}, TypeError,
     "argument 'v': 'UniverseOut' object cannot be converted to 'UniverseIn'"),
    ("BacktestParams", "set_universe_out", [(b"a", p.UniverseOut())], TypeError,
     "argument 'v': 'list' object cannot be converted to 'dict'"),
    ("BacktestParams", "set_universe_in", {b"\xff": p.UniverseIn()}, Exception,
     "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"),
    ("UniverseIn", "set_imports", {b"ok": p.UniverseInImport(), b"a\xe4": p.UniverseInImport()}, Exception,
     "invalid utf-8: incomplete utf-8 byte sequence from index 1"),
    ("UniverseIn", "set_securities", [p.SecuritySelector(), p.UniverseInImport()], TypeError,
     "argument 'v': 'UniverseInImport' object cannot be converted to 'SecuritySelector'"),
    ("UniverseOut", "set_sub_accounts", [p.UniverseOutExportDef()], TypeError,
     "argument 'v': 'UniverseOutExportDef' object cannot be converted to 'UniverseOutSubAccount'"),
    ("UniverseOut", "set_sampler", p.SecuritySelector(), TypeError,
     "argument 'v': 'SecuritySelector' object cannot be converted to 'SamplerConfiguration'"),
    ("UniverseOutExport", "set_defs", "ab", TypeError, "argument 'v': 'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)"),
])
def test_wrong_types_are_refused(cls, setter, arg, exc, message):
    with pytest.raises(exc) as info:
        getattr(getattr(p, cls)(), setter)(arg)
    assert type(info.value) is exc and str(info.value) == message


def test_a_sampler_set_to_none_is_absent_again():
    def body(out):
        params, req = p.BacktestParams(), p.ATStartBacktestReq()
        params.set_universe_out({b"o": out})
        req.set_parameters(params)
        return req.encode()
    out = p.UniverseOut()
    out.set_sampler(p.SamplerConfiguration())
    assert body(out) != body(p.UniverseOut())
    out.set_sampler(None)
    assert body(out) == body(p.UniverseOut())


def test_a_refused_setter_leaves_the_record_alone():
    req = make("rec", REQUEST)
    params = make("rec", PARAMS)
    with pytest.raises(TypeError):
        params.set_universe_in({b"a": p.UniverseIn(), b"b": 1})
    req.set_parameters(params)
    assert req.encode() == wire("rec", REQUEST)


# ---- the ranged operation fields --------------------------------------------------------------

def control(op):
    return struct.pack(">iIqB?qq", 0, 0, 0, op, False, 0, 0)


def account_edit(op):
    return struct.pack(">iIIBIId", 0, 0, 0, op, 0, 0, 0.0)


RANGED = [("ATControlBacktestReq", control, 0, 6, 0), ("ATAccountEditReq", account_edit, 1, 10, 1)]


@pytest.mark.parametrize("cls, body, lo, hi, default", RANGED)
def test_operation_accepts_its_range_and_sends_one_byte(cls, body, lo, hi, default):
    m = getattr(p, cls)()
    assert m.get_operation() == default and m.encode() == body(default)
    for op in range(lo, hi + 1):
        m.set_operation(op)
        assert m.get_operation() == op and m.encode() == body(op)


@pytest.mark.parametrize("cls, body, lo, hi, bad", [
    (cls, body, lo, hi, bad) for cls, body, lo, hi, _ in RANGED
    for bad in sorted({lo - 1, hi + 1, -1, 256, 2**63 - 1, -(2**63)})])
def test_operation_out_of_range_names_the_range(cls, body, lo, hi, bad):
    m = getattr(p, cls)()
    m.set_operation(hi)
    raises_exactly(lambda: m.set_operation(bad), f"{cls}.set_operation: {bad} outside the accepted range {lo}..{hi}")
    assert m.encode() == body(hi)


@pytest.mark.parametrize("cls, body, lo, hi, default", RANGED)
def test_operation_beyond_64_bits_names_the_range(cls, body, lo, hi, default):
    m = getattr(p, cls)()
    raises_exactly(lambda: m.set_operation(2**70),
                   f"{cls}.set_operation: {2**70} outside the accepted range {lo}..{hi}")


def test_reference_counts_stay_put():
    params = make("rec", PARAMS)
    req, res = p.ATStartBacktestReq(), p.ATStartBacktestRes()
    body = struct.pack(">iiiIqI", 1, 2, 3, 0, 4, 2) + b"h1"
    counts = sys.getrefcount(params), sys.getrefcount(body), sys.getrefcount(p.UniverseIn)
    for _ in range(200):
        req.set_parameters(params)
        req.encode()
        res.decode(body), res.get_bt_address()
        params.set_universe_in({b"k": p.UniverseIn()})
    assert (sys.getrefcount(params), sys.getrefcount(body), sys.getrefcount(p.UniverseIn)) == counts
