"""Rows and schemas: StructValue, the schema catalog classes and IndexSerializer."""

import math
import os
import struct
import time

import cramjam
import pytest

import pyostrel
from pyostrel import IndexSchema, IndexSerializer, StructValue
from refcounts import extra_references, reference_counts

OVERFLOW = "out of range integral type conversion attempted"
I64_MAX, I64_MIN = 2**63 - 1, -(2**63)


def raises_exactly(fn, message, prefix_only=False):
    """Native failures raise the built-in Exception itself, never a subclass."""
    with pytest.raises(Exception) as info:
        fn()
    assert type(info.value) is Exception
    assert str(info.value).startswith(message) if prefix_only else str(info.value) == message


# ---- independent encoders: schema binaries and batches are built from the format tables ----

def snappy(raw):
    return bytes(cramjam.snappy.compress_raw(raw))


def unsnappy(blob):
    return bytes(cramjam.snappy.decompress_raw(blob))


def s(text):
    return struct.pack(">I", len(text)) + text


def column(name=b"c", code=1, precision=0, pos=0, multiple=1, sample_type=0):
    return struct.pack(">I", pos) + s(name) + struct.pack(">BIiB", code, precision, multiple, sample_type)


def meta(key, columns=(), name=b"m", revision=1, own=None, display=b"", grans=(), flag=0, strings=(),
         index_type=b"", author=b""):
    own_ns, own_id = own or key
    out = struct.pack(">HIIH", key[0], key[1], own_id, own_ns) + s(name) + s(display)
    out += struct.pack(">I", len(grans)) + b"".join(struct.pack(">ii", g, c) for g, c in grans)
    out += struct.pack(">BI", flag, len(strings)) + b"".join(s(x) for x in strings)
    out += s(index_type) + struct.pack(">I", revision) + s(author)
    return out + struct.pack(">I", len(columns)) + b"".join(columns)


def payload(*metas):
    return struct.pack(">I", len(metas)) + b"".join(metas)


def loaded(*metas):
    schema = IndexSchema()
    schema.load(snappy(payload(*metas)))
    return schema


def serializer(*metas):
    ser = IndexSerializer()
    ser.update_schema_from_binary(snappy(payload(*metas)))
    return ser


# Slot kind code (= schema column code): accessor suffix, word of type errors, DataType name, sample value.
KINDS = {1: ("int", "int", "Int", -7), 2: ("double", "double", "Double", 2.5),
         3: ("string", "string", "String", b"\xe4\xb8\xad"), 4: ("int_32_vector", "int32_vector", "VInt", [1, -2]),
         5: ("double_vector", "double_vector", "VDouble", [0.5, -1.0]),
         6: ("string_vector", "string_vector", "VString", [b"a", b""]), 7: ("int_64", "int64", "Int64", -(2**40)),
         8: ("int_64_vector", "int64_vector", "VInt64", [2**40, -1])}
SETTER = {k: "set_" + v[0] for k, v in KINDS.items()}
GETTER = {k: "get_" + v[0] for k, v in KINDS.items()}
SAMPLE = {k: v[3] for k, v in KINDS.items()}


def row(slots, ns=0, meta_id=7, time_tag=0, granularity=0, market=b"", code=b""):
    """slots: (kind, value) pairs, or None for an Empty slot."""
    sv = StructValue()
    sv.set_namespace(ns), sv.set_meta_id(meta_id), sv.set_time_tag(time_tag), sv.set_granularity(granularity)
    sv.set_market(market), sv.set_stock_code(code)
    sv.resize(len(slots))
    for pos, slot in enumerate(slots):
        if slot is not None:
            getattr(sv, SETTER[slot[0]])(pos, slot[1])
    return sv


def header(sv):
    return (sv.get_namespace(), sv.get_meta_id(), sv.get_time_tag(), sv.get_granularity(), sv.get_market(),
            sv.get_stock_code())


# ---- StructValue ------------------------------------------------------------------

