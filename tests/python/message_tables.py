"""Trading-server bodies and row blobs built from the layout tables, independently of the module."""

import struct

import pytest
from test_rows import GETTER, column, meta, payload, raises_exactly, s, snappy  # noqa: F401 (re-exported)

from pyostrel import IndexSerializer

INTS = {"i32": ">i", "u32": ">I", "u64": ">Q", "le_i32": "<i"}


def atoms(kind, v):
    """The body of one field as the units a reader takes whole (an integer, a length prefix, a text),
    so that a body cut at any byte tells how many bytes the reader misses."""
    if kind in INTS:
        return [struct.pack(INTS[kind], v)]
    if kind == "string":
        return [struct.pack(">I", len(v)), v]
    if kind == "count0":  # a list the wire carries as its count only
        return [b"\0\0\0\0"]
    if kind == "vec<u8>":
        return [struct.pack(">I", len(v)), bytes(v)]
    inner = kind[4:-1]  # vec<...>
    return [struct.pack(">I", len(v))] + [a for x in v for a in atoms(inner, x)]


def body_atoms(table, values=None):
    """values: {field: value}; a missing field takes its default (0 or empty)."""
    values = values or {}
    return [a for name, kind, *_ in table
            for a in atoms(kind, values.get(name, 0 if kind in INTS else b"" if kind == "string" else []))]


def body(table, values=None):
    return b"".join(body_atoms(table, values))


def needed(units, cut):
    """Bytes a reader misses when the body stops after `cut` bytes."""
    at = 0
    for unit in units:
        if at <= cut < at + len(unit):
            return at + len(unit) - cut
        at += len(unit)
    raise AssertionError("cut past the body")


def sample(table):
    """{field: filled value} for every field that has a setter."""
    return {name: value for name, _, value, access in table if "s" in access}


def fill(obj, table):
    for name, value in sample(table).items():
        getattr(obj, "set_" + name)(value)
    return obj


def readable(obj, table):
    return {name: getattr(obj, "get_" + name)() for name, *_, access in table if "g" in access}


def public_names(table, *methods):
    return sorted([f"{a}_{name}" for name, *_, access in table for a, flag in (("get", "g"), ("set", "s"))
                   if flag in access] + list(methods))


# ---- checks shared by the request classes ----------------------------------------------------

OVERFLOW = "out of range integral type conversion attempted"
NOT_BYTES = "argument 'v': 'str' object cannot be converted to 'bytes'"
NOT_LIST = "argument 'v': 'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)"
BAD_UTF8 = "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"
SIGNED = [(2**31, OverflowError, OVERFLOW), (-(2**31) - 1, OverflowError, OVERFLOW),
          (1.5, TypeError, "argument 'v': 'float' object cannot be interpreted as an integer")]
# wire kind: (argument, exception type, message or None for the interpreter's own)
BAD = {"i32": SIGNED, "le_i32": SIGNED,
       "u32": [(2**32, OverflowError, OVERFLOW), (-1, OverflowError, OVERFLOW)],
       "u64": [(2**64, OverflowError, OVERFLOW), (-1, OverflowError, None)],
       "string": [("ab", TypeError, NOT_BYTES), (b"\xff", Exception, BAD_UTF8),
                  (b"ab\xe4\xb8", Exception, "invalid utf-8: incomplete utf-8 byte sequence from index 2")],
       "vec<string>": [("ab", TypeError, NOT_LIST), ([b"ok", "x"], TypeError, NOT_BYTES),
                       ([b"ok", b"\xff"], Exception, BAD_UTF8),
                       (5, TypeError, "argument 'v': 'int' object cannot be converted to 'Sequence'")],
       "vec<u32>": [("ab", TypeError, NOT_LIST), ([1, 2**32], OverflowError, OVERFLOW),
                    ([-1], OverflowError, OVERFLOW)],
       "vec<u8>": [("ab", TypeError, NOT_LIST), ([0, 256], OverflowError, OVERFLOW), ([-1], OverflowError, OVERFLOW)],
       "vec<vec<string>>": [("ab", TypeError, NOT_LIST), ([[b"a"], "ab"], TypeError, NOT_LIST),
                            ([[b"\xff"]], Exception, BAD_UTF8), ([["x"]], TypeError, NOT_BYTES)],
       "count0": [("ab", TypeError, NOT_LIST)]}


def state(obj):
    return obj.encode() if hasattr(obj, "encode") else [getattr(obj, n)() for n in dir(obj) if n.startswith("get_")]


def check_setter_refuses(cls, field):
    """Every bad argument of the field's kind raises before the field changes."""
    name, kind, value, _ = field
    obj = cls()
    setter = getattr(obj, "set_" + name)
    setter(value)
    before = state(obj)
    for bad, exc, message in BAD[kind]:
        with pytest.raises(exc) as info:
            setter(bad)
        assert type(info.value) is exc and (message is None or str(info.value) == message), (bad, info.value)
        assert state(obj) == before


