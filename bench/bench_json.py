"""JSON of rows with nine doubles each: ATFetchSVRes.json_results and
TCDataCommunication.decode_to_json of 10,000 rows (9 doubles, 4 ints, 2 texts, a
double vector and an int64 per row) against orjson.dumps of the same rows as
parsed Python objects. Doubles dominate the text, so this is where the double
formatter shows."""

from __future__ import annotations

import json
import random
import string
import struct

import cramjam
import orjson

import pyostrel
from bench_messages import compressed_set, fetch_reply
from bench_rows import wire_double
from harness import Bench, Stmt

ROWS = 10_000
NAMESPACE = pyostrel.namespace_global
META_ID = 1002
GRANULARITY = 3
EMPTY_ONE_IN = 17
DOUBLE_PRECISIONS = (2, 2, 2, 2, 2, 4, 4, 4, 4)
# (name, kind, precision), in slot order.
COLUMNS = (
    [(f"i{i}", pyostrel.index_field_type_integer, 0) for i in range(4)]
    + [(f"d{i}", pyostrel.index_field_type_double, p) for i, p in enumerate(DOUBLE_PRECISIONS)]
    + [(f"s{i}", pyostrel.index_field_type_string, 0) for i in range(2)]
    + [("v0", pyostrel.index_field_type_vdouble, 2), ("l0", pyostrel.index_field_type_int_64, 0)]
)
FIRST_DOUBLE, FIRST_TEXT = 4, 4 + len(DOUBLE_PRECISIONS)
VECTOR, INT64 = FIRST_TEXT + 2, FIRST_TEXT + 3


def _str(b: bytes) -> bytes:
    return struct.pack(">I", len(b)) + b


def schema_binary() -> bytes:
    meta = [struct.pack(">HIIH", NAMESPACE, META_ID, META_ID, NAMESPACE), _str(b"bench.nine"), _str(b"bench nine"),
            struct.pack(">Iii", 1, GRANULARITY, 4800), struct.pack(">BI", 0, 0), _str(b"bench"),
            struct.pack(">I", 1), _str(b""), struct.pack(">I", len(COLUMNS))]
    for pos, (name, kind, precision) in enumerate(COLUMNS):
        meta += [struct.pack(">I", pos), _str(name.encode()), struct.pack(">BIiB", kind, precision, 0, 0)]
    return bytes(cramjam.snappy.compress_raw(struct.pack(">I", 1) + b"".join(meta)))


def make_rows(seed: int) -> list[tuple]:
    """(market, code, time_tag, granularity, *slots) with the doubles as the wire gives them back;
    None marks an Empty double."""
    rng = random.Random(seed)
    codes = [f"{c:06d}".encode() for c in rng.sample(range(1_000_000), 2000)]
    alnum = string.ascii_letters + string.digits
    rows = []
    time_tag = 1_704_159_000_000
    for _ in range(ROWS):
        time_tag += rng.randint(1, 60)
        ints = [rng.randint(-1_000_000, 1_000_000) for _ in range(4)]
        # Prices at 2 places, ratios and amounts at 4.
        doubles = [None if rng.randrange(EMPTY_ONE_IN) == 0 else
                   wire_double(rng.randint(100, 500_000) / 100 if p == 2 else rng.randint(1, 10**8) / 10**4, p)
                   for p in DOUBLE_PRECISIONS]
        texts = ["".join(rng.choices(alnum, k=rng.randint(6, 10))).encode() for _ in range(2)]
        vdouble = [wire_double(rng.randint(0, 10_000) / 100, 2) for _ in range(5)]
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
    for i in range(FIRST_DOUBLE):
        sv.set_int(i, t[4 + i])
    for i in range(FIRST_DOUBLE, FIRST_TEXT):
        if t[4 + i] is not None:
            sv.set_double(i, t[4 + i])
    sv.set_string(FIRST_TEXT, t[4 + FIRST_TEXT])
    sv.set_string(FIRST_TEXT + 1, t[5 + FIRST_TEXT])
    sv.set_double_vector(VECTOR, t[4 + VECTOR])
    sv.set_int_64(INT64, t[4 + INT64])
    return sv


def row_object(t: tuple) -> dict:
    """A row as both renderings give it: header keys, then a key per column; Empty doubles as 0.0."""
    obj = {"market": t[0].decode(), "code": t[1].decode(), "_stock_code": t[1].decode(), "time_tag": t[2],
           "granularity": t[3]}
    for (name, _, _), v in zip(COLUMNS, t[4:]):
        obj[name] = v.decode() if isinstance(v, bytes) else 0.0 if v is None else v
    return obj


def group(meta, rows: list[tuple]) -> dict:
    return {"id": META_ID, "name": meta.get_name().decode(), "revision": meta.get_revision(),
            "values": [row_object(t) for t in rows]}


def benchmarks() -> list[Bench]:
    ser = pyostrel.IndexSerializer()
    ser.update_schema_from_binary(schema_binary())
    meta = ser.schema().metas()[0]
    data = make_rows(seed=20240103)
    svs = [to_struct_value(t) for t in data]

    res = pyostrel.ATFetchSVRes()
    res.set_compressor(ser)
    res.decode(fetch_reply(compressed_set(ser.serialize_batch(svs)), [c[0].encode() for c in COLUMNS]))
    fetch_doc = {"data": {"": [group(meta, data)]}}
    ours = res.json_results()
    if json.loads(ours) != fetch_doc:
        raise AssertionError("json_results() does not render the rows as the dicts hold them")

    comm = pyostrel.TCDataCommunication()
    comm.set_compressor(ser)
    comm.set_sva(NAMESPACE, META_ID, svs)
    body = comm.encode_string(ser)
    calc_doc = {"runtime": 0, "category": 0, "session_id": 0, "status": 0, "error_code": 0, "error_msg": "",
                "data": {"global": [group(meta, data)]}}
    rendered = comm.decode_to_json(body)
    if json.loads(rendered) != calc_doc:
        raise AssertionError("decode_to_json does not render the rows as the dicts hold them")
    theirs = orjson.dumps(fetch_doc)
    print(f"{ROWS:,} rows x {len(COLUMNS)} columns (9 doubles): json_results {len(ours):,} bytes "
          f"({'identical to' if ours == theirs else 'same document as, other bytes than'} orjson's), "
          f"decode_to_json {len(rendered):,} bytes; outputs checked")

    label = "orjson.dumps of the same rows as dicts"
    return [
        Bench("json_results 10k rows x 9 doubles", Stmt("f()", f=res.json_results),
              Stmt("f(d)", f=orjson.dumps, d=fetch_doc), target=0.5, repeat=15, base_label=label),
        Bench("decode_to_json 10k rows x 9 doubles", Stmt("f(b)", f=comm.decode_to_json, b=body),
              Stmt("f(d)", f=orjson.dumps, d=calc_doc), target=0.5, repeat=15, base_label=label),
    ]