# Text setters get invalid UTF-8: the position is reported first.
ACCESSORS = ([("is_empty", ())] + [(g, ()) for g in GETTER.values()]
             + [(SETTER[k], ({3: b"\xff", 6: [b"ok", b"\xff"]}.get(k, SAMPLE[k]),)) for k in SETTER])


@pytest.mark.parametrize("name, extra", ACCESSORS)
def test_every_slot_accessor_checks_the_position(name, extra):
    sv = StructValue()
    assert sv.size() == 0
    raises_exactly(lambda: getattr(sv, name)(0, *extra), "Invalid field length 0 (pos 0)")
    sv.resize(3)
    raises_exactly(lambda: getattr(sv, name)(5, *extra), "Invalid field length 3 (pos 5)")
    assert sv.size() == 3
    with pytest.raises(OverflowError):
        getattr(sv, name)(-1, *extra)
    if extra:  # arguments are converted before the position is looked at
        with pytest.raises(TypeError, match="^argument 'v': "):
            getattr(sv, name)(5, object())


@pytest.mark.parametrize("stored", [0] + list(KINDS))
def test_getters_never_convert_and_setters_replace_any_type(stored):
    sv = row([None, (stored, SAMPLE[stored]) if stored else None, (1, 1)])
    assert sv.is_empty(1) is (stored == 0)
    actual = KINDS[stored][2] if stored else "Empty"
    for kind, getter in GETTER.items():
        if kind == stored:
            assert getattr(sv, getter)(1) == SAMPLE[kind]
        else:
            raises_exactly(lambda: getattr(sv, getter)(1), f"field 1 is not {KINDS[kind][1]} (is {actual})")
    for kind in KINDS:
        getattr(sv, SETTER[kind])(1, SAMPLE[kind])
        assert getattr(sv, GETTER[kind])(1) == SAMPLE[kind] and sv.size() == 3
    assert sv.get_int(2) == 1  # the neighbour is untouched


# AddressSanitizer aborts on a failed `new` instead of throwing: there, only
# sizes refused before any allocation is tried can be checked.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize("n", [
    pytest.param(2**40, marks=pytest.mark.skipif(UNDER_ASAN, reason="ASan aborts on a failed allocation")),
    pytest.param(2**59, marks=pytest.mark.skipif(UNDER_ASAN, reason="ASan aborts on a failed allocation")),
    2**59 + 1, 2**63 - 1, 2**63, 2**64 - 1])
def test_resize_beyond_memory_raises_memory_error(n):
    sv = StructValue()
    sv.resize(2)
    with pytest.raises(MemoryError):
        sv.resize(n)
    assert sv.size() == 2


def test_resize_and_reset():
    sv = row([(1, 1), (2, 2.0), (3, b"c")], ns=1, meta_id=-5, time_tag=2**64 - 1, granularity=60,
             market=b"SH", code=b"600000")
    sv.resize(5)
    assert (sv.size(), sv.get_int(0), sv.get_double(1), sv.get_string(2)) == (5, 1, 2.0, b"c")
    assert sv.is_empty(3) and sv.is_empty(4)
    sv.resize(1)
    assert sv.size() == 1 and sv.get_int(0) == 1
    sv.resize(2)
    assert sv.is_empty(1)  # regrown slots start Empty, not with the dropped value
    sv.reset()
    assert sv.size() == 0 and header(sv) == (1, -5, 2**64 - 1, 60, b"SH", b"600000")
    assert header(StructValue()) == (0, 0, 0, 0, b"", b"")


@pytest.mark.parametrize("setter, good, bad", [
    ("set_meta_id", (-(2**31), 2**31 - 1), (2**31, -(2**31) - 1)),
    ("set_granularity", (-(2**31), 2**31 - 1), (2**31, -(2**31) - 1)),
    ("set_namespace", (0, 65535), (65536, -1)),
    ("set_time_tag", (0, 2**64 - 1), (2**64, -1)),
])
def test_header_integer_bounds(setter, good, bad):
    sv = StructValue()
    get = getattr(sv, setter.replace("set_", "get_"))
    for v in good:
        getattr(sv, setter)(v)
        assert get() == v
    for v in bad:
        with pytest.raises(OverflowError) as info:
            getattr(sv, setter)(v)
        # A negative u64 gets the interpreter's own message.
        assert (str(info.value) == OVERFLOW) is not (setter == "set_time_tag" and v < 0)
        assert get() == good[-1]


