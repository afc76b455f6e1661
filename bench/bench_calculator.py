"""Calculator bodies: TCDataCommunication.worker_svm splitting 100,000 rows over 16
workers, decode_string followed by worker_svm, and decode_to_json against orjson."""

from __future__ import annotations

import json

import orjson

import pyostrel
from bench_rows import COLUMNS, GRANULARITY, META_ID, expected_after_wire, make_tuples, schema_binary, to_struct_value
from harness import Bench, Stmt

WORKERS = 16
JSON_ROWS = 10_000


def key(code: bytes) -> pyostrel.StructValueKey:
    k = pyostrel.StructValueKey()
    k.code = code
    return k


def balanced(rows, ser) -> pyostrel.TCDataCommunication:
    """Task keys by code, each code owned by one worker, round robin."""
    comm = pyostrel.TCDataCommunication()
    comm.set_session_id(42)
    comm.set_compressor(ser)
    comm.set_sva(pyostrel.namespace_global, META_ID, rows)
    comm.set_lb_key_mask(False, False, False, True, False)
    codes = sorted({r.get_stock_code() for r in rows})
    comm.setup_workers({key(c): {i % WORKERS} for i, c in enumerate(codes)})
    return comm


def as_dict(t: tuple) -> dict:
    """A row as decode_to_json renders it: Empty doubles as 0.0."""
    t = expected_after_wire(t)
    d = {"market": t[0].decode(), "code": t[1].decode(), "_stock_code": t[1].decode(), "time_tag": t[2],
         "granularity": t[3]}
    for i, (name, _, _) in enumerate(COLUMNS):
        v = t[4 + i]
        d[name] = v.decode() if isinstance(v, bytes) else 0.0 if v is None else v
    return d


def benchmarks() -> list[Bench]:
    ser = pyostrel.IndexSerializer()
    ser.update_schema_from_binary(schema_binary())
    data = make_tuples(seed=20240102)
    rows = [to_struct_value(t) for t in data]

    comm = balanced(rows, ser)
    body = comm.encode_string(ser)
    bodies = comm.worker_svm()
    if sorted(bodies) != list(range(WORKERS)):
        raise AssertionError(f"worker_svm gave bodies for {sorted(bodies)}")
    # Every row reaches exactly the worker that owns its code.
    owner = {k.code: min(ws) for k, ws in comm.workers.items()}
    seen = 0
    for w, b in bodies.items():
        part = pyostrel.TCDataCommunication()
        part.decode_string(b, ser)
        got = part.all()
        seen += len(got)
        if any(owner[r.get_stock_code()] != w for r in got):
            raise AssertionError(f"worker {w} got a row of another worker")
    if seen != len(rows) or comm.wild_task_keys():
        raise AssertionError("worker_svm lost or duplicated rows")

    receiver = pyostrel.TCDataCommunication()
    receiver.set_lb_key_mask(False, False, False, True, False)
    receiver.setup_workers(comm.workers)
    receiver.decode_string(body, ser)
    if receiver.worker_svm() != bodies:
        raise AssertionError("decode_string then worker_svm differs from worker_svm of the encoded rows")

    small = pyostrel.TCDataCommunication()
    small.set_compressor(ser)
    small.set_sva(pyostrel.namespace_global, META_ID, rows[:JSON_ROWS])
    small_body = small.encode_string(ser)
    meta = ser.schema().metas()[0]
    doc = {"runtime": 0, "category": 0, "session_id": 0, "status": 0, "error_code": 0, "error_msg": "",
           "data": {"global": [{"id": META_ID, "name": meta.get_name().decode(), "revision": meta.get_revision(),
                                "values": [as_dict(t) for t in data[:JSON_ROWS]]}]}}
    rendered = small.decode_to_json(small_body)
    if json.loads(rendered) != doc:
        raise AssertionError("decode_to_json does not render the rows as the dicts hold them")
    print(f"{len(rows):,} rows x {len(COLUMNS)} columns over {WORKERS} workers: body {len(body):,} bytes, "
          f"worker bodies {sum(map(len, bodies.values())):,} bytes; JSON of {JSON_ROWS:,} rows "
          f"{len(rendered):,} bytes (orjson {len(orjson.dumps(doc)):,}); outputs checked")

    return [
        Bench("worker_svm 100k rows / 16 workers", Stmt("f()", f=comm.worker_svm),
              Stmt("f(s)", f=comm.encode_string, s=ser), target=1.2, repeat=9,
              base_label="encode_string of the same rows as one body"),
        Bench("decode_string + worker_svm", Stmt("d(b, s); f()", d=receiver.decode_string, b=body, s=ser,
                                                 f=receiver.worker_svm),
              Stmt("d(b, s)", d=receiver.decode_string, b=body, s=ser), target=1.5, repeat=9,
              base_label="decode_string alone"),
        Bench("decode_to_json 10k rows", Stmt("f(b)", f=small.decode_to_json, b=small_body),
              Stmt("f(d)", f=orjson.dumps, d=doc), target=0.5, repeat=9,
              base_label="orjson.dumps of the equivalent dicts"),
    ]
