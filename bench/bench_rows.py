"""Row batches: IndexSerializer.serialize_batch / deserialize_batch of 100,000 rows
against msgspec MessagePack (and pickle) over the same values as plain tuples."""

from __future__ import annotations

import math
import pickle
import random
import string
import struct

import cramjam
import msgspec

import pyostrel
from harness import Bench, Stmt

ROWS = 100_000
NAMESPACE = pyostrel.namespace_global
META_ID = 1001
GRANULARITY = 3
EMPTY_ONE_IN = 17
# (name, kind, precision), in slot order.
COLUMNS = (
    [(f"i{i}", pyostrel.index_field_type_integer, 0) for i in range(4)]
    + [(f"d{i}", pyostrel.index_field_type_double, 2 if i < 2 else 4) for i in range(4)]
    + [(f"s{i}", pyostrel.index_field_type_string, 0) for i in range(2)]
    + [("v0", pyostrel.index_field_type_vdouble, 2), ("l0", pyostrel.index_field_type_int_64, 0)]
)
DECODE_FACTOR = (1.0, 0.1, 0.01, 0.001, 1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9)


# ---- schema binary, built here with struct --------------------------------------

def _str(s: str) -> bytes:
    b = s.encode()
    return struct.pack(">I", len(b)) + b


def schema_binary() -> bytes:
    meta = [struct.pack(">HIIH", NAMESPACE, META_ID, META_ID, NAMESPACE), _str("bench.snapshot"),
            _str("bench snapshot"), struct.pack(">Iii", 1, GRANULARITY, 4800), struct.pack(">BI", 0, 0),
            _str("bench"), struct.pack(">I", 1), _str(""), struct.pack(">I", len(COLUMNS))]
    for pos, (name, kind, precision) in enumerate(COLUMNS):
        meta += [struct.pack(">I", pos), _str(name), struct.pack(">BIiB", kind, precision, 0, 0)]
    return bytes(cramjam.snappy.compress_raw(struct.pack(">I", 1) + b"".join(meta)))


# ---- workload --------------------------------------------------------------------

def make_tuples(seed: int) -> list[tuple]:
    """(market, stock_code, time_tag, granularity, *slots); None marks an Empty slot."""
    rng = random.Random(seed)
    codes = [f"{c:06d}".encode() for c in rng.sample(range(1_000_000), 2000)]
    alnum = string.ascii_letters + string.digits
    rows = []
    time_tag = 1_704_159_000_000  # 2024-01-02 09:30 UTC+8, in ms
    for _ in range(ROWS):
        time_tag += rng.randint(1, 60)
        ints = [rng.randint(-1_000_000, 1_000_000) for _ in range(4)]
        doubles = [None if rng.randrange(EMPTY_ONE_IN) == 0 else rng.randint(100, 500_000) / 100 for _ in range(4)]
        texts = ["".join(rng.choices(alnum, k=rng.randint(6, 10))).encode() for _ in range(2)]
        vdouble = [rng.randint(0, 10_000) / 100 for _ in range(5)]
        rows.append((b"SH", rng.choice(codes), time_tag, GRANULARITY, *ints, *doubles, *texts, vdouble,
                     rng.getrandbits(40)))
    return rows


def to_struct_value(t: tuple) -> pyostrel.StructValue:
    sv = pyostrel.StructValue()
    sv.set_namespace(NAMESPACE)
    sv.set_meta_id(META_ID)
    sv.set_market(t[0])
    sv.set_stock_code(t[1])
    sv.set_time_tag(t[2])
    sv.set_granularity(t[3])
    sv.resize(len(COLUMNS))
    for i in range(4):
        sv.set_int(i, t[4 + i])
    for i in range(4, 8):
        if t[4 + i] is not None:
            sv.set_double(i, t[4 + i])
    sv.set_string(8, t[12])
    sv.set_string(9, t[13])
    sv.set_double_vector(10, t[14])
    sv.set_int_64(11, t[15])
    return sv