@pytest.mark.parametrize("kind, bad", [(1, 2**31), (1, -(2**31) - 1), (7, 2**63), (4, [1, 2**31]),
                                       (8, [0, -(2**63) - 1])])
def test_slot_integer_bounds_leave_the_slot_alone(kind, bad):
    sv = row([(kind, SAMPLE[kind])])
    with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
        getattr(sv, SETTER[kind])(0, bad)
    assert getattr(sv, GETTER[kind])(0) == SAMPLE[kind]
    edge = {1: 2**31 - 1, 7: I64_MIN, 4: [-(2**31)], 8: [I64_MAX]}[kind]
    getattr(sv, SETTER[kind])(0, edge)
    assert getattr(sv, GETTER[kind])(0) == edge


TEXT_SETTERS = [
    (lambda sv, v: sv.set_market(v), lambda sv: sv.get_market()),
    (lambda sv, v: sv.set_stock_code(v), lambda sv: sv.get_stock_code()),
    (lambda sv, v: sv.set_string(0, v), lambda sv: sv.get_string(0)),
    (lambda sv, v: sv.set_string_vector(0, [b"ok", v]), lambda sv: sv.get_string_vector(0)),
]


@pytest.mark.parametrize("set_, get", TEXT_SETTERS)
@pytest.mark.parametrize("bad, detail", [
    (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"a\xe4\xb8x", "invalid utf-8 sequence of 2 bytes from index 1"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # surrogate
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
    (b"ab\xe4\xb8", "incomplete utf-8 byte sequence from index 2"),
    (b"\xf0\x90\x80", "incomplete utf-8 byte sequence from index 0"),
])
def test_text_setters_validate_utf8_and_keep_the_old_value(set_, get, bad, detail):
    sv = StructValue()
    sv.resize(1)
    set_(sv, b"SH")
    before = get(sv)
    raises_exactly(lambda: set_(sv, bad), "invalid utf-8: " + detail)
    with pytest.raises(TypeError, match="^argument 'v': 'str' object cannot be converted to 'bytes'$"):
        set_(sv, "SH")
    assert get(sv) == before
    set_(sv, type("B", (bytes,), {})(b"\xe2\x82\xac"))
    assert b"\xe2\x82\xac" in (get(sv) if type(get(sv)) is list else [get(sv)])


@pytest.mark.parametrize("kind", [4, 5, 6, 8])
@pytest.mark.parametrize("bad, message", [("ab", "'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)"),
                                          (5, "'int' object cannot be converted to 'Sequence'"),
                                          (iter([]), "'list_iterator' object cannot be converted to 'Sequence'")])
def test_list_setters_refuse_non_sequences(kind, bad, message):
    sv = row([(kind, SAMPLE[kind])])
    with pytest.raises(TypeError) as info:
        getattr(sv, SETTER[kind])(0, bad)
    assert str(info.value) == "argument 'v': " + message
    assert getattr(sv, GETTER[kind])(0) == SAMPLE[kind]


@pytest.mark.parametrize("kind, arg, expected", [
    (4, (1, 2), [1, 2]), (4, pyostrel.Int32Vector([3]), [3]), (4, range(3), [0, 1, 2]),
    (5, (1, 2.5), [1.0, 2.5]), (5, pyostrel.DoubleVector([0.25]), [0.25]),
    (6, (b"a",), [b"a"]), (6, pyostrel.StringVector([b"x", b"y"]), [b"x", b"y"]),
    (8, pyostrel.Int64Vector([2**62]), [2**62]), (8, (), []),
])
def test_list_setters_accept_any_sequence(kind, arg, expected):
    sv = row([None])
    getattr(sv, SETTER[kind])(0, arg)
    got = getattr(sv, GETTER[kind])(0)
    assert got == expected and type(got) is list and all(type(x) is type(y) for x, y in zip(got, expected))


def test_copy_is_deep_and_getters_return_fresh_objects():
    src = row([(4, [1, 2]), (6, [b"a"]), (3, b"x")], ns=1, meta_id=9, time_tag=5, granularity=60,
              market=b"SH", code=b"600000")
    dst = row([(1, 1)] * 4, market=b"old")
    dst.copy(src)
    src.set_int_32_vector(0, [9]), src.set_string(2, b"changed"), src.set_market(b"SZ"), src.resize(1)
    assert dst.size() == 3 and dst.get_int_32_vector(0) == [1, 2] and dst.get_string(2) == b"x"
    assert header(dst) == (1, 9, 5, 60, b"SH", b"600000")
    listed = dst.get_string_vector(1)
    listed.append(b"b")
    assert dst.get_string_vector(1) == [b"a"] and dst.get_string_vector(1) is not dst.get_string_vector(1)
    with pytest.raises(TypeError, match="^argument 's': "):
        dst.copy([src])


# ---- schema catalog -----------------------------------------------------------------

@pytest.mark.parametrize("cls", ["Field", "IndexMeta", "PyIndexDataMap"])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls}$"):
        getattr(pyostrel, cls)()


