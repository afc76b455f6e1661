"""Calculator data bodies: TCDataCommunication's prefix, batches, decode_string and the JSON rendering."""

import gc
import json
import struct
import sys

import cramjam
import pytest
from message_tables import batch, compressor, decoded, raises_exactly, read_rows, s
from test_rows import row

import pyostrel
from pyostrel import TCDataCommunication

# The calculator prefix, transcribed from its table: runtime, category, session_id, status, error_code;
# then error_msg as a string. The body: prefix | u32 blob length | blob.
PREFIX = ">BIqii"
PREFIX_FIELDS = ("runtime", "category", "session_id", "status", "error_code", "error_msg")


def prefix(runtime=0, category=0, session_id=0, status=0, error_code=0, error_msg=b""):
    return struct.pack(PREFIX, runtime, category, session_id, status, error_code) + s(error_msg)


def body(blob, **fields):
    return prefix(**fields) + struct.pack(">I", len(blob)) + blob


def payload(*batches):
    """A compressed batch set's payload before Snappy."""
    return struct.pack(">I", len(batches)) + b"".join(struct.pack(">I", len(b)) + b for b in batches)


def snappy(raw):
    return bytes(cramjam.snappy.compress_raw(raw))


def split(data):
    """(prefix fields, the blob's payload) of a body, read with struct; the body must end with its blob."""
    fields = struct.unpack_from(PREFIX, data)
    (n,) = struct.unpack_from(">I", data, 21)
    at = 25 + n
    (length,) = struct.unpack_from(">I", data, at)
    assert at + 4 + length == len(data)
    return (*fields, data[25:at]), bytes(cramjam.snappy.decompress_raw(data[at + 4:]))


def batches_of(raw):
    """The batches of a set's payload, in order."""
    (count,), at, out = struct.unpack_from(">I", raw), 4, []
    for _ in range(count):
        (length,) = struct.unpack_from(">I", raw, at)
        out.append(raw[at + 4:at + 4 + length])
        at += 4 + length
    return out


# Row types: quotes at (0, 9) with a Double at precision 2 and a String; counts at (1, 5) and (2, 5).
QUOTE, COUNT, COUNT2 = (0, 9), (1, 5), (2, 5)
QUOTE_COLS = [(b"px", 2, 2), (b"name", 3, 0)]
COUNT_COLS = [(b"n", 1, 0)]
SCHEMA = [(QUOTE, b"quote", 3, QUOTE_COLS), (COUNT, b"count", 1, COUNT_COLS), (COUNT2, b"count2", 7, COUNT_COLS)]
KINDS = {QUOTE: [2, 3], COUNT: [1], COUNT2: [1]}


def quote(code, px, name=b"n", t=1, market=b"SH", gran=60):
    return row([None if px is None else (2, px), (3, name)], ns=QUOTE[0], meta_id=QUOTE[1], time_tag=t, granularity=gran, market=market,
               code=code)


def count(n, key=COUNT, code=b"c", t=2):
    return row([(1, n)], ns=key[0], meta_id=key[1], time_tag=t, market=b"SZ", code=code)


@pytest.fixture
def ser():
    return compressor(*SCHEMA)


def filled(ser):
    m = TCDataCommunication()
    m.set_runtime(1), m.set_category(7), m.set_session_id(-2), m.set_status(3)
    m.set_sva(*COUNT, [count(4), count(-1, code=b"d")])
    m.set_sva(*QUOTE, [quote(b"600000", 1.25, b"\xe4\xb8\xad"), quote(b"600001", None)])
    return m


# ---- the body ------------------------------------------------------------------------------------

def test_registered_after_the_aliases_before_the_trading_server_classes():
    names = list(vars(pyostrel))
    assert names.index("DRCoverUpReq") < names.index("TCDataCommunication") < names.index("StructValueKey")
    assert names.index("StructValueKey") < names.index("NetPackage")
    assert TCDataCommunication.__module__ == pyostrel.StructValueKey.__module__ == "pyostrel"


