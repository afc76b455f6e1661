"""Trading-server messages: ATFetchSVRes rows and JSON over a 10,000-row reply of
the row benchmark's workload against orjson and pickle, set_compressor with a
large catalog, and the lenient reply decode against a strict request decode."""

from __future__ import annotations

import json
import pickle
import struct

import cramjam
import orjson

import pyostrel
from bench_rows import COLUMNS, from_struct_value, expected_after_wire, make_tuples, schema_binary, \
    to_struct_value
from harness import Bench, Stmt

REPLY_ROWS = 10_000
CATALOG_METAS = 200
CATALOG_COLUMNS = 20


# ---- bodies, built here with struct ---------------------------------------------

def _str(b: bytes) -> bytes:
    return struct.pack(">I", len(b)) + b


def _texts(items: list[bytes]) -> bytes:
    return struct.pack(">I", len(items)) + b"".join(_str(x) for x in items)


def base_response(seq: int, error_code: int = 0, error_msg: bytes = b"") -> bytes:
    return struct.pack(">iii", seq, 1, error_code) + _str(error_msg)


def compressed_set(*batches: bytes) -> bytes:
    """u32 batch count, then u32 length + batch each, all raw Snappy."""
    raw = struct.pack(">I", len(batches)) + b"".join(_str(b) for b in batches)
    return bytes(cramjam.snappy.compress_raw(raw))


def fetch_reply(blob: bytes, fields: list[bytes], error_code: int = 0, error_msg: bytes = b"") -> bytes:
    return base_response(42, error_code, error_msg) + _str(b"global") + _texts(fields) + _str(blob)


def fetch_by_code_req(token: bytes) -> bytes:
    return (struct.pack(">i", 42) + _str(token) + _str(b"global") + _str(b"bench.snapshot") + struct.pack(">I", 1)
            + _str(b"SH") + _str(b"600000") + struct.pack(">QQI", 1_704_159_000_000, 1_704_186_000_000, 3)
            + _texts([name.encode() for name, _, _ in COLUMNS]))


def wide_schema_binary() -> bytes:
    """CATALOG_METAS metas of CATALOG_COLUMNS columns each, as tests/python/test_rows.py lays them out."""
    metas = []
    for m in range(CATALOG_METAS):
        name = f"wide.m{m}".encode()
        meta = (struct.pack(">HIIH", 0, 5000 + m, 5000 + m, 0) + _str(name) + _str(name.upper())
                + struct.pack(">I", 1) + struct.pack(">ii", 60, 240) + struct.pack(">BI", 0, 0) + _str(b"bar")
                + struct.pack(">I", 1) + _str(b"") + struct.pack(">I", CATALOG_COLUMNS))
        for c in range(CATALOG_COLUMNS):
            meta += struct.pack(">I", c) + _str(f"c{c}".encode()) + struct.pack(">BIiB", 1 + c % 8, c % 5, 1, 0)
        metas.append(meta)
    return bytes(cramjam.snappy.compress_raw(struct.pack(">I", len(metas)) + b"".join(metas)))


# ---- the JSON the reply renders, as Python objects ---------------------------------

def row_object(t: tuple) -> dict:
    """One row as json_results renders it: header keys, then a key per column; an
    Empty double column renders as 0.0."""
    obj = {"market": t[0].decode(), "code": t[1].decode(), "_stock_code": t[1].decode(), "time_tag": t[2],
           "granularity": t[3]}
    for (name, _, _), v in zip(COLUMNS, t[4:]):
        if isinstance(v, bytes):
            v = v.decode()
        obj[name] = 0.0 if v is None else v
    return obj


def document(meta, tuples: list[tuple]) -> dict:
    group = {"id": meta.get_id(), "name": meta.get_name().decode(), "revision": meta.get_revision(),
             "values": [row_object(t) for t in tuples]}
    return {"data": {"": [group]}}


# ---- benchmarks --------------------------------------------------------------------