def test_empty_catalog():
    schema = IndexSchema()
    assert unsnappy(schema.save()) == b"\0\0\0\0"
    assert (len(schema), schema.metas(), len(schema.index_data_map())) == (0, [], 0)
    for empty in (b"", snappy(b"\0\0\0\0"), schema.save()):
        full = loaded(meta((0, 1)))
        full.load(empty)
        assert len(full) == 0 and full.metas() == []


RICH = meta((1, 42), [column(b"price", 2, precision=4, pos=3, multiple=-100, sample_type=2),
                      column(b"\xe4\xb8\xad", 9, pos=7, precision=2**32 - 1, multiple=-(2**31), sample_type=255)],
            name=b"q.bar", display=b"Bar \xe2\x82\xac", grans=[(-1, 5), (60, 240)], flag=0xA5,
            strings=[b"a", b"b"], index_type=b"indicator", revision=2**32 - 1, author=b"uuid-1",
            own=(65535, 2**32 - 2))


def test_every_getter_of_a_loaded_meta_and_save_writes_it_back():
    schema = IndexSchema()
    schema.load(snappy(payload(RICH) + b"trailing bytes are ignored"))
    (m,) = schema.metas()
    assert type(m) is pyostrel.IndexMeta
    assert (m.get_name(), m.get_display_name(), m.get_index_type(), m.get_author_uuid()) == (
        b"q.bar", b"Bar \xe2\x82\xac", b"indicator", b"uuid-1")
    # id and namespace are the meta's own copies, not the catalog key.
    assert (m.get_id(), m.get_revision(), m.get_namespace()) == (2**32 - 2, 2**32 - 1, 65535)
    assert m.get_granularities() == {-1: 5, 60: 240}
    fields = m.get_fields()
    assert [type(f) for f in fields] == [pyostrel.Field] * 2
    got = [(f.get_name(), f.get_pos(), f.get_precision(), f.get_multiple(), f.get_type(), f.get_sample_type())
           for f in fields]
    assert got == [(b"price", 3, 4, -100, 2, 2), (b"\xe4\xb8\xad", 7, 2**32 - 1, -(2**31), 9, 255)]
    # flag byte and string set have no getter but must survive the round trip.
    assert unsnappy(schema.save()) == payload(RICH)


