"""Data-ring bodies: push sessions, row pushes, the market-status broadcast, LanterfoldCategory."""

import struct

import cramjam
import pytest

import pyostrel
from pyostrel import (DRBinaryPushDataReq, DRMarketStatus, DRPushStartReq, DRPushStartRes, DRPushStopReq,
                      DRPushStopRes, DRReportMarketMetaReq, DRSamplerPushDataReq, IndexSerializer,
                      LanterfoldCategory, StructValue)

OVERFLOW = "out of range integral type conversion attempted"
END = "unexpected end of input: needed {} more bytes"

# Layouts, transcribed from the format tables.
SESSION = ">IiI"                    # trade_day, realtime, session_id
PUSH = ">IIiQ"                      # trade_day, session_id, realtime, hash_code; then the row blob as bytes
CALC_PREFIX = ">BIqii"              # runtime, category, session_id, status, error_code; then error_msg


def s(text):
    return struct.pack(">I", len(text)) + text


def market_status(runtime=0, category=0, session_id=0, status=0, error_code=0, error_msg=b"", state=0, time_tag=0,
                  markets=(), trade_days=()):
    return (struct.pack(CALC_PREFIX, runtime, category, session_id, status, error_code) + s(error_msg)
            + struct.pack(">iQ", state, time_tag) + struct.pack(">I", len(markets)) + b"".join(map(s, markets))
            + struct.pack(">I", len(trade_days)) + struct.pack("<%di" % len(trade_days), *trade_days))


def raises_exactly(fn, message):
    with pytest.raises(Exception) as info:
        fn()
    assert type(info.value) is Exception and str(info.value) == message


def fields(*names):
    return {p + n for n in names for p in ("get_", "set_")}


PUSH_METHODS = fields("trade_day", "session_id", "realtime", "hash_code") | {"set_compressor", "set_values", "values",
                                                                               "encode"}
METHODS = {
    DRPushStartReq: fields("trade_day", "realtime", "session_id", "seq") | {"encode"},
    DRPushStopReq: fields("trade_day", "realtime", "session_id") | {"encode"},
    DRPushStartRes: fields("trade_day", "realtime", "session_id") | {"decode"},
    DRPushStopRes: fields("trade_day", "realtime", "session_id") | {"decode"},
    DRBinaryPushDataReq: PUSH_METHODS,
    DRSamplerPushDataReq: PUSH_METHODS | fields("save"),
    DRReportMarketMetaReq: PUSH_METHODS,
    DRMarketStatus: fields("session_id", "status", "error_code", "error_msg", "state", "time_tag", "markets",
                           "trade_days") | {"encode", "decode"},
    LanterfoldCategory: fields("category", "identify") | {"encode", "decode"},
}


@pytest.mark.parametrize("cls", METHODS)
def test_public_methods_are_exactly_the_tables(cls):
    assert {n for n in dir(cls) if not n.startswith("_")} == METHODS[cls]


def test_registration():
    names = [n for n in vars(pyostrel) if not n.startswith("__")]
    assert names.index("market_state_tick") < names.index("LanterfoldCategory") < names.index(
        "lanterfold_category_sampler")
    # Classes 58-65 in table order; DRPushStartRes keeps the place of the marker it replaced.
    ring = ["DRMarketStatus", "DRPushStartReq", "DRPushStopReq", "DRPushStopRes", "DRBinaryPushDataReq",
            "DRSamplerPushDataReq", "DRReportMarketMetaReq"]
    at = [names.index(n) for n in ["ATUniverseSeedsRes"] + ring + ["cmd_dt_market_status"]]
    assert at == sorted(at)
    assert pyostrel.DRPushStartRes is DRPushStartRes and hasattr(DRPushStartRes, "decode")
    assert DRPushStartRes.__module__ == "pyostrel" and pyostrel.TCError.__bases__ == (object,)
    assert not hasattr(pyostrel.TCError, "decode")


# ---- push sessions ------------------------------------------------------------------

@pytest.mark.parametrize("cls", [DRPushStartReq, DRPushStopReq])
def test_session_requests_encode_twelve_bytes_and_no_seq(cls):
    assert cls().encode() == bytes(12)
    m = cls()
    m.set_trade_day(20240102), m.set_realtime(1), m.set_session_id(7)
    if cls is DRPushStartReq:
        m.set_seq(99)
        assert m.get_seq() == 99
    assert m.encode() == bytes.fromhex("0134D6E6 00000001 00000007") == struct.pack(SESSION, 20240102, 1, 7)