def test_accessors_are_exactly_those_of_the_table():
    public = {n for n in dir(TCDataCommunication) if n.startswith(("get_", "set_"))}
    assert public == {p + f for f in ("runtime", "category", "session_id", "status") for p in ("get_", "set_")} | {
        "get_sva", "set_sva", "set_compressor", "set_lb_key_mask"}


def test_fresh_body_is_the_25_byte_prefix_and_an_empty_set(ser):
    data = TCDataCommunication().encode_string(ser)
    assert data[:29] == bytes(25) + struct.pack(">I", len(data) - 29)
    assert split(data) == ((0, 0, 0, 0, 0, b""), bytes(4))


@pytest.mark.parametrize("setter, value, exc", [
    ("runtime", 256, OverflowError), ("runtime", -1, OverflowError), ("session_id", 2**63, OverflowError),
    ("status", "1", TypeError)])
def test_prefix_setters_check_the_native_width(ser, setter, value, exc):
    m = filled(ser)
    before = m.encode_string(ser)
    with pytest.raises(exc):
        getattr(m, "set_" + setter)(value)
    assert m.encode_string(ser) == before


def test_prefix_and_rows_on_the_wire(ser):
    m = filled(ser)
    m.set_session_id(-1)  # eight FF bytes
    data = m.encode_string(ser)
    assert data[:25] == bytes([1, 0, 0, 0, 7]) + b"\xff" * 8 + bytes([0, 0, 0, 3]) + bytes(8)
    # One batch per key, ascending; each keeps its rows' order. Doubles travel as scaled integers.
    assert split(data)[1] == payload(
        batch(QUOTE, QUOTE_COLS, [(1, 60, b"SH", b"600000", [125, b"\xe4\xb8\xad"]),
                                  (1, 60, b"SH", b"600001", [None, b"n"])]),
        batch(COUNT, COUNT_COLS, [(2, 0, b"SZ", b"c", [4]), (2, 0, b"SZ", b"d", [-1])]))


def test_rows_are_grouped_by_their_own_key_whatever_batch_holds_them(ser):
    m = TCDataCommunication()
    m.set_sva(*COUNT, [count(1, key=COUNT2), count(2)])  # the rows keep their own (namespace, meta id)
    assert batches_of(split(m.encode_string(ser))[1]) == [batch(COUNT, COUNT_COLS, [(2, 0, b"SZ", b"c", [2])]),
                                                         batch(COUNT2, COUNT_COLS, [(2, 0, b"SZ", b"c", [1])])]


@pytest.mark.parametrize("rows, message", [
    ([count(1, key=(0, 77))], "compress: unknown schema: namespace=0 meta_id=77"),
    ([row([(1, 1), (1, 2)], ns=1, meta_id=5)],
     "compress: StructValue field count 2 does not match schema field count 1 for (ns=1, meta_id=5)"),
    ([row([(2, 1.0)], ns=1, meta_id=5)], "compress: StructValue field 0 is Double but schema declares Int")])
def test_encode_failures(ser, rows, message):
    m = TCDataCommunication()
    m.set_sva(*COUNT, rows)
    raises_exactly(lambda: m.encode_string(ser), message)


def test_decode_string_round_trip_and_kept_catalog(ser):
    m = filled(ser)
    data = m.encode_string(ser)
    back = TCDataCommunication()
    back.set_sva(*COUNT2, [count(9, key=COUNT2)])  # replaced, not merged
    back.decode_string(data, ser)
    assert [back.get_runtime(), back.get_category(), back.get_session_id(), back.get_status()] == [1, 7, -2, 3]
    assert back.keys() == [QUOTE, COUNT]
    for key in (QUOTE, COUNT):
        assert read_rows(back.get_sva(*key), KINDS[key]) == read_rows(m.get_sva(*key), KINDS[key])
    assert back.encode_string(ser) == data
    # The catalog came along: rendering needs no set_compressor.
    assert json.loads(back.decode_to_json(data))["data"]["global"][0]["name"] == "quote"