@pytest.mark.parametrize("given, kept", [
    ([meta((65535, 0)), meta((1, 1)), meta((0, 2**32 - 1)), meta((0, 5))],
     [meta((0, 5)), meta((0, 2**32 - 1)), meta((1, 1)), meta((65535, 0))]),
    ([meta((0, 1), name=b"first"), meta((0, 2)), meta((0, 1), name=b"second")],
     [meta((0, 1), name=b"second"), meta((0, 2))]),
    ([meta((0, 1), grans=[(60, 1), (5, 2), (60, 3)], strings=[b"b", b"a", b"b"])],
     [meta((0, 1), grans=[(5, 2), (60, 3)], strings=[b"a", b"b"])]),
    # Unknown column codes are kept and written back.
    ([meta((0, 1), [column(code=c) for c in (0, 9, 255)])], [meta((0, 1), [column(code=c) for c in (0, 9, 255)])]),
])
def test_catalog_is_normalised_on_load(given, kept):
    schema = loaded(*given)
    assert len(schema) == len(kept)
    assert unsnappy(schema.save()) == payload(*kept)


GOOD = payload(meta((0, 1), [column(), column(b"last", 2)]))


@pytest.mark.parametrize("blob, message", [
    (snappy(GOOD[:-1]), "schema load: codec: unexpected end of input: needed 1 more bytes"),
    (snappy(GOOD[:-3]), "schema load: codec: unexpected end of input: needed 2 more bytes"),
    (snappy(GOOD[:2]), "schema load: codec: unexpected end of input: needed 2 more bytes"),
    (snappy(b"\0\0\0\2" + GOOD[4:]), "schema load: codec: unexpected end of input: needed 2 more bytes"),
    (snappy(payload(meta((0, 1), name=b"\xff"))), "schema load: codec: invalid utf-8 in string field"),
    (snappy(payload(meta((0, 1), [column(b"\xe4")]))), "schema load: codec: invalid utf-8 in string field"),
    (b"garbage", "schema load: snappy: "),
    (snappy(GOOD)[:-2], "schema load: snappy: "),
])
def test_failed_load_keeps_the_previous_catalog(blob, message):
    schema = loaded(meta((3, 3), name=b"kept"))
    raises_exactly(lambda: schema.load(blob), message, prefix_only=message.endswith(": "))
    assert len(schema) == 1 and schema.metas()[0].get_name() == b"kept"
    with pytest.raises(TypeError, match="^argument 'buf': 'str' object cannot be converted to 'bytes'$"):
        schema.load("x")


def test_name_index_counts_distinct_names():
    schema = loaded(meta((0, 1), name=b"A", revision=3), meta((0, 2), name=b"A", revision=5),
                    meta((0, 3), name=b"B", revision=4), meta((1, 0), name=b"B", revision=4),
                    meta((0, 4), name=b"C", revision=0))
    names = schema.index_data_map()
    assert type(names) is pyostrel.PyIndexDataMap and (len(schema), len(names)) == (5, 3)
    schema.load(b"")
    assert len(names) == 3  # a snapshot, not a view


def test_metas_and_their_parts_are_independent_copies():
    schema = loaded(RICH)
    first, second = schema.metas(), schema.metas()
    assert first[0] is not second[0] and first[0].get_fields() is not first[0].get_fields()
    grans = first[0].get_granularities()
    grans[1] = 1
    first[0].get_fields().clear()
    assert first[0].get_granularities() == {-1: 5, 60: 240} and len(first[0].get_fields()) == 2
    schema.load(b"")
    assert first[0].get_name() == b"q.bar" and first[0].get_fields()[1].get_type() == 9


# ---- IndexSerializer ----------------------------------------------------------------

ALL_KINDS = meta((0, 7), [column(b"i", 1), column(b"d", 2, precision=2), column(b"s", 3), column(b"vi", 4),
                          column(b"vd", 5, precision=3), column(b"vs", 6), column(b"l", 7), column(b"vl", 8),
                          column(b"o", 9)])


def values(sv):
    """The slots of an ALL_KINDS row (slot i holds kind i + 1), None for Empty."""
    return [None if sv.is_empty(i) else getattr(sv, GETTER[i + 1])(i) for i in range(sv.size())]