@pytest.mark.parametrize("cls", [DRPushStartRes, DRPushStopRes])
def test_session_replies_decode_and_keep_their_values_on_a_short_body(cls):
    m = cls()
    m.decode(struct.pack(SESSION, 4294967295, -2, 3) + b"tail")
    assert (m.get_trade_day(), m.get_realtime(), m.get_session_id()) == (4294967295, -2, 3)
    for cut, needed in [(0, 4), (5, 3), (11, 1)]:
        raises_exactly(lambda: m.decode(struct.pack(SESSION, 1, 1, 1)[:cut]),
                       cls.__name__ + " decode: " + END.format(needed))
        assert (m.get_trade_day(), m.get_realtime(), m.get_session_id()) == (4294967295, -2, 3)


@pytest.mark.parametrize("cls, setter, good, bad", [
    (DRPushStopReq, "set_trade_day", (0, 2**32 - 1), (-1, 2**32)),
    (DRPushStartRes, "set_session_id", (0, 2**32 - 1), (-1, 2**32)),
    (DRPushStartReq, "set_realtime", (-(2**31), 2**31 - 1), (2**31,)),
    (DRPushStartReq, "set_seq", (-(2**31),), (2**31,)),
    (DRBinaryPushDataReq, "set_hash_code", (2**64 - 1,), (2**64,)),
    (DRSamplerPushDataReq, "set_save", (0, 255), (256, -1)),
    (DRMarketStatus, "set_session_id", (-(2**63),), (2**63,)),
    (LanterfoldCategory, "set_category", (-(2**15), 2**15 - 1), (2**15,)),
])
def test_setters_check_the_native_width(cls, setter, good, bad):
    m = cls()
    for v in good:
        getattr(m, setter)(v)
        assert getattr(m, "g" + setter[1:])() == v
    for v in bad:
        with pytest.raises(OverflowError):
            getattr(m, setter)(v)
        assert getattr(m, "g" + setter[1:])() == good[-1]


# ---- row pushes ---------------------------------------------------------------------

def serializer(meta_id=7):
    """A catalog of one row type (namespace 0) with one Int column."""
    column = struct.pack(">I", 0) + s(b"c") + struct.pack(">BIiB", 1, 0, 1, 0)
    meta = (struct.pack(">HIIH", 0, meta_id, meta_id, 0) + s(b"m") + s(b"") + struct.pack(">IBI", 0, 0, 0) + s(b"")
            + struct.pack(">I", 1) + s(b"") + struct.pack(">I", 1) + column)
    ser = IndexSerializer()
    ser.update_schema_from_binary(bytes(cramjam.snappy.compress_raw(struct.pack(">I", 1) + meta)))
    return ser


def row(value, meta_id=7):
    sv = StructValue()
    sv.set_meta_id(meta_id), sv.resize(1), sv.set_int(0, value)
    return sv


@pytest.mark.parametrize("cls, tail", [(DRBinaryPushDataReq, b""), (DRReportMarketMetaReq, b""),
                                       (DRSamplerPushDataReq, b"\x01")])
def test_push_bodies(cls, tail):
    m = cls()
    assert m.encode() == bytes(24 + len(tail))
    if tail:
        m.set_save(1)
    m.set_trade_day(20240102), m.set_session_id(7), m.set_realtime(-1), m.set_hash_code(2**64 - 2)
    assert m.encode() == struct.pack(PUSH, 20240102, 7, -1, 2**64 - 2) + bytes(4) + tail

    rows = [row(5), row(6)]
    m.set_values(rows)
    raises_exactly(m.encode, "encode requires set_compressor before set_values with a non-empty batch")
    ser = serializer()
    m.set_compressor(ser)
    body = m.encode()
    head, blob = body[:24], body[24:len(body) - len(tail)]
    assert head == struct.pack(PUSH, 20240102, 7, -1, 2**64 - 2) + struct.pack(">I", len(blob))
    batch = ser.serialize_batch(rows)
    assert bytes(cramjam.snappy.decompress_raw(blob)) == struct.pack(">II", 1, len(batch)) + batch
    assert body.endswith(tail)
    m.set_values([])  # no rows: the count alone, catalog or not
    assert len(m.encode()) == 24 + len(tail)


