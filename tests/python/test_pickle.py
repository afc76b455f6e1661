"""Plain records across processes: pickle, copy and deepcopy, their reprs, and the classes that refuse."""

import copy
import math
import multiprocessing
import pickle
import struct

import pytest

import pyostrel
from pyostrel import (Commission, IndexSerializer, KestrinConfig, KestrinStructValueKey, MarketInfo, MarketMeta,
                      RawFrameReader, StructValue, StructValueKey, TCDataCommunication)
from test_refdata import GLOBAL, ROWS, full_market, load_one
from test_rows import GETTER, meta, s, serializer
from refcounts import extra_references, reference_counts

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


# ---- records and their fields, read back through the public getters -------------------------------

def slot(sv, pos):
    """(kind code, value) of a slot by the one getter that accepts it; None when empty."""
    if sv.is_empty(pos):
        return None
    for code, name in GETTER.items():
        try:
            return code, getattr(sv, name)(pos)
        except Exception:
            pass


def bits(v):
    """Floats by their bits, so that NaN and -0.0 compare exactly."""
    if isinstance(v, float):
        return struct.pack("<d", v)
    if isinstance(v, (list, tuple)):
        return type(v)(bits(x) for x in v)
    return v


def sv_fields(sv):
    head = (sv.get_namespace(), sv.get_meta_id(), sv.get_market(), sv.get_stock_code(), sv.get_time_tag(),
            sv.get_granularity())
    return bits((head, [slot(sv, i) for i in range(sv.size())]))


def props(*names):
    return lambda obj: tuple(getattr(obj, n) for n in names)


RATES = ["open_rate_by_volume", "open_rate_by_money", "close_rate_by_volume", "close_rate_by_money",
         "today_close_rate_by_volume", "today_close_rate_by_money", "order_rate_by_volume", "order_rate_by_money"]
CONFIG = ["log_path", "masters", "singularity_alike_markets"]
FETCH_KEY = ["ns", "meta_name", "revision", "granularity", "from_tm", "to_tm", "markets", "symbols", "mask",
             "wait_io_completion"]
TASK_KEY = ["ns", "meta_id", "market", "code", "granularity"]


def full_row():
    sv = StructValue()
    for name, v in (("namespace", 65535), ("meta_id", -(2**31)), ("market", b"SH"), ("stock_code", "\u4e2d".encode()),
                    ("time_tag", 2**64 - 1), ("granularity", -60)):
        getattr(sv, "set_" + name)(v)
    sv.resize(12)  # two empty slots at the end, one in the middle
    values = {1: 2**31 - 1, 2: float("nan"), 3: b"x" * 40, 4: [1, -2], 5: [-0.0, math.inf], 6: [b"a", b""],
              7: -(2**63), 8: [2**40, -1]}
    for pos, (code, v) in enumerate(values.items()):
        getattr(sv, "set_" + GETTER[code][4:])(pos + (pos >= 4), v)
    sv.set_string(10, b"")
    return sv


def aux_rows():
    """Rows that carry aux values, which have no accessor: only a batch shows them."""
    ser = serializer(meta((0, 3)))
    wire = (struct.pack(">HiHQ", 0, 3, 0x0018, 2) + struct.pack(">QQii", 1, 2, 0, 0) + s(b"") * 4
            + struct.pack(">iiii", 5, -1, 0, 9) + struct.pack(">I", 0))
    return ser, wire


def task_key():
    k = StructValueKey()
    k.ns, k.meta_id, k.market, k.code, k.granularity = 7, 2**32 - 1, b"SZ", b"000001", 86400
    return k


def config():
    c = KestrinConfig()
    c.log_path, c.masters, c.singularity_alike_markets = b"/var/log/\xc3\xa9", [(b"h1", 1), (b"h2", 65535)], [b"HK"]
    return c


def fetch_key():
    k = KestrinStructValueKey()
    for name, v in zip(FETCH_KEY, (3, b"bars", 0, 60, 2**64 - 1, 1, [b"SH", b"SZ"], [b"600000"], -(2**15), True)):
        setattr(k, name, v)
    return k


