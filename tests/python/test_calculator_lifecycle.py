"""Calculator lifecycle bodies: round trips, TCInitialize's JSON, TCHistoricalRes's rows."""

import json
import struct
import sys

import cramjam
import pytest
from message_tables import batch, compressor, raises_exactly, read_rows
from test_rows import row

import pyostrel as p

PREFIX = {"runtime": 3, "category": 2**32 - 1, "session_id": -(2**63), "status": -4, "error_code": 2**31 - 1,
          "error_msg": b"bad \"x\"\n\xe4\xb8\xad"}
FIELDS = {
    "TCInitialize": {"start_time": -1, "end_time": 2**62, "granularity": 60, "markets": [b"SH", b"\xe4\xb8\xad"],
                     "codes": [b"600000", b""], "parameters": b'{"k": [1, 2.5], "t": "\xc3\xa9"}'},
    "TCHistoricalReq": {"namespace": 2**16 - 1, "meta_id": 7, "markets": [b"SH"], "codes": [b"a", b"b"],
                        "begin_time": -(2**40), "end_time": 5, "granularity": 2**32 - 1},
    "TCMarketStatus": {"state": -2, "time_tag": 1_700_000_000_000, "markets": [b"SZ", b"SH"],
                       "trade_days": [20240102, -1]},
    "TCComplete": {"next_action": -7},
}


def filled(cls, values):
    m = getattr(p, cls)()
    for name, v in values.items():
        getattr(m, "set_" + name)(v)
    return m


def read(m, values):
    return {name: getattr(m, "get_" + name)() for name in values}


@pytest.mark.parametrize("cls", FIELDS)
def test_round_trip_replaces_every_field(cls):
    values = dict(PREFIX, **FIELDS[cls])
    data = filled(cls, values).encode_string()
    back = filled(cls, {"runtime": 1, "error_msg": b"old"})
    assert back.decode_string(data) is None
    assert read(back, values) == values and back.encode_string() == data
    blank = getattr(p, cls)().encode_string()
    back.decode_string(blank)
    assert back.encode_string() == blank


def test_initialize_json_in_body_order():
    values = dict(PREFIX, **FIELDS["TCInitialize"])
    text = filled("TCInitialize", values).encode_json()
    assert isinstance(text, bytes) and b"\n" not in text
    pairs = json.loads(text, object_pairs_hook=list)
    expected = [(k, v.decode() if isinstance(v, bytes) else [x.decode() for x in v] if k in ("markets", "codes")
                 else v) for k, v in values.items()]
    assert pairs == expected
    # parameters stay a JSON string, not an embedded object.
    assert json.loads(dict(pairs)["parameters"]) == {"k": [1, 2.5], "t": "\xe9"}
    assert json.loads(p.TCInitialize().encode_json(), object_pairs_hook=list) == [
        ("runtime", 0), ("category", 0), ("session_id", 0), ("status", 0), ("error_code", 0), ("error_msg", ""),
        ("start_time", 0), ("end_time", 0), ("granularity", 0), ("markets", []), ("codes", []), ("parameters", "")]


def test_initialize_json_escapes_control_characters():
    m = p.TCInitialize()
    m.set_parameters(bytes(range(32)) + b"\\\x7f")
    assert json.loads(m.encode_json())["parameters"] == "".join(map(chr, range(32))) + "\\\x7f"


# ---- TCHistoricalRes: rows in a compressed batch set ------------------------------------------------

COUNT = (1, 5)
COUNT_COLS = [(b"n", 1, 0)]


@pytest.fixture
def ser():
    return compressor((COUNT, b"count", 1, COUNT_COLS))


def counts(*ns):
    return [row([(1, n)], ns=COUNT[0], meta_id=COUNT[1], time_tag=i, market=b"SZ", code=b"c%d" % i)
            for i, n in enumerate(ns)]


def test_rows_need_a_catalog(ser):
    m = p.TCHistoricalRes()
    raises_exactly(m.results, "results requires set_compressor first")
    raises_exactly(lambda: m.set_results(counts(1)), "set_results requires set_compressor first")
    m.set_compressor(ser)
    assert m.results() == []


def test_rows_round_trip(ser):
    src = filled("TCHistoricalRes", PREFIX)
    src.set_compressor(ser)
    rows = counts(4, -1)
    src.set_results(rows)
    rows[0].set_int(0, 99)  # copied in
    data = src.encode_string()
    # prefix | u32 length | Snappy of (u32 batch count | u32 length | batch)
    (n,) = struct.unpack_from(">I", data, 21)
    (length,) = struct.unpack_from(">I", data, 25 + n)
    assert 29 + n + length == len(data)
    one = batch(COUNT, COUNT_COLS, [(0, 0, b"SZ", b"c0", [4]), (1, 0, b"SZ", b"c1", [-1])])
    assert bytes(cramjam.snappy.decompress_raw(data[29 + n:])) == struct.pack(">II", 1, len(one)) + one
    back = p.TCHistoricalRes()
    back.decode_string(data)
    raises_exactly(back.results, "results requires set_compressor first")
    back.set_compressor(ser)
    assert read(back, PREFIX) == PREFIX
    assert read_rows(back.results(), [1]) == read_rows(counts(4, -1), [1])


@pytest.mark.parametrize("blob, message", [
    (b"\x05\x00", "decompress: snappy: "),
    (bytes(cramjam.snappy.compress_raw(struct.pack(">II", 1, 9))), "decompress: codec: unexpected end of input"),
])
def test_rows_that_do_not_decode(ser, blob, message):
    m = p.TCHistoricalRes()
    m.decode_string(bytes(25) + struct.pack(">I", len(blob)) + blob)
    m.set_compressor(ser)
    raises_exactly(m.results, message, True)
    raises_exactly(lambda: m.set_results([row([(1, 1)], ns=0, meta_id=77)]),
                   "compress: unknown schema: namespace=0 meta_id=77")


def test_reference_counts_stay_put(ser):
    m = filled("TCInitialize", dict(PREFIX, **FIELDS["TCInitialize"]))
    res = p.TCHistoricalRes()
    res.set_compressor(ser)
    rows = counts(1, 2)
    res.set_results(rows)
    data = m.encode_string()
    before = sys.getrefcount(data), sys.getrefcount(ser), sys.getrefcount(rows[0])
    for _ in range(200):
        m.decode_string(data), m.encode_json(), m.get_markets()
        res.set_compressor(ser), res.set_results(rows), res.results()
    assert (sys.getrefcount(data), sys.getrefcount(ser), sys.getrefcount(rows[0])) == before