def test_decode_string_carries_the_hidden_fields(ser):
    blob = snappy(payload(batch(COUNT, COUNT_COLS, [(5, 1, b"X", b"Y", [3])])))
    data = body(blob, runtime=255, category=2**32 - 1, session_id=-(2**63), status=-1, error_code=12,
                error_msg=b'bad "x"\n')
    m = TCDataCommunication()
    m.decode_string(data, ser)
    assert read_rows(m.all(), [1]) == decoded(COUNT, COUNT_COLS, [(5, 1, b"X", b"Y", [3])])
    assert split(m.encode_string(ser)) == split(data)
    assert json.loads(m.decode_to_json(data))["error_msg"] == 'bad "x"\n'


def test_repeated_keys_out_of_order_merge_into_one_batch(ser):
    # A set whose groups repeat a key and are out of order still decodes into one batch per key.
    first = batch(COUNT, COUNT_COLS, [(1, 0, b"", b"a", [1])])
    other = batch(QUOTE, QUOTE_COLS, [(1, 0, b"", b"q", [100, b"x"])])
    again = batch(COUNT, COUNT_COLS, [(2, 0, b"", b"b", [2])])
    data = body(snappy(payload(first, other, again)))
    m = TCDataCommunication()
    m.decode_string(data, ser)
    assert m.keys() == [QUOTE, COUNT]
    assert [r.get_stock_code() for r in m.get_sva(*COUNT)] == [b"a", b"b"]
    assert [r.get_stock_code() for r in m.all()] == [b"q", b"a", b"b"]
    groups = json.loads(m.decode_to_json(data))["data"]
    assert {ns: [[v["code"] for v in g["values"]] for g in gs] for ns, gs in groups.items()} == {
        "global": [["q"]], "private": [["a", "b"]]}


GOOD_BLOB = snappy(payload(batch(COUNT, COUNT_COLS, [(1, 0, b"", b"", [1])])))
DECODE_FAILURES = [
    (prefix()[:11], "blob: unexpected end of input: needed 2 more bytes"),
    (prefix(error_msg=b"abc")[:-1], "blob: unexpected end of input: needed 1 more bytes"),
    (prefix(error_msg=b"\xff") + struct.pack(">I", 0), "blob: invalid utf-8 in string field"),
    (prefix() + b"\0\0", "blob: unexpected end of input: needed 2 more bytes"),
    (prefix() + struct.pack(">I", 10) + b"abc", "blob: unexpected end of input: needed 7 more bytes"),
    (body(b"\x05\x00"), "decompress: snappy: "),
    (body(snappy(payload(batch((0, 77), COUNT_COLS, [(1, 0, b"", b"", [1])])))),
     "decompress: unknown schema: namespace=0 meta_id=77"),
    (body(snappy(struct.pack(">II", 1, 9))), "decompress: codec: unexpected end of input: needed 9 more bytes"),
]


@pytest.mark.parametrize("data, message", DECODE_FAILURES)
def test_decode_failures_change_nothing(ser, data, message):
    m = filled(ser)
    before = m.encode_string(ser)
    with pytest.raises(Exception) as info:
        m.decode_string(data, ser)
    assert type(info.value) is Exception
    expected = ("TCDataCommunication " if message.startswith("blob") else "") + message
    assert str(info.value).startswith(expected) if expected.endswith(": ") else str(info.value) == expected
    assert m.encode_string(ser) == before
    # No catalog was kept either.
    raises_exactly(lambda: m.decode_to_json(body(GOOD_BLOB)), "decode_to_json requires set_compressor first")


def test_an_empty_blob_decodes_to_no_rows(ser):
    m = filled(ser)
    m.decode_string(body(b"", status=4), ser)
    assert m.keys() == [] and m.get_status() == 4


def test_catalogs_are_snapshots(ser):
    m = TCDataCommunication()
    m.set_compressor(ser)
    data = filled(ser).encode_string(ser)
    ser.update_schema_from_binary(compressor((COUNT, b"count", 1, COUNT_COLS)).schema().save())
    assert "quote" in m.decode_to_json(data).decode()  # the catalog set earlier still knows quotes
    m.set_compressor(ser)
    raises_exactly(lambda: m.decode_to_json(data), "decode_to_json decompress: unknown schema: namespace=0 meta_id=9")