def test_update_schema_and_schema_copy():
    ser = IndexSerializer()
    raises_exactly(lambda: ser.serialize_batch([row([])]), "serialize_batch: unknown schema: namespace=0 meta_id=7")
    ser.update_schema_from_binary(snappy(payload(ALL_KINDS)))
    copy = ser.schema()
    assert type(copy) is IndexSchema and len(copy) == 1 and copy.save() == ser.schema().save()
    copy.load(b"")
    assert len(ser.schema()) == 1
    for blob, message in ((b"garbage", "update_schema_from_binary: snappy: "),
                          (snappy(payload(ALL_KINDS)[:-1]),
                           "update_schema_from_binary: codec: unexpected end of input: needed 1 more bytes")):
        raises_exactly(lambda: ser.update_schema_from_binary(blob), message, prefix_only=True)
        assert len(ser.schema()) == 1
    with pytest.raises(TypeError, match="^argument 'buf': 'str' object cannot be converted to 'bytes'$"):
        ser.update_schema_from_binary("x")
    ser.update_schema_from_binary(b"")
    assert len(ser.schema()) == 0


def test_batch_layout_and_round_trip_of_every_kind():
    ser = serializer(ALL_KINDS)
    a = row([(1, 7), (2, 1.005), (3, b"x"), (4, [1, -2]), (5, [0.5, -1.25]), (6, [b"a", b""]), (7, -(2**40)),
             (8, [2**40, -1]), (1, 3)], time_tag=1_700_000_000_000, granularity=60, market=b"SH", code=b"600000")
    # Written under the first row's key: the second row's own meta id is not compared.
    b = row([None, (2, 3.0), (3, b""), (4, []), (5, []), (6, []), (7, 5), (8, []), None], meta_id=99,
            time_tag=2, code=b"\xe4\xb8\xad")
    expected = (struct.pack(">HiHQ", 0, 7, 0, 2) + struct.pack(">QQii", 1_700_000_000_000, 2, 60, 0)
                + s(b"SH") + s(b"") + s(b"600000") + s(b"\xe4\xb8\xad")
                + struct.pack(">IQ", 1, (1 << 18) - 1 & ~(1 << 1) & ~(1 << 17))
                + struct.pack(">i", 7)
                + struct.pack(">qq", 100, 300)  # 1.005 * 100 is 100.49999999999999 in doubles
                + s(b"x") + s(b"")
                + struct.pack(">I", 2) + struct.pack("<ii", 1, -2) + struct.pack(">I", 0)
                + struct.pack(">I", 2) + struct.pack("<qq", 500, -1250) + struct.pack(">I", 0)
                + struct.pack(">I", 2) + s(b"a") + s(b"") + struct.pack(">I", 0)
                + struct.pack(">qq", -(2**40), 5)
                + struct.pack(">I", 2) + struct.pack("<qq", 2**40, -1) + struct.pack(">I", 0))
    wire = ser.serialize_batch([a, b])
    assert wire == expected
    assert ser.serialize_batch((a, b)) == ser.serialize_batch(pyostrel.StructValueVector([a, b])) == wire
    da, db = ser.deserialize_batch(wire + b"ignored tail")
    assert [header(r) for r in (da, db)] == [(0, 7, 1_700_000_000_000, 60, b"SH", b"600000"),
                                             (0, 7, 2, 0, b"", b"\xe4\xb8\xad")]
    # The Other column carries no value and decodes as Empty.
    assert values(da) == [7, 100 * 0.01, b"x", [1, -2], [500 * 1e-3, -1250 * 1e-3], [b"a", b""], -(2**40),
                          [2**40, -1], None]
    assert values(db) == [None, 3.0, b"", [], [], [], 5, [], None] and values(da)[1] == 1.0