def commission():
    c = Commission()
    for i, name in enumerate(RATES):
        getattr(c, "set_" + name)([1e-05, -0.0, math.inf, 2.5e-300][i % 4] * (i + 1))
    return c


HEADER = (b"SH", 20240102, 3, 1704153600000)
INFO_STATE = (HEADER, b"Shanghai", b"CNY", 8, 19901220, 19901219, {b"day": [(930, 1130), (1300, 1500)]},
              {b"Security": 3}, {b"a": b"\xc3\xa9"})


def market_info():
    return MarketInfo._from_state(*INFO_STATE)


def meta_fields(m):
    return m.market_code(), [sv_fields(sv) for sv in m.to_sv(GLOBAL)]


RECORDS = {
    "row": (full_row, sv_fields),
    "empty row": (StructValue, sv_fields),
    "task key": (task_key, props(*TASK_KEY)),
    "config": (config, props(*CONFIG)),
    "fetch key": (fetch_key, props(*FETCH_KEY)),
    "commission": (commission, lambda c: bits(tuple(getattr(c, "get_" + n)() for n in RATES))),
    "market info": (market_info, lambda m: (m.get_market_code(), m.get_name(), m.get_trade_day(), repr(m))),
    "market meta": (lambda: load_one(full_market()), meta_fields),
    "partial meta": (lambda: load_one({"holidays": {"market_code": "SZ", "trade_day": 1, "rev": 2, "time_tag": 3,
                                                    "days": [20240101]}}), meta_fields),
}
COPIES = [lambda o, p=p: pickle.loads(pickle.dumps(o, p)) for p in PROTOCOLS] + [copy.copy, copy.deepcopy]
COPY_IDS = [f"protocol{p}" for p in PROTOCOLS] + ["copy", "deepcopy"]


@pytest.mark.parametrize("make, fields", RECORDS.values(), ids=RECORDS.keys())
@pytest.mark.parametrize("clone", COPIES, ids=COPY_IDS)
def test_round_trip_keeps_every_field(make, fields, clone):
    obj = make()
    got = clone(obj)
    assert type(got) is type(obj) and got is not obj
    assert fields(got) == fields(obj)


def test_copies_are_independent_and_carry_aux():
    ser, wire = aux_rows()
    rows = ser.deserialize_batch(wire)
    for clone in COPIES:
        copies = [clone(r) for r in rows]
        assert ser.serialize_batch(copies) == ser.serialize_batch(rows) == wire
    row = full_row()
    dup = copy.deepcopy(row)
    dup.set_int(0, 1)
    dup.set_market(b"X")
    assert row.get_int(0) == 2**31 - 1 and row.get_market() == b"SH"
    assert copy.copy(task_key()) == task_key()


# ---- reprs --------------------------------------------------------------------------------------

def named(cls, pairs):
    return f"{cls}(" + ", ".join(f"{k}={v!r}" for k, v in pairs) + ")"


def row_repr(sv):
    values = [None if sv.is_empty(i) else slot(sv, i)[1] for i in range(sv.size())]
    return (f"StructValue(namespace={sv.get_namespace()}, meta_id={sv.get_meta_id()}, market={sv.get_market()!r}, "
            f"code={sv.get_stock_code()!r}, time_tag={sv.get_time_tag()}, granularity={sv.get_granularity()}, "
            f"values={values!r})")


@pytest.mark.parametrize("make, expected", [
    (full_row, row_repr),
    (StructValue, lambda _: "StructValue(namespace=0, meta_id=0, market=b'', code=b'', time_tag=0, granularity=0, "
                            "values=[])"),
    (config, lambda c: named("KestrinConfig", [(n, getattr(c, n)) for n in CONFIG])),
    (fetch_key, lambda k: named("KestrinStructValueKey", [(n, getattr(k, n)) for n in FETCH_KEY])),
    (commission, lambda c: named("Commission", [(n, getattr(c, "get_" + n)()) for n in RATES])),
    (market_info, lambda _: named("MarketInfo", zip(["header", "name", "currency", "time_zone", "start_day",
                                                     "begin_day", "trading_period", "revs", "extra"], INFO_STATE))),
    (task_key, lambda _: "StructValueKey(ns=7, meta_id=4294967295, market=b'SZ', code=b'000001', granularity=86400)"),
])
def test_repr_shows_the_fields(make, expected):
    obj = make()
    assert repr(obj) == expected(obj)


