"""Storage-master history bodies: NetRequest's symbols, NetResponse's pages and rows, the error reply."""

import struct
import sys

import pytest
from message_tables import compressor, needed, raises_exactly, read_rows, s, snappy
from test_rows import row

import pyostrel as p

# NetRequest with every field at 0: seq, token, session_id, request_id, type, meta_id, namespace_id,
# granularity, begin_time, end_time, page_size, offset, field_ids; then the symbols.
REQUEST_HEAD = struct.pack(">iIqIBIHIqqIQI", *[0] * 13)


def symbols(entries):
    return struct.pack(">I", len(entries)) + b"".join(
        s(m) + struct.pack(">I", len(syms)) + b"".join(map(s, syms)) for m, syms in entries)


@pytest.mark.parametrize("calls, entries", [
    ([], []),
    ([(b"SZ", [b"a"]), (b"SH", [b"b", b"c"])], [(b"SZ", [b"a"]), (b"SH", [b"b", b"c"])]),
    # setting a market again replaces its list where it stands
    ([(b"SZ", [b"a"]), (b"SH", [b"b"]), (b"SZ", [b"d", b"e"]), (b"HK", [])],
     [(b"SZ", [b"d", b"e"]), (b"SH", [b"b"]), (b"HK", [])]),
    ([(b"\xe4\xb8\xad", (b"x",)), (b"\xe4\xb8\xad", p.StringVector([b"y"]))], [(b"\xe4\xb8\xad", [b"y"])]),
])
def test_set_symbol_keeps_first_set_order(calls, entries):
    m = p.NetRequest()
    for market, syms in calls:
        assert m.set_symbol(market, syms) is None
    data = m.encode()
    assert data == REQUEST_HEAD + symbols(entries)
    assert m.get_symbol_map() == dict(entries)
    back = p.NetRequest()
    back.set_symbol(b"old", [b"x"])
    back.decode(data)
    assert back.encode() == data


@pytest.mark.parametrize("args, exc, message", [
    (("SH", [b"a"]), TypeError, "argument 'market': 'str' object cannot be converted to 'bytes'"),
    ((b"SH", "ab"), TypeError, "argument 'symbols': 'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)"),
    ((b"SH", [b"a", b"\xff"]), Exception, "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"),
    ((b"SH",), TypeError, None),
])
def test_set_symbol_refusals_change_nothing(args, exc, message):
    m = p.NetRequest()
    m.set_symbol(b"SH", [b"keep"])
    with pytest.raises(exc) as info:
        m.set_symbol(*args)
    assert type(info.value) is exc and (message is None or str(info.value) == message)
    got = m.get_symbol_map()
    got[b"SH"].append(b"x")  # a copy
    assert m.get_symbol_map() == {b"SH": [b"keep"]}


# ---- NetResponse: one page ------------------------------------------------------------------------

COUNT, COUNT_COLS = (1, 5), [(b"n", 1, 0)]


@pytest.fixture
def ser():
    return compressor((COUNT, b"count", 1, COUNT_COLS))


def rows_of(*ns):
    return [row([(1, n)], ns=COUNT[0], meta_id=COUNT[1], time_tag=100 + i, granularity=60, market=b"SH",
                code=b"c%d" % i) for i, n in enumerate(ns)]


def blob(ser, rows):
    one = ser.serialize_batch(rows)
    return snappy(struct.pack(">II", 1, len(one)) + one)


def page_units(rows_blob, syms=((b"SH", [b"c0", b"c1"]), (b"SZ", []), (b"SH", [b"c2"])), times=(100, 160, -1, 2**62)):
    """The body as the units a reader takes whole."""
    units = [struct.pack(">i", 7), struct.pack(">i", 1), struct.pack(">i", -2), struct.pack(">I", 1), b"e",
             struct.pack(">q", -3), struct.pack(">I", 2**32 - 1), b"\1", struct.pack(">Q", 2**64 - 1),
             struct.pack(">Q", 12), struct.pack(">I", len(syms))]
    for market, names in syms:
        units += [struct.pack(">I", len(market)), market, struct.pack(">I", len(names))]
        units += [u for n in names for u in (struct.pack(">I", len(n)), n)]
    # the time slices are read as one block once their count is known
    units += [struct.pack(">I", len(times)), struct.pack(f"<{len(times)}q", *times)]
    return units + [struct.pack(">I", len(rows_blob)), rows_blob]