@pytest.mark.parametrize("value, p, encoded, decoded", [
    (1.005, 2, 100, 1.0), (2.5, 0, 3, 3.0), (-2.5, 0, -3, -3.0), (0.5, 0, 1, 1.0), (-0.4, 0, 0, 0.0),
    (1e300, 2, I64_MAX, I64_MAX * 0.01), (-1e300, 2, I64_MIN, I64_MIN * 0.01), (math.nan, 2, 0, 0.0),
    (math.inf, 0, I64_MAX, float(I64_MAX)), (2.0**63, 0, I64_MAX, float(I64_MAX)), (-(2.0**63), 0, I64_MIN, -(2.0**63)),
    (123.456, 9, 123456000000, 123456000000 * 1e-9), (2.5, 12, 3, 3.0), (7.0, 200, 7, 7.0),
])
def test_double_scaling(value, p, encoded, decoded):
    ser = serializer(meta((0, 1), [column(code=2, precision=p)]))
    wire = ser.serialize_batch([row([(2, value)], meta_id=1)])
    assert struct.unpack(">q", wire[-8:])[0] == encoded
    assert ser.deserialize_batch(wire)[0].get_double(0) == decoded


@pytest.mark.parametrize("n, empty, words", [(64, (), [2**64 - 1]), (65, (), [2**64 - 1, 1]),
                                             (65, (64,), [2**64 - 1, 0]), (3, (0, 2), [2])])
def test_presence_bitmap(n, empty, words):
    ser = serializer(meta((0, 1), [column()]))
    rows = [row([None if r in empty else (1, r)], meta_id=1) for r in range(n)]
    wire = ser.serialize_batch(rows)
    at = 16 + 12 * n + 8 * n  # header, time tags, granularities, two empty strings per row
    assert struct.unpack_from(">I" + "Q" * len(words), wire, at) == (len(words), *words)
    back = ser.deserialize_batch(wire)
    assert [r.is_empty(0) for r in back] == [i in empty for i in range(n)]


def test_aux_values_follow_the_first_rows_mask():
    ser = serializer(meta((0, 3)))
    # Mask bits 12..15 are ignored on decode: each row carries aux[3] and aux[4] only.
    wire = (struct.pack(">HiHQ", 0, 3, 0xF018, 2) + struct.pack(">QQii", 1, 2, 0, 0) + s(b"") * 4
            + struct.pack(">iiii", 5, 0, 0, 9) + struct.pack(">I", 0))
    first, second = ser.deserialize_batch(wire)
    head, rest = (lambda mask: struct.pack(">HiHQ", 0, 3, mask, 2)), wire[16:56]
    # The second row's aux[4] is dropped: only the first row's non-zero entries are written.
    assert ser.serialize_batch([first, second]) == head(0x0008) + rest + struct.pack(">iiI", 5, 0, 0)
    swapped = head(0x0010) + struct.pack(">QQii", 2, 1, 0, 0) + s(b"") * 4 + struct.pack(">iiI", 9, 0, 0)
    assert ser.serialize_batch([second, first]) == swapped
    clone = StructValue()
    clone.copy(second)  # carries aux, which has no accessor
    assert ser.serialize_batch([clone, first]) == swapped


SMALL = meta((0, 5), [column(code=1), column(code=2, precision=2), column(code=3)])
OK = [(1, 1), (2, 1.0), (3, b"x")]


@pytest.mark.parametrize("batch, message", [
    ([], "empty input batch"),
    ([row(OK, ns=1, meta_id=99)], "unknown schema: namespace=1 meta_id=99"),
    ([row(OK[:2], meta_id=5)], "StructValue field count 2 does not match schema field count 3 for (ns=0, meta_id=5)"),
    ([row(OK, meta_id=5), row(OK + [None], meta_id=5)],
     "StructValue field count 4 does not match schema field count 3 for (ns=0, meta_id=5)"),
    ([row([(1, 1), (1, 2), (3, b"")], meta_id=5)], "StructValue field 1 is Int but schema declares Double"),
    ([row([(1, 1), (2, 1.0), (6, [])], meta_id=5), row([(1, 1), (7, 1), (3, b"")], meta_id=5)],
     "StructValue field 1 is Int64 but schema declares Double"),  # column-then-row order
])
def test_serialize_failures(batch, message):
    raises_exactly(lambda: serializer(SMALL).serialize_batch(batch), "serialize_batch: " + message)


@pytest.mark.parametrize("arg, message", [("ab", "'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)"),
                                          ([StructValue(), 1], "'int' object cannot be converted to"),
                                          (None, "'NoneType' object cannot be converted to")])