def test_repr_of_aux_and_of_market_meta():
    ser, wire = aux_rows()
    first = ser.deserialize_batch(wire)[0]
    aux = ", aux=[0, 0, 0, 5, -1, 0, 0, 0, 0, 0, 0, 0], values=[])"
    assert repr(first) == row_repr(first)[:-len(", values=[])")] + aux
    full = repr(load_one(full_market()))
    assert full.startswith("MarketMeta(market_info=MarketInfo(header=(b'SH', 20240102, 3, ")
    sizes = {k: len({r["code"] for r in rows}) for k, rows in ROWS.items()}
    assert full.endswith(", holidays=<2 days>, " + ", ".join(
        f"{k}=<{n} row{'s' * (n != 1)}>" for k, n in sizes.items()) + ")")
    partial = load_one({"holidays": {"market_code": "SZ", "trade_day": 1, "rev": 2, "time_tag": 3, "days": [1]}})
    assert repr(partial) == ("MarketMeta(market_info=None, holidays=<1 day>, securities=None, dividends=None, "
                             "stocks=None, commodities=None, futures=None)")


# ---- across a process pool ------------------------------------------------------------------------

def doubled(sv):
    sv.set_int(0, sv.get_int(0) * 2)
    sv.set_string_vector(1, sv.get_string_vector(1) + [sv.get_market()])
    return sv


def test_rows_cross_a_process_pool():
    rows = []
    for i in range(6):
        sv = StructValue()
        sv.set_market(b"M%d" % i)
        sv.resize(2)
        sv.set_int(0, i)
        sv.set_string_vector(1, [b"x"])
        rows.append(sv)
    # Not fork: earlier tests leave threads behind, and a fork of a threaded process may deadlock.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    with multiprocessing.get_context(method).Pool(2) as pool:
        got = pool.map(doubled, rows)
    assert [(r.get_int(0), r.get_string_vector(1)) for r in got] == [(2 * i, [b"x", b"M%d" % i]) for i in range(6)]


# ---- classes that refuse, and states that are refused -------------------------------------------

@pytest.mark.parametrize("cls", [TCDataCommunication, pyostrel.ATFetchSVRes, pyostrel.ATUniverseRes,
                                 IndexSerializer, RawFrameReader])
def test_stateful_classes_refuse_pickling(cls):
    obj = cls()
    for clone in COPIES:
        with pytest.raises(TypeError, match="cannot pickle"):
            clone(obj)