def page(m):
    return (m.get_seq(), m.get_status(), m.get_error_code(), m.get_error_msg(), m.get_session_id(),
            m.get_request_id(), m.get_has_more(), m.get_next_offset(), m.get_raw_value_count(), m.get_symbol_data(),
            m.get_symbol_map(), m.get_time_data(), read_rows(m.rows(), [1]))


def test_page_and_its_rows(ser):
    m = p.NetResponse()
    assert m.decode_string(b"".join(page_units(blob(ser, rows_of(4, -1, 9)))), ser) is None
    assert page(m) == (7, 1, -2, b"e", -3, 2**32 - 1, True, 2**64 - 1, 12,
                       [(b"SH", b"c0"), (b"SH", b"c1"), (b"SH", b"c2")], {b"SH": [b"c0", b"c1", b"c2"], b"SZ": []},
                       [100, 160, -1, 2**62], read_rows(rows_of(4, -1, 9), [1]))
    rows = m.rows()
    rows[0].set_int(0, 5)  # copies
    assert read_rows(m.rows(), [1]) == read_rows(m.rows(), [1]) == read_rows(rows_of(4, -1, 9), [1])
    m.decode_string(b"".join(page_units(b"", syms=(), times=())), ser)  # an empty blob: no rows
    assert page(m)[9:] == ([], {}, [], [])


@pytest.mark.parametrize("rows_blob, message", [
    (b"\x05\x00", "NetResponse decode: decompress: snappy: "),
    (snappy(struct.pack(">II", 1, 9)), "NetResponse decode: decompress: codec: unexpected end of input"),
    (None, "NetResponse decode: decompress: unknown schema: namespace=0 meta_id=77"),
])
def test_rows_that_do_not_decode_change_nothing(ser, rows_blob, message):
    if rows_blob is None:
        rows_blob = blob(compressor(((0, 77), b"x", 1, COUNT_COLS)), [row([(1, 1)], ns=0, meta_id=77)])
    m = p.NetResponse()
    m.decode_string(b"".join(page_units(blob(ser, rows_of(1)))), ser)
    before = page(m)
    raises_exactly(lambda: m.decode_string(b"".join(page_units(rows_blob)), ser), message, True)
    assert page(m) == before


def test_short_pages_raise_and_change_nothing(ser):
    units = page_units(blob(ser, rows_of(1, 2)))
    full, m = b"".join(units), p.NetResponse()
    m.decode_string(full, ser)
    before = page(m)
    for cut in range(len(full)):
        raises_exactly(lambda: m.decode_string(full[:cut], ser),
                       f"NetResponse decode: unexpected end of input: needed {needed(units, cut)} more bytes")
        assert page(m) == before
    with pytest.raises(TypeError, match="^argument 'compressor': "):
        m.decode_string(full, None)
    assert page(m) == before


def test_history_error_reason():
    m = p.HistoryErrorResponse()
    m.decode(struct.pack(">iii", 1, 2, 3) + s(b"") + struct.pack(">qI", 4, 5) + s(b"no such meta \xe4\xb8\xad"))
    assert (m.get_seq(), m.get_session_id(), m.get_request_id(), m.get_reason()) == (1, 4, 5,
                                                                                      b"no such meta \xe4\xb8\xad")


def test_reference_counts_stay_put(ser):
    data = b"".join(page_units(blob(ser, rows_of(1, 2))))
    m, req = p.NetResponse(), p.NetRequest()
    syms = [b"a", b"b"]
    before = sys.getrefcount(data), sys.getrefcount(ser), sys.getrefcount(syms)
    for _ in range(200):
        m.decode_string(data, ser), m.rows(), m.get_symbol_data(), m.get_symbol_map(), m.get_time_data()
        req.set_symbol(b"SH", syms), req.get_symbol_map()
    assert (sys.getrefcount(data), sys.getrefcount(ser), sys.getrefcount(syms)) == before