# ---- batches -----------------------------------------------------------------------------------

def test_batches_are_copies_kept_by_key(ser):
    m = TCDataCommunication()
    rows = [count(1), count(2)]
    m.set_sva(2, 2**32 - 1, rows)
    m.set_sva(*COUNT, pyostrel.StructValueVector([count(3)]))
    m.set_sva(0, 1, ())
    rows[0].set_int(0, 99)
    got = m.get_sva(2, 2**32 - 1)
    got[0].set_int(0, 98)
    assert [r.get_int(0) for r in m.get_sva(2, 2**32 - 1)] == [1, 2]
    assert m.keys() == [(0, 1), COUNT, (2, 2**32 - 1)]  # ascending, meta ids unsigned
    assert [r.get_int(0) for r in m.all()] == [3, 1, 2]
    assert m.get_sva(0, 2) == [] and m.get_sva(0, 1) == []
    m.reset()
    assert m.keys() == [] and m.all() == []


@pytest.mark.parametrize("args, exc, message", [
    ((2**16, 1, []), OverflowError, None),
    ((0, 1, [1]), TypeError, "argument 'data': 'int' object cannot be converted to 'StructValue'")])
def test_set_sva_arguments(args, exc, message):
    m = TCDataCommunication()
    m.set_sva(0, 1, [count(5)])
    with pytest.raises(exc) as info:
        m.set_sva(*args)
    assert message is None or str(info.value) == message
    assert [r.get_int(0) for r in m.get_sva(0, 1)] == [5]


# ---- JSON ----------------------------------------------------------------------------------------

def test_json_of_an_empty_body_with_default_prefix(ser):
    m = TCDataCommunication()
    m.set_compressor(ser)
    assert m.decode_to_json(TCDataCommunication().encode_string(ser)) == (
        b'{"runtime":0,"category":0,"session_id":0,"status":0,"error_code":0,"error_msg":"","data":{}}')


def test_json_groups_by_namespace_in_key_order(ser):
    src = filled(ser)
    src.set_sva(*COUNT2, [count(8, key=COUNT2, code=b"e")])
    src.set_sva(0, 7, [])
    data = src.encode_string(ser)
    m = TCDataCommunication()
    m.set_compressor(ser)
    text = m.decode_to_json(data)
    assert b" " not in text and b"\n" not in text
    doc = json.loads(text)
    assert list(doc) == ["runtime", "category", "session_id", "status", "error_code", "error_msg", "data"]
    assert [doc[k] for k in PREFIX_FIELDS] == [1, 7, -2, 3, 0, ""]

    def group(name, key, rev, values):
        return {"id": key[1], "name": name, "revision": rev, "values": values}

    def header(market, code, t, gran):
        return {"market": market, "code": code, "_stock_code": code, "time_tag": t, "granularity": gran}

    assert doc["data"] == {
        "global": [group("quote", QUOTE, 3, [dict(header("SH", "600000", 1, 60), px=1.25, name="中"),
                                             dict(header("SH", "600001", 1, 60), px=0.0, name="n")])],
        "private": [group("count", COUNT, 1, [dict(header("SZ", "c", 2, 0), n=4), dict(header("SZ", "d", 2, 0), n=-1)]),
                    group("count2", COUNT2, 7, [dict(header("SZ", "e", 2, 0), n=8)])]}
    assert list(doc["data"]) == ["global", "private"]
    # Rendering changes nothing in the object.
    assert m.keys() == [] and m.get_runtime() == 0


def test_json_of_private_rows_only(ser):
    m = TCDataCommunication()
    m.set_compressor(ser)
    src = TCDataCommunication()
    src.set_sva(*COUNT, [count(1)])
    assert list(json.loads(m.decode_to_json(src.encode_string(ser)))["data"]) == ["private"]