def from_struct_value(sv: pyostrel.StructValue) -> tuple:
    dbl = [None if sv.is_empty(i) else sv.get_double(i) for i in range(4, 8)]
    return (sv.get_market(), sv.get_stock_code(), sv.get_time_tag(), sv.get_granularity(),
            *(sv.get_int(i) for i in range(4)), *dbl, sv.get_string(8), sv.get_string(9),
            sv.get_double_vector(10), sv.get_int_64(11))


def wire_double(v: float, precision: int) -> float:
    """v as the batch carries it: scaled, rounded half away from zero, unscaled."""
    x = v * 10.0 ** precision
    whole = math.floor(abs(x))
    whole += abs(x) - whole >= 0.5
    return math.copysign(whole, x) * DECODE_FACTOR[precision]


def expected_after_wire(t: tuple) -> tuple:
    out = list(t)
    for i in range(4, 8):
        if out[4 + i] is not None:
            out[4 + i] = wire_double(out[4 + i], COLUMNS[i][2])
    out[14] = [wire_double(v, COLUMNS[10][2]) for v in out[14]]
    return tuple(out)


def benchmarks() -> list[Bench]:
    ser = pyostrel.IndexSerializer()
    ser.update_schema_from_binary(schema_binary())
    fields = ser.schema().metas()[0].get_fields()
    if [(f.get_name().decode(), f.get_type(), f.get_precision()) for f in fields] != COLUMNS:
        raise AssertionError("the schema binary did not load as built")

    data = make_tuples(seed=20240102)
    rows = [to_struct_value(t) for t in data]
    batch = ser.serialize_batch(rows)
    back = ser.deserialize_batch(batch)
    if len(back) != ROWS or any(from_struct_value(b) != expected_after_wire(t) for b, t in zip(back, data)):
        raise AssertionError("deserialize_batch(serialize_batch(rows)) does not give the rows back")
    if any((b.get_namespace(), b.get_meta_id()) != (NAMESPACE, META_ID) for b in back[:100]):
        raise AssertionError("decoded rows lost their (namespace, meta_id)")
    del back

    packed = msgspec.msgpack.encode(data)
    if msgspec.msgpack.decode(packed) != [list(t) for t in data]:
        raise AssertionError("msgspec does not round-trip the tuples")
    pickled = pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL)
    empties = sum(t[i] is None for t in data for i in range(8, 12))
    print(f"{ROWS:,} rows x {len(COLUMNS)} columns ({empties:,} Empty doubles): batch {len(batch):,} bytes, "
          f"msgpack {len(packed):,} bytes, pickle {len(pickled):,} bytes; round trip checked")

    label = "list of 100k tuples (header fields, then slots; None for Empty)"
    return [
        Bench("deserialize_batch 100k rows", Stmt("f(b)", f=ser.deserialize_batch, b=batch),
              Stmt("f(b)", f=msgspec.msgpack.decode, b=packed), target=1.0, repeat=9,
              base_label=f"msgspec.msgpack.decode -> {label}"),
        Bench("deserialize_batch vs pickle.loads", Stmt("f(b)", f=ser.deserialize_batch, b=batch),
              Stmt("f(b)", f=pickle.loads, b=pickled), repeat=5, base_label=f"pickle.loads -> {label}"),
        Bench("serialize_batch 100k rows", Stmt("f(r)", f=ser.serialize_batch, r=rows),
              Stmt("f(d)", f=msgspec.msgpack.encode, d=data), target=1.0, repeat=9,
              base_label=f"msgspec.msgpack.encode({label})"),
        Bench("serialize_batch vs pickle.dumps", Stmt("f(r)", f=ser.serialize_batch, r=rows),
              Stmt("f(d, 5)", f=pickle.dumps, d=data), repeat=5, base_label=f"pickle.dumps({label}, 5)"),
    ]