class Forged:
    """Pickles as `cls` rebuilt from `state`, as a tampered pickle would."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    def __reduce__(self):
        return self.cls._from_state, tuple(self.state)


def state_of(obj, **changes):
    state = list(obj.__reduce__()[1])
    for at, value in changes.items():
        state[int(at[1:])] = value
    return state


TAMPERED = [
    (StructValue, lambda s: s[:-1], TypeError, r"^StructValue state holds 7 items, expected 8$"),
    (StructValue, lambda s: state_of(StructValue(), _2="SH"), TypeError, r"^argument 'state\[2\]': 'str' object"),
    (StructValue, lambda s: state_of(StructValue(), _3=b"\xff"), Exception, r"^invalid utf-8: "),
    (StructValue, lambda s: state_of(StructValue(), _0=65536), OverflowError, "out of range"),
    (StructValue, lambda s: state_of(StructValue(), _6=[0] * 11), Exception,
     r"^aux holds 11 values, expected 12 or none$"),
    (StructValue, lambda s: state_of(StructValue(), _7=[(9, 1)]), Exception, r"^slot kind 9 is not one of 0..8$"),
    (StructValue, lambda s: state_of(StructValue(), _7=[(0, 1)]), Exception, r"^an empty slot holds None$"),
    (StructValue, lambda s: state_of(StructValue(), _7=[(1, 2**31)]), OverflowError, "out of range"),
    (StructValue, lambda s: state_of(StructValue(), _7=[(3, "text")]), TypeError, "'str' object"),
    (StructValue, lambda s: state_of(StructValue(), _7=[(6, [b"\xc3"])]), Exception, r"^invalid utf-8: "),
    (StructValue, lambda s: state_of(StructValue(), _7=[(1, 1, 1)]), ValueError, "expected tuple of length 2"),
    (StructValue, lambda s: state_of(StructValue(), _7="ab"), TypeError, "'str' object cannot be converted to 'Sequence'"),
    (StructValueKey, lambda s: [70000, *s[1:]], OverflowError, "out of range"),
    (KestrinConfig, lambda s: [s[0], [(b"h", 65536)], s[2]], OverflowError, "out of range"),
    (KestrinStructValueKey, lambda s: [*s[:9], 1], TypeError, r"^argument 'state\[9\]': "),
    (Commission, lambda s: ["0.5", *s[1:]], TypeError, r"^argument 'state\[0\]': "),
    (MarketInfo, lambda s: [(b"SH", 1, 2), *s[1:]], ValueError, "expected tuple of length 4"),
    (MarketInfo, lambda s: [*s[:6], {b"p": [(1,)]}, *s[7:]], ValueError, "expected tuple of length 2"),
    (MarketMeta, lambda s: [s[0], s[1], (s[2][0], s[2][1][::-1]), *s[3:]], Exception,
     r"^table rows are not in ascending order of their codes at row 1$"),
    (MarketMeta, lambda s: [s[0], s[1], (s[2][0], [s[2][1][0]] * 2), *s[3:]], Exception, "ascending"),
    (MarketMeta, lambda s: [*s[:6], (s[6][0], [s[6][1][0][:-1]])], ValueError, "expected tuple of length 18"),
]
SAMPLES = {StructValue: full_row, StructValueKey: task_key, KestrinConfig: config, KestrinStructValueKey: fetch_key,
           Commission: commission, MarketInfo: market_info, MarketMeta: lambda: load_one(full_market())}


@pytest.mark.parametrize("cls, tamper, error, message", TAMPERED)
def test_tampered_state_is_refused(cls, tamper, error, message):
    good = list(SAMPLES[cls]().__reduce__()[1])
    forged = pickle.dumps(Forged(cls, tamper(good)))
    with pytest.raises(error, match=message):
        pickle.loads(forged)
    assert type(pickle.loads(pickle.dumps(Forged(cls, good)))) is cls


def test_reduce_names_a_reconstructor_of_the_type_itself():
    rebuild, state = full_row().__reduce__()
    assert rebuild == StructValue._from_state and rebuild.__self__ is StructValue
    assert all(type(x) in (int, bytes, list) for x in state)
    assert "_from_state" not in vars(pyostrel)
    with pytest.raises(TypeError):
        StructValue._from_state(*state, extra=1)


def test_reference_counts_stay_put():
    samples = [make() for make in SAMPLES.values()]
    bad = pickle.dumps(Forged(StructValue, state_of(StructValue(), _7=[(1, 2**31)])))
    watched = list(SAMPLES) + samples

    def round_trips():
        for obj in samples:
            repr(pickle.loads(pickle.dumps(obj)))
            copy.deepcopy(obj)
        with pytest.raises(OverflowError):
            pickle.loads(bad)

    round_trips()  # the first round fills the pickle machinery's caches, which hold the classes
    before = reference_counts(watched)
    for _ in range(200):
        round_trips()
    assert reference_counts(watched) == before
    state = extra_references(lambda: samples[0].__reduce__()[1], items=lambda s: [s[i] for i in (2, 3, 6, 7)])
    assert state == (0, 0)
