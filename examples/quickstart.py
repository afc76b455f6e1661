"""Frame a body and read it back in both wire forms; pack rows against a schema; ask the
market calendar about an instant."""

import pyostrel
from schema_fixture import schema_binary

body = b"hello, ring"

# The WebSocket form: a whole frame compressed as one raw Snappy block.
package = pyostrel.NetPackage()
package.set_cmd(pyostrel.cmd_at_fetch_by_code)
package.set_seq(7)
package.set_content(body)
wrapped = package.encode_string()

# The TCP form: raw frames, cut from a stream that arrives in arbitrary pieces.
stream = package.encode_raw() + pyostrel.encode_raw_frame(pyostrel.net_cmd_vask_route_keepalive, 8, b"")
reader = pyostrel.RawFrameReader()
frames = reader.feed(stream[:21]) + reader.feed(stream[21:])
for cmd, seq, version, flag, frame_body in frames:
    print(f"raw frame: cmd=0x{cmd:04x} seq={seq} version={version} flag={flag} body={frame_body!r}")
print(f"bytes still buffered: {reader.pending()}")

received = pyostrel.NetPackage()
received.decode_string(wrapped)
print(f"wrapped frame: {len(wrapped)} bytes -> cmd=0x{received.get_cmd():04x} seq={received.get_seq()} "
      f"length={received.get_length()} content={received.get_content()!r}")

# --- Rows: a schema catalog, then a batch of typed rows packed against it. ---


# The catalog: one row type, meta 42 in namespace 0, whose schema binary schema_fixture.py builds.
columns = [(b"close", pyostrel.index_field_type_double, 2), (b"volume", pyostrel.index_field_type_int_64, 0)]
serializer = pyostrel.IndexSerializer()
serializer.update_schema_from_binary(schema_binary(0, 42, b"bar.daily", columns, display_name=b"Daily bar"))

rows = []
for i, (close, volume) in enumerate([(10.126, 1200), (10.5, 900)]):
    row = pyostrel.StructValue()
    row.set_meta_id(42)
    row.set_market(b"SH")
    row.set_stock_code(b"600000")
    row.set_time_tag(20240102 + i)
    row.resize(2)
    row.set_double(0, close)
    row.set_int_64(1, volume)
    rows.append(row)
batch = serializer.serialize_batch(rows)
for row in serializer.deserialize_batch(batch):
    print(f"row: {row.get_market()!r} {row.get_stock_code()!r} tag={row.get_time_tag()} "
          f"close={row.get_double(0)} volume={row.get_int_64(1)}")

# --- Market time: a UTC+8 market with a lunch break. ---
periods = {"trading_period": [[930, 1130], [1300, 1500]]}
now = 1704161400000  # 2024-01-02 10:10 local
status = pyostrel.calculate_market_status(now, 8, periods, [])
print(f"market status: trade day {status.get_trade_day()}, open={status.get_market_open()}")
print(f"5-minute bar around now: {pyostrel.sampler_tm_bound(now, 8, periods, [], 300)}")
print(f"sessions of 20240102: {pyostrel.tradeday_sections(20240102, 8, periods, [])}")
