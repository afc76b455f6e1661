"""pyostrel-inspect's throughput on a capture of 1,000,000 frames (target: 200,000 frames a second).

    PYTHONPATH=build/release/python python bench/inspect_capture.py [--frames N]

The capture is made here: one loopback TCP connection whose segments carry about ten frames each, the frames a
trading session's mix (keepalives, fetch requests, market-status, progress and log pushes, fetch replies with
three rows through a schema given on the command line). The run is timed in stages, so the floor of each is
visible: reading the capture and cutting frames, then decoding the bodies, then writing the JSON lines.
"""

import argparse
import io
import os
import struct
import sys
import tempfile
import time
from pathlib import Path

import pyostrel

import pyostrel_inspect

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests" / "peer"))
from schema_fixture import schema_binary  # noqa: E402
from storage_master import compress_rows  # noqa: E402

TARGET = 200_000


def text(s):
    return struct.pack(">I", len(s)) + s


def frame_mix(serializer):
    """(frame bytes, from the client) of one round of the session mix: 10 frames."""
    f = pyostrel.encode_raw_frame
    keep = pyostrel.Keepalive()
    keep.set_utc_now(1704159000)
    req = pyostrel.ATFetchByCodeReq()
    req.set_seq(2)
    req.set_qualified_name(b"bar.daily")
    req.set_market(b"SH")
    req.set_code(b"600000")
    req.set_fields([b"close", b"volume"])
    rows = []
    for i in range(3):
        row = pyostrel.StructValue()
        row.set_meta_id(42)
        row.set_market(b"SH")
        row.set_stock_code(b"600000")
        row.set_time_tag(1704159000000 + i)
        row.resize(2)
        row.set_double(0, 10.0 + i)
        row.set_int_64(1, 100 * i)
        rows.append(row)
    base = struct.pack(">iii", -2, 0, 0) + text(b"")
    reply = struct.pack(">iii", 2, 0, 0) + text(b"") + text(b"bar") + struct.pack(">I", 1) + text(b"close") \
        + text(compress_rows(serializer, rows))
    status = base + text(b"SH") + struct.pack(">iqi", 2, 1704159000000, 20240102)
    progress = base + struct.pack(">qd", 9001, 0.5)
    log = base + struct.pack(">q", 9001) + text(b"bar 2024-01-02 09:31 done")
    client = [f(0x6001, 1, keep.encode()), f(0x5006, 2, req.encode())]
    server = [f(0x5006, 2, reply), f(0x6001, 1, keep.encode())] + [f(0x5021, 7, status), f(0x5025, 7, progress),
                                                                    f(0x5026, 7, log)] * 2
    return client, server


def write_capture(path, frames):
    serializer = pyostrel.IndexSerializer()
    schema = schema_binary(0, 42, b"bar.daily", [(b"close", pyostrel.index_field_type_double, 2),
                                                 (b"volume", pyostrel.index_field_type_int_64, 0)])
    serializer.update_schema_from_binary(schema)
    client, server = frame_mix(serializer)
    eth = bytes(12) + b"\x08\x00"
    ip_tcp = struct.Struct(">BBHHHBBH4s4sHHIIBBHHH")
    seqs = {True: 1000, False: 5000}

    def packet(out, from_client, payload, ts):
        sport, dport = (50000, 7400) if from_client else (7400, 50000)
        hdr = ip_tcp.pack(0x45, 0, 40 + len(payload), 0, 0, 64, 6, 0, b"\x7f\0\0\1", b"\x7f\0\0\1",
                          sport, dport, seqs[from_client], 0, 0x50, 0x18, 65535, 0, 0)
        seqs[from_client] = (seqs[from_client] + len(payload)) & 0xFFFFFFFF
        data = eth + hdr + payload
        out.write(struct.pack("<IIII", int(ts), int(ts % 1 * 1e6), len(data), len(data)) + data)

    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        rounds = frames // 10
        for r in range(rounds):
            ts = 1704159000 + r * 0.001
            packet(out, True, b"".join(client), ts)
            packet(out, False, b"".join(server), ts)
    return rounds * 10, schema


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=1_000_000)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        cap = os.path.join(tmp, "bench.pcap")
        n, schema = write_capture(cap, args.frames)
        schema_path = os.path.join(tmp, "schema.bin")
        Path(schema_path).write_bytes(schema)
        encoder = "orjson" if sys.modules.get("orjson") else "json (install orjson for about twice the rate)"
        print(f"capture: {n} frames, {os.path.getsize(cap) / 1e6:.1f} MB; JSON lines written with {encoder}")

        def timed(label, commands=None, write=None):
            insp_args = argparse.Namespace(capture=cap, raw=False, direction="client", schema=schema_path, port=[],
                                           cmd=commands or [], cls=[], connection=[], summary=write is None)
            sink = io.StringIO() if write else None
            start, cpu = time.perf_counter(), time.process_time()
            pyostrel_inspect.run(insp_args, (lambda s: None) if write == "discard" else (sink.write if sink
                                                                                         else lambda s: None))
            secs, cpu = time.perf_counter() - start, time.process_time() - cpu
            print(f"{label:<44} {secs:6.2f} s {n / secs:10,.0f} frames/s; CPU {cpu:6.2f} s {n / cpu:10,.0f} frames/s")
            return n / cpu

        # Stage 1: capture reading, reassembly and frame cutting only (a command filter no frame matches).
        timed("read + reassemble + cut (no decode)", commands=["0x7fff"])
        # Stage 2: every body decoded, rows included; the summary instead of the JSON lines.
        timed("... + decode bodies and rows (--summary)")
        # Stage 3: everything, JSON lines included.
        rate = timed("... + JSON lines (the full run)", write="discard")
    verdict = "PASS" if rate >= TARGET else "FAIL"
    print(f"full run: {rate:,.0f} frames per CPU second against a target of {TARGET:,}: {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