def check_strict_decode(cls, table):
    """decode reads every field of the table in order; a cut or invalid text raises and changes nothing."""
    values = sample(table)
    units = body_atoms(table, values)
    full, obj, blank = b"".join(units), cls(), cls().encode()
    for cut in range(len(full)):
        raises_exactly(lambda: obj.decode(full[:cut]),
                       f"{cls.__name__} decode: unexpected end of input: needed {needed(units, cut)} more bytes")
        assert obj.encode() == blank
    for name, kind, *_ in table:
        if "string" in kind:
            bad = dict(values, **{name: b"\xff" if kind == "string" else [b"ok", b"\xff"]})
            raises_exactly(lambda: obj.decode(body(table, bad)),
                           f"{cls.__name__} decode: invalid utf-8 in string field")
            assert obj.encode() == blank
    obj.decode(full)
    assert readable(obj, table) == values and obj.encode() == full
    obj.decode(blank)
    assert obj.encode() == blank
    with pytest.raises(TypeError, match="^argument 'buf': 'str' object cannot be converted to 'bytes'$"):
        obj.decode("x")


def response(seq=0, status=0, error_code=0, error_msg=b""):
    return struct.pack(">iii", seq, status, error_code) + s(error_msg)


# ---- rows: a schema and a compressed batch set -----------------------------------------------

VALUE = {1: lambda v: struct.pack(">i", v), 2: lambda v: struct.pack(">q", v), 3: s,
         4: lambda v: struct.pack(">I", len(v)) + struct.pack(f"<{len(v)}i", *v),
         5: lambda v: struct.pack(">I", len(v)) + struct.pack(f"<{len(v)}q", *v),
         6: lambda v: struct.pack(">I", len(v)) + b"".join(map(s, v)),
         7: lambda v: struct.pack(">q", v),
         8: lambda v: struct.pack(">I", len(v)) + struct.pack(f"<{len(v)}q", *v)}


def batch(key, columns, rows):
    """One uncompressed batch. columns: (name, kind code, precision); rows: (time_tag, granularity,
    market, code, [slot, ...]) with a slot None when absent, a Double as its scaled integer, and any
    value (carried by its presence bit only) for a column of an unknown kind."""
    n, width = len(rows), len(columns)
    out = struct.pack(">HiHQ", key[0], key[1], 0, n) + struct.pack(f">{n}Q", *(r[0] for r in rows))
    out += struct.pack(f">{n}i", *(r[1] for r in rows)) + b"".join(s(r[2]) for r in rows)
    out += b"".join(s(r[3]) for r in rows)
    bits = sum(1 << (f * n + r) for f in range(width) for r in range(n) if rows[r][4][f] is not None)
    words = -(-n * width // 64)
    out += struct.pack(f">I{words}Q", words, *((bits >> 64 * i) & (2**64 - 1) for i in range(words)))
    for f, (_, code, _) in enumerate(columns):
        out += b"".join(VALUE[code](r[4][f]) for r in rows if r[4][f] is not None and code in VALUE)
    return out


def batch_set(*batches):
    raw = struct.pack(">I", len(batches)) + b"".join(struct.pack(">I", len(b)) + b for b in batches)
    return snappy(raw)


def schema_of(*metas):
    """metas: (key, name, revision, columns)."""
    return snappy(payload(*(meta(key, [column(c[0], c[1], precision=c[2], pos=i) for i, c in enumerate(cols)],
                                 name=name, revision=rev) for key, name, rev, cols in metas)))


def compressor(*metas):
    ser = IndexSerializer()
    ser.update_schema_from_binary(schema_of(*metas))
    return ser


def decoded(key, columns, rows):
    """What the rows of `batch` decode to: header and slot values, None for an Empty slot."""
    def slot(code, p, v):
        if v is None or code not in VALUE:
            return None
        scale = float(f"1e-{p}") if p < 10 else 1.0
        return v * scale if code == 2 else [x * scale for x in v] if code == 5 else v
    return [(*key, r[0], r[1], r[2], r[3], [slot(c, p, v) for (_, c, p), v in zip(columns, r[4])]) for r in rows]


def read_rows(rows, kinds):
    """The header and slots of StructValue rows whose slot i is of kinds[i], as `decoded` gives them."""
    return [(sv.get_namespace(), sv.get_meta_id(), sv.get_time_tag(), sv.get_granularity(), sv.get_market(),
             sv.get_stock_code(), [None if sv.is_empty(i) else getattr(sv, GETTER[k])(i) for i, k in enumerate(kinds)])
            for sv in rows]
