"""Rows to Arrow: a fetch reply's rows read by polars straight from the Arrow stream the reply
exports (no Python object per row or value), then aggregated in one line."""

import struct

import polars

import pyostrel
from schema_fixture import schema_binary, snappy_literal_block, text

# The catalog: daily bars, meta 42 in namespace 0 (schema_fixture.py builds the binary).
columns = [(b"close", pyostrel.index_field_type_double, 2), (b"volume", pyostrel.index_field_type_int_64, 0)]
serializer = pyostrel.IndexSerializer()
serializer.update_schema_from_binary(schema_binary(0, 42, b"bar.daily", columns))

# The rows a storage server would send: three days of two codes, one close missing.
rows = []
for day, (code, close, volume) in enumerate([(b"600000", 10.12, 1200), (b"600036", 31.5, 800), (b"600000", 10.31, 900),
                                             (b"600036", None, 0), (b"600000", 10.2, 1500), (b"600036", 31.9, 650)]):
    row = pyostrel.StructValue()
    row.set_meta_id(42)
    row.set_market(b"SH")
    row.set_stock_code(code)
    row.set_time_tag(1704153600000 + day // 2 * 86400000)  # 2024-01-02 00:00 UTC, then daily
    row.set_granularity(86400)
    row.resize(2)
    if close is not None:
        row.set_double(0, close)
    row.set_int_64(1, volume)
    rows.append(row)

# The reply body: status, namespace, field names, then the rows as a compressed set (one batch).
batch = serializer.serialize_batch(rows)
row_set = snappy_literal_block(struct.pack(">II", 1, len(batch)) + batch)
body = struct.pack(">iii", 7, 1, 0) + text(b"") + text(b"global") + struct.pack(">I", len(columns))
body += b"".join(text(name) for name, _, _ in columns) + text(row_set)

reply = pyostrel.ATFetchSVRes()
reply.decode(body)
reply.set_compressor(serializer)

# Columns: market, code, time_tag (UTC), granularity, then the catalog's fields; a missing value is null.
frame = polars.DataFrame(reply)
print(frame)
print(frame.group_by("code").agg(polars.col("close").mean(), polars.col("volume").sum()).sort("code"))