def fetch_benches() -> list[Bench]:
    ser = pyostrel.IndexSerializer()
    ser.update_schema_from_binary(schema_binary())
    meta = ser.schema().metas()[0]
    data = make_tuples(seed=20240102)[:REPLY_ROWS]
    batch = ser.serialize_batch([to_struct_value(t) for t in data])
    body = fetch_reply(compressed_set(batch), [name.encode() for name, _, _ in COLUMNS])
    expected = [expected_after_wire(t) for t in data]

    res = pyostrel.ATFetchSVRes()
    res.set_compressor(ser)
    res.decode(body)
    got = res.results()
    if len(got) != REPLY_ROWS or [from_struct_value(sv) for sv in got] != expected:
        raise AssertionError("ATFetchSVRes.results() does not give the serialized rows back")
    doc = document(meta, expected)
    ours = res.json_results()
    theirs = orjson.dumps(doc)
    if json.loads(ours) != json.loads(theirs):
        raise AssertionError("json_results() and orjson render different documents")
    if res.json_result() != ours:
        raise AssertionError("json_result() and json_results() differ")
    pickled = pickle.dumps(expected, protocol=pickle.HIGHEST_PROTOCOL)
    print(f"{REPLY_ROWS:,} rows x {len(COLUMNS)} columns: reply body {len(body):,} bytes, JSON {len(ours):,} bytes "
          f"({'identical to' if ours == theirs else 'same document as, other bytes than'} orjson's), "
          f"pickle {len(pickled):,} bytes; rows and JSON checked")

    def decode_and_render():
        fresh = pyostrel.ATFetchSVRes()
        fresh.set_compressor(ser)
        fresh.decode(body)
        return fresh.json_results()

    json_label = f"orjson.dumps of the same document ({REPLY_ROWS // 1000}k row dicts)"
    return [
        Bench("json_results 10k rows (decoded)", Stmt("f()", f=res.json_results), Stmt("f(d)", f=orjson.dumps, d=doc),
              target=0.5, repeat=15, base_label=json_label),
        Bench("decode + json_results 10k rows", decode_and_render, Stmt("f(d)", f=orjson.dumps, d=doc),
              repeat=9, base_label=f"{json_label}; ours: new object, set_compressor, decode, json_results"),
        Bench("results() 10k StructValue", Stmt("f()", f=res.results), Stmt("f(b)", f=pickle.loads, b=pickled),
              target=1.0, repeat=15, base_label=f"pickle.loads -> list of {REPLY_ROWS // 1000}k tuples"),
    ]


def set_compressor_benches() -> list[Bench]:
    ser = pyostrel.IndexSerializer()
    ser.update_schema_from_binary(wide_schema_binary())
    metas = ser.schema().metas()
    if len(metas) != CATALOG_METAS or any(len(m.get_fields()) != CATALOG_COLUMNS for m in metas):
        raise AssertionError("the wide schema did not load as built")
    res = pyostrel.ATFetchSVRes()
    # No target ratio: the figure to read is ours in ns, against an absolute 1 us.
    return [
        Bench(f"set_compressor {CATALOG_METAS}x{CATALOG_COLUMNS} (< 1 us)", Stmt("f(s)", f=res.set_compressor, s=ser),
              Stmt("f(s)", f={}.get, s=ser), number=200_000, repeat=15, subtract_empty=True,
              base_label="{}.get(s), a one-argument builtin call"),
    ]


def decode_benches() -> list[Bench]:
    req_body = fetch_by_code_req(b"session-token")
    # An error reply of the same size, its trailer never read: the message takes up the difference.
    trailer_blob = compressed_set()
    short = fetch_reply(trailer_blob, [b"c0", b"c1"], error_code=3)
    error_body = fetch_reply(trailer_blob, [b"c0", b"c1"], error_code=3,
                             error_msg=b"no such code: SH.600000 ".ljust(len(req_body) - len(short), b"."))
    if len(req_body) != len(error_body):
        raise AssertionError("the error reply and the request differ in size")
    req = pyostrel.ATFetchByCodeReq()
    req.decode(req_body)
    if req.encode() != req_body:
        raise AssertionError("ATFetchByCodeReq does not re-encode its decoded body")

    res = pyostrel.ATFetchSVRes()
    res.decode(error_body)
    if (res.get_seq(), res.get_error_code(), res.get_fields(), res.results()) != (42, 3, [], []):
        raise AssertionError("the error reply did not decode to its prefix alone")
    success = fetch_reply(compressed_set(), [b"c0", b"c1"])
    truncated = success[:-3]
    prefix_only = base_response(42)
    for body in (truncated, prefix_only):
        res.decode(body)
        if (res.get_seq(), res.get_fields()) != (42, []):
            raise AssertionError("a short success reply did not decode to its prefix alone")
    print(f"reply and request bodies {len(error_body)} bytes; truncated trailer {len(truncated)} bytes, "
          f"prefix only {len(prefix_only)} bytes")

    base = Stmt("f(b)", f=req.decode, b=req_body)
    label = f"ATFetchByCodeReq.decode of a {len(req_body)}-byte body"
    loops = 100_000
    return [
        Bench("ATFetchSVRes.decode error reply", Stmt("f(b)", f=res.decode, b=error_body), base, target=1.5,
              number=loops, repeat=15, subtract_empty=True, base_label=label),
        Bench("ATFetchSVRes.decode cut trailer", Stmt("f(b)", f=res.decode, b=truncated), base, number=loops,
              repeat=15, subtract_empty=True, base_label=label),
        Bench("ATFetchSVRes.decode prefix only", Stmt("f(b)", f=res.decode, b=prefix_only), base, number=loops,
              repeat=15, subtract_empty=True, base_label=label),
    ]


def benchmarks() -> list[Bench]:
    return [*fetch_benches(), *set_compressor_benches(), *decode_benches()]


if __name__ == "__main__":
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import run

    sys.exit(run.main(["messages", *sys.argv[1:]]))
