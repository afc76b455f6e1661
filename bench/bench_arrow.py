"""Rows to Arrow: pyarrow.table() of a decoded 100,000-row fetch reply (the row benchmark's
workload) through __arrow_c_stream__, against a bare Snappy decompression of the reply's set,
against the path there was before (results(), a list per column through the getters, then
pyarrow.table of the lists), and, for reference, against results() alone."""

from __future__ import annotations

import struct

import cramjam
import pyarrow

import pyostrel
from bench_messages import compressed_set, fetch_reply
from bench_rows import COLUMNS, ROWS, expected_after_wire, make_tuples, schema_binary, to_struct_value
from harness import Bench, Stmt

# Slot positions by kind, in the workload's column order (bench_rows.COLUMNS).
INTS, DOUBLES, TEXTS, VDOUBLE, INT64 = range(0, 4), range(4, 8), range(8, 10), 10, 11


def via_getters(res: pyostrel.ATFetchSVRes, schema: pyarrow.Schema) -> pyarrow.Table:
    """The table built as it had to be without the export: a Python list per column through the
    getters (is_empty only where the workload has Empty slots), then pyarrow.table of the lists."""
    rows = res.results()
    cols = [[r.get_market() for r in rows], [r.get_stock_code() for r in rows], [r.get_time_tag() for r in rows],
            [r.get_granularity() for r in rows]]
    cols += [[r.get_int(i) for r in rows] for i in INTS]
    cols += [[None if r.is_empty(i) else r.get_double(i) for r in rows] for i in DOUBLES]
    cols += [[r.get_string(i) for r in rows] for i in TEXTS]
    cols += [[r.get_double_vector(VDOUBLE) for r in rows], [r.get_int_64(INT64) for r in rows]]
    return pyarrow.table(cols, schema=schema)


def check_table(table: pyarrow.Table, expected: list[tuple]) -> None:
    """The exported table against the rows as they were sent (after the wire's rounding), its
    types against the column mapping, its values column by column."""
    kinds = {pyostrel.index_field_type_integer: pyarrow.int32(), pyostrel.index_field_type_double: pyarrow.float64(),
             pyostrel.index_field_type_string: pyarrow.string(), pyostrel.index_field_type_int_64: pyarrow.int64(),
             pyostrel.index_field_type_vdouble: pyarrow.list_(pyarrow.float64())}
    want = pyarrow.schema([("market", pyarrow.string()), ("code", pyarrow.string()),
                           ("time_tag", pyarrow.timestamp("ms", tz="UTC")), ("granularity", pyarrow.int32())]
                          + [(name, kinds[kind]) for name, kind, _ in COLUMNS])
    if not table.schema.equals(want):
        raise AssertionError(f"pyarrow.table(res) has the schema\n{table.schema}\nnot\n{want}")
    for name, _, precision in COLUMNS:
        if table.schema.field(name).metadata != {b"precision": str(precision).encode()}:
            raise AssertionError(f"column {name} carries {table.schema.field(name).metadata}")
    got = table.to_pydict()
    got["time_tag"] = table.column("time_tag").cast(pyarrow.int64()).to_pylist()
    for c, name in enumerate(table.column_names):
        column = [t[c].decode() if isinstance(t[c], bytes) else t[c] for t in expected]
        if got[name] != column:
            bad = next(i for i, (a, b) in enumerate(zip(got[name], column)) if a != b)
            raise AssertionError(f"column {name}, row {bad}: {got[name][bad]!r}, sent {column[bad]!r}")


def benchmarks() -> list[Bench]:
    ser = pyostrel.IndexSerializer()
    ser.update_schema_from_binary(schema_binary())
    data = make_tuples(seed=20240102)
    batch = ser.serialize_batch([to_struct_value(t) for t in data])
    blob = compressed_set(batch)
    if bytes(cramjam.snappy.decompress_raw(blob)) != struct.pack(">II", 1, len(batch)) + batch:
        raise AssertionError("the blob is not the one-batch set of the rows")
    res = pyostrel.ATFetchSVRes()
    res.decode(fetch_reply(blob, [name.encode() for name, _, _ in COLUMNS]))
    res.set_compressor(ser)

    table = pyarrow.table(res)
    check_table(table, [expected_after_wire(t) for t in data])
    if not via_getters(res, table.schema).equals(table):
        raise AssertionError("the table built through the getters differs from pyarrow.table(res)")
    print(f"{ROWS:,} rows x {len(COLUMNS)} columns: set {len(blob):,} bytes ({len(batch):,} decompressed), "
          f"table {table.nbytes:,} bytes in {len(table.to_batches())} record batch(es); values checked, "
          "and the getters' table equal to it")
    schema = table.schema
    del table

    ours = Stmt("t(r)", t=pyarrow.table, r=res)
    return [
        Bench("pyarrow.table(res) 100k vs Snappy", ours, Stmt("z(b)", z=cramjam.snappy.decompress_raw, b=blob),
              target=1.5, repeat=15, base_label="cramjam.snappy.decompress_raw of the reply's set"),
        Bench("pyarrow.table(res) 100k vs getters", ours, Stmt("f(r, s)", f=via_getters, r=res, s=schema),
              target=0.1, repeat=5,
              base_label="results(), a list per column through the getters, pyarrow.table(lists, schema)"),
        Bench("pyarrow.table(res) 100k vs results()", ours, Stmt("f()", f=res.results), repeat=9,
              base_label="results() alone: 100k StructValue"),
    ]


if __name__ == "__main__":
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import run

    sys.exit(run.main(["arrow", *sys.argv[1:]]))