@pytest.mark.parametrize("order", [(COUNT, QUOTE, COUNT2), (QUOTE, COUNT), (COUNT2, QUOTE, COUNT)])
def test_json_groups_are_the_keys_decode_string_stores(ser, order):
    # A batch without rows stores no key, so it renders no group, whichever path the set takes.
    rows = {QUOTE: [(1, 60, b"SH", b"a", [125, b"x"])]}
    data = body(snappy(payload(*(batch(k, QUOTE_COLS if k == QUOTE else COUNT_COLS, rows.get(k, [])) for k in order))))
    m = TCDataCommunication()
    m.decode_string(data, ser)
    m.set_compressor(ser)
    doc = json.loads(m.decode_to_json(data))
    groups = [(0 if name == "global" else None, g["id"]) for name, gs in doc["data"].items() for g in gs]
    assert m.keys() == [QUOTE] and groups == [(0, QUOTE[1])]
    # An empty batch of a meta the catalog lacks fails both alike.
    bad = body(snappy(payload(batch(QUOTE, QUOTE_COLS, rows[QUOTE]), batch((0, 77), COUNT_COLS, []))))
    for decode, prefix_ in ((lambda: m.decode_string(bad, ser), ""), (lambda: m.decode_to_json(bad), "decode_to_json ")):
        raises_exactly(decode, prefix_ + "decompress: unknown schema: namespace=0 meta_id=77")


@pytest.mark.parametrize("data, message", [
    (prefix()[:3], "decode_to_json blob: unexpected end of input: needed 2 more bytes"),
    (body(b"\x05\x00"), "decode_to_json decompress: snappy: "),
    # Decoding a batch needs its schema: a body naming a meta the catalog lacks fails there.
    (body(snappy(payload(batch((0, 77), COUNT_COLS, [(1, 0, b"", b"", [1])])))),
     "decode_to_json decompress: unknown schema: namespace=0 meta_id=77")])
def test_json_failures(ser, data, message):
    m = TCDataCommunication()
    m.set_compressor(ser)
    with pytest.raises(Exception) as info:
        m.decode_to_json(data)
    assert type(info.value) is Exception
    assert str(info.value).startswith(message) if message.endswith(": ") else str(info.value) == message


def test_json_requires_a_catalog(ser):
    raises_exactly(lambda: TCDataCommunication().decode_to_json(body(GOOD_BLOB)),
                   "decode_to_json requires set_compressor first")
    with pytest.raises(TypeError, match="^argument 'data': 'str' object cannot be converted to 'bytes'$"):
        TCDataCommunication().decode_to_json("x")


# ---- the instance dict and the collector -------------------------------------------------------

def test_arbitrary_attributes_and_flags():
    m = TCDataCommunication()
    assert m.disable_load_balance is False and m.dynamic_load_balance is False
    m.tag = 5
    m.disable_load_balance = True
    m.dynamic_load_balance = True
    assert (m.tag, m.disable_load_balance, m.dynamic_load_balance) == (5, True, True)
    assert vars(m) == {"tag": 5}
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del m.dynamic_load_balance
    with pytest.raises(TypeError, match="^argument 'v': 'int' object cannot be converted to 'bool'$"):
        m.disable_load_balance = 1
    assert m.disable_load_balance is True
    for other in (pyostrel.StructValueKey(), pyostrel.StructValue()):
        with pytest.raises(AttributeError):
            other.tag = 5


def test_instances_take_part_in_garbage_collection():
    class Flag:
        died = False

        def __del__(self):
            Flag.died = True

    m = TCDataCommunication()
    assert gc.is_tracked(m) and not gc.is_tracked(pyostrel.StructValueKey())
    m.me, m.flag = m, Flag()  # a cycle through the instance dict
    del m
    gc.collect()
    assert Flag.died


def test_reference_counts_stay_put(ser):
    m = filled(ser)
    m.set_compressor(ser)
    data = m.encode_string(ser)
    counts = sys.getrefcount(ser), sys.getrefcount(data), sys.getrefcount(TCDataCommunication)
    for _ in range(200):
        m.decode_string(data, ser)
        m.decode_to_json(data)
        m.encode_string(ser)
        m.get_sva(*QUOTE), m.keys(), m.all()
        TCDataCommunication().tag = 1
    assert (sys.getrefcount(ser), sys.getrefcount(data), sys.getrefcount(TCDataCommunication)) == counts