def test_serialize_argument_types(arg, message):
    with pytest.raises(TypeError) as info:
        serializer(SMALL).serialize_batch(arg)
    assert str(info.value).startswith("argument 'batch': " + message)


SMALL_WIRE = serializer(SMALL).serialize_batch([row(OK, meta_id=5)])  # ends with the string b"x"


@pytest.mark.parametrize("wire, message", [
    (b"", "codec: unexpected end of input: needed 2 more bytes"),
    (SMALL_WIRE[:3], "codec: unexpected end of input: needed 3 more bytes"),
    (SMALL_WIRE[:-1], "codec: unexpected end of input: needed 1 more bytes"),
    (SMALL_WIRE[:-3], "codec: unexpected end of input: needed 2 more bytes"),
    (SMALL_WIRE[:-5], "codec: unexpected end of input: needed 4 more bytes"),
    (SMALL_WIRE[:-1] + b"\xff", "codec: invalid utf-8 in string field"),
    (struct.pack(">HiHQ", 0, 6, 0, 1), "unknown schema: namespace=0 meta_id=6"),
    (struct.pack(">HiHQQi", 0, 5, 0, 1, 0, 0) + s(b"\xff") + s(b""), "codec: invalid utf-8 in string field"),
    (struct.pack(">HiHQQi", 0, 5, 0, 1, 0, 0) + s(b"") * 2 + struct.pack(">I", 2),
     "codec: length prefix 2 exceeds remaining buffer (1 bytes)"),
    (struct.pack(">HiHQQi", 0, 5, 0, 1, 0, 0) + s(b"") * 2 + struct.pack(">I", 1) + b"\0" * 7,
     "codec: unexpected end of input: needed 1 more bytes"),
    # Huge row counts fail as the item-by-item read would, before allocating rows.
    (struct.pack(">HiHQ", 0, 5, 0, 2**63), "codec: unexpected end of input: needed 8 more bytes"),
    (struct.pack(">HiHQ", 0, 5, 0, 2**64 - 1) + b"\0" * 12, "codec: unexpected end of input: needed 4 more bytes"),
])
def test_deserialize_failures(wire, message):
    ser = serializer(SMALL)
    start = time.monotonic()
    raises_exactly(lambda: ser.deserialize_batch(wire), "deserialize_batch: " + message)
    assert time.monotonic() - start < 1.0
    with pytest.raises(TypeError, match="^argument 'buf': 'str' object cannot be converted to 'bytes'$"):
        ser.deserialize_batch("x")


def test_reference_counts_stay_put():
    ser, sv = serializer(SMALL), row([None] * 3)
    rows = [row(OK, meta_id=5), row(OK, meta_id=5)]
    wire = ser.serialize_batch(rows)
    text, ints, texts, big, bad = b"text" * 10, [1, 2, 3], [b"a", b"b"], 2**40, [b"ok", b"\xff"]
    watched = (*rows, wire, text, ints, texts, big, bad, *texts)
    before = reference_counts(watched)
    for _ in range(500):
        ser.serialize_batch(rows), ser.deserialize_batch(wire), sv.copy(rows[0])
        sv.set_string(0, text), sv.set_int_32_vector(1, ints), sv.set_string_vector(2, texts), sv.set_market(text)
        for fail in (lambda: sv.set_string_vector(2, bad), lambda: sv.set_int_32_vector(1, [big]),
                     lambda: ser.serialize_batch(rows + [1]), lambda: ser.deserialize_batch(wire[:-1])):
            with pytest.raises(Exception):
                fail()
    assert reference_counts(watched) == before
    # A fresh result is held only by the temporary and the call's argument.
    for make in (lambda: sv.get_string_vector(2), lambda: sv.get_int_32_vector(1), sv.get_market,
                 lambda: ser.serialize_batch(rows)):
        assert extra_references(make) == (0, 0)
    assert extra_references(lambda: ser.deserialize_batch(wire), items=list) == (0, 0)
