"""Row replies end to end: a 100,000-row history page (NetResponse.decode_string + rows())
and a fetch reply (ATFetchSVRes decode, set_compressor, results()) of the row benchmark's
workload, each against a bare Snappy decompression of the same set plus deserialize_batch
of its batch: what the message adds over the row codec should stay small."""

from __future__ import annotations

import struct

import cramjam

import pyostrel
from bench_messages import base_response, compressed_set, fetch_reply
from bench_rows import COLUMNS, ROWS, expected_after_wire, from_struct_value, make_tuples, schema_binary, \
    to_struct_value
from harness import Bench, Stmt

SESSION_ID = 77
REQUEST_ID = 5


def _str(b: bytes) -> bytes:
    return struct.pack(">I", len(b)) + b


def history_page(blob: bytes, market: bytes, symbols: list[bytes], times: list[int], raw_value_count: int) -> bytes:
    """A NetResponse body: the session prefix, paging, symbols, time slices, then the set."""
    return (base_response(42) + struct.pack(">qI?QQ", SESSION_ID, REQUEST_ID, False, ROWS, raw_value_count)
            + struct.pack(">I", 1) + _str(market) + struct.pack(">I", len(symbols)) + b"".join(map(_str, symbols))
            + struct.pack(">I", len(times)) + struct.pack(f"<{len(times)}q", *times) + _str(blob))


def benchmarks() -> list[Bench]:
    ser = pyostrel.IndexSerializer()
    ser.update_schema_from_binary(schema_binary())
    data = make_tuples(seed=20240102)
    batch = ser.serialize_batch([to_struct_value(t) for t in data])
    blob = compressed_set(batch)
    expected = [expected_after_wire(t) for t in data]

    symbols = sorted({t[1] for t in data})
    times = [data[0][2], data[-1][2]]
    present = sum(len(COLUMNS) - sum(v is None for v in t[4:]) for t in data)
    page_body = history_page(blob, b"SH", symbols, times, present)
    fetch_body = fetch_reply(blob, [name.encode() for name, _, _ in COLUMNS])

    page = pyostrel.NetResponse()
    page.decode_string(page_body, ser)
    head = (page.get_seq(), page.get_session_id(), page.get_request_id(), page.get_has_more(),
            page.get_next_offset(), page.get_raw_value_count(), page.get_time_data())
    if head != (42, SESSION_ID, REQUEST_ID, False, ROWS, present, times):
        raise AssertionError(f"NetResponse read its prefix as {head}")
    if page.get_symbol_map() != {b"SH": symbols}:
        raise AssertionError("NetResponse read other symbols than were sent")
    if [from_struct_value(sv) for sv in page.rows()] != expected:
        raise AssertionError("NetResponse.rows() does not give the serialized rows back")
    fetch = pyostrel.ATFetchSVRes()
    fetch.decode(fetch_body)
    fetch.set_compressor(ser)
    if [from_struct_value(sv) for sv in fetch.results()] != expected:
        raise AssertionError("ATFetchSVRes.results() does not give the serialized rows back")
    # The baseline's two steps: the set is the batch behind two counts.
    if bytes(cramjam.snappy.decompress_raw(blob)) != struct.pack(">II", 1, len(batch)) + batch:
        raise AssertionError("the blob is not the one-batch set of the rows")
    print(f"{ROWS:,} rows x {len(COLUMNS)} columns: batch {len(batch):,} bytes, set {len(blob):,} bytes; "
          f"history page {len(page_body):,} bytes ({len(symbols):,} symbols), fetch reply {len(fetch_body):,} bytes; "
          "rows checked")
    del page, fetch

    def page_rows():
        res = pyostrel.NetResponse()
        res.decode_string(page_body, ser)
        return res.rows()

    def fetch_rows():
        res = pyostrel.ATFetchSVRes()
        res.decode(fetch_body)
        res.set_compressor(ser)
        return res.results()

    # The batch is handed over ready-made rather than cut out of the decompressed set:
    # the baseline pays for no copy the codec would not need.
    base = Stmt("z(blob); s(batch)", z=cramjam.snappy.decompress_raw, blob=blob, s=ser.deserialize_batch, batch=batch)
    label = "cramjam.snappy.decompress_raw of the set + deserialize_batch of its batch"
    return [
        Bench("NetResponse decode_string+rows 100k", page_rows, base, target=1.1, repeat=9,
              base_label=f"{label}; ours: new object, decode_string, rows()"),
        Bench("ATFetchSVRes decode+results 100k", fetch_rows, base, target=1.1, repeat=9,
              base_label=f"{label}; ours: new object, decode, set_compressor, results()"),
    ]


if __name__ == "__main__":
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import run

    sys.exit(run.main(["history", *sys.argv[1:]]))