def test_rows_are_copies_and_the_catalog_a_snapshot():
    m = DRSamplerPushDataReq()
    sv = row(5)
    m.set_values(pyostrel.StructValueVector([sv, sv]))
    sv.set_int(0, 9)
    got = m.values()
    assert [r.get_int(0) for r in got] == [5, 5] and got[0] is not got[1]
    got[0].set_int(0, 1)
    assert m.values()[0].get_int(0) == 5
    m.set_values((row(3),))
    assert [r.get_int(0) for r in m.values()] == [3]

    ser = IndexSerializer()
    m.set_compressor(ser)
    ser.update_schema_from_binary(serializer().schema().save())  # too late for the record
    raises_exactly(m.encode, "compress: unknown schema: namespace=0 meta_id=7")
    m.set_compressor(ser)
    assert len(m.encode()) > 25
    m.set_values([row(3, meta_id=8)])
    raises_exactly(m.encode, "compress: unknown schema: namespace=0 meta_id=8")
    wide = row(3)
    wide.resize(2)
    m.set_values([row(3), wide])
    raises_exactly(m.encode,
                   "compress: StructValue field count 2 does not match schema field count 1 for (ns=0, meta_id=7)")
    with pytest.raises(TypeError, match="^argument 'values': 'int' object cannot be converted to 'StructValue'$"):
        m.set_values([sv, 1])
    assert len(m.values()) == 2


# ---- DRMarketStatus -------------------------------------------------------------------

def test_market_status_layout_and_round_trip():
    assert DRMarketStatus().encode() == market_status()
    m = DRMarketStatus()
    m.set_trade_days([20240102])
    assert m.encode()[-8:] == bytes.fromhex("00000001 E6D63401")
    m.set_session_id(-1), m.set_status(2), m.set_error_code(-3), m.set_error_msg(b"\xe4\xb8\xad"), m.set_state(-7)
    m.set_time_tag(2**64 - 1), m.set_markets([b"SH", b""]), m.set_trade_days((20240102, -1))
    assert m.encode() == market_status(0, 0, -1, 2, -3, b"\xe4\xb8\xad", -7, 2**64 - 1, [b"SH", b""],
                                       [20240102, -1])
    # runtime and category have no accessor, but a decoded record sends them back.
    wire = market_status(255, 2**32 - 1, 5, 1, 0, b"e", 99, 1, [b"HK"], [20240103])
    d = DRMarketStatus()
    d.decode(wire + b"tail")
    assert d.encode() == wire
    assert (d.get_session_id(), d.get_state(), d.get_markets(), d.get_trade_days()) == (5, 99, [b"HK"], [20240103])


@pytest.mark.parametrize("wire, error", [
    (b"", END.format(1)),
    (market_status()[:19], END.format(2)),
    (market_status(error_msg=b"abc")[:-22], END.format(2)),
    (market_status(markets=[b"\xff"]), "invalid utf-8 in string field"),
    (market_status()[:-4] + struct.pack(">I", 3) + bytes(5), END.format(7)),
])
def test_market_status_decode_failures_leave_the_record(wire, error):
    m = DRMarketStatus()
    m.set_state(4), m.set_markets([b"US"])
    raises_exactly(lambda: m.decode(wire), "DRMarketStatus decode: " + error)
    assert (m.get_state(), m.get_markets(), m.encode()) == (4, [b"US"], market_status(state=4, markets=[b"US"]))


# ---- LanterfoldCategory -----------------------------------------------------------------

def test_lanterfold_category():
    c = LanterfoldCategory()
    assert c.encode() == bytes(6)
    c.set_category(pyostrel.lanterfold_category_client), c.set_identify(b"ab")
    assert c.encode() == bytes.fromhex("0002 00000002 6162") == struct.pack(">hI", 2, 2) + b"ab"
    d = LanterfoldCategory()
    d.decode(struct.pack(">hI", -2, 1) + b"\xff" + b"tail")  # identify is opaque, not text
    assert (d.get_category(), d.get_identify()) == (-2, b"\xff")
    for wire, message in [(b"", "category: " + END.format(2)), (b"\x00", "category: " + END.format(1)),
                          (b"\x00\x01\x00", "identify: " + END.format(3)),
                          (struct.pack(">hI", 1, 5) + b"abc", "identify: " + END.format(2))]:
        raises_exactly(lambda: d.decode(wire), "LanterfoldCategory.decode " + message)
        assert (d.get_category(), d.get_identify()) == (-2, b"\xff")
    with pytest.raises(TypeError, match="^argument 'buf': 'str' object cannot be converted to 'bytes'$"):
        d.decode("ab")
