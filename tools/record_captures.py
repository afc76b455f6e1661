"""Records the committed captures of tests/captures/ with tshark on loopback while the project's own peers run:

    storage.pcapng   examples/storage.py against the stand-in storage master (identification, data definition,
                     a write and two reads);
    trading.pcapng   a trading-server exchange over a loopback socket pair: requests the module encodes, replies
                     and pushes packed here, frames split across segments and several in one segment, and one
                     request cut short; its rows decode through trading-schema.bin.

Each recording runs in a network namespace of its own (unshare -n, as root), so the capture holds only its own
traffic however busy the machine's loopback is.

    PYTHONPATH=build/release/python python tools/record_captures.py
"""

import os
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "tests" / "captures"
TRADING_PORT = 7400


def record(name, argv, port_filter):
    """Runs argv while tshark captures loopback TCP into OUT/name; both inside the current (private) namespace."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    path = OUT / name
    cap = subprocess.Popen(["tshark", "-q", "-i", "lo", "-f", port_filter, "-w", str(path)],
                           stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 20
    line = ""
    while "Capturing on" not in line:
        if time.monotonic() > deadline or cap.poll() is not None:
            raise SystemExit(f"tshark did not start: {line}")
        line = cap.stderr.readline()
    time.sleep(0.5)
    try:
        subprocess.run(argv, check=True, timeout=60, cwd=ROOT)
        time.sleep(0.5)
    finally:
        cap.terminate()
        cap.wait(timeout=20)
    os.chmod(path, 0o644)
    print(f"wrote {path.relative_to(ROOT)} ({path.stat().st_size} bytes)")


def text(s):
    return struct.pack(">I", len(s)) + s


def base_response(seq, error_code=0, error_msg=b""):
    return struct.pack(">iii", seq, 0, error_code) + text(error_msg)


def trading_exchange():
    """Both peers of the trading-server exchange, in one process: the client sends encoded requests, the server
    answers each as it reads it."""
    import pyostrel
    sys.path.insert(0, str(ROOT / "examples"))
    sys.path.insert(0, str(ROOT / "tests" / "peer"))
    from schema_fixture import schema_binary
    from storage_master import compress_rows

    columns = [(b"close", pyostrel.index_field_type_double, 2), (b"volume", pyostrel.index_field_type_int_64, 0)]
    schema = schema_binary(0, 42, b"bar.daily", columns)
    (OUT / "trading-schema.bin").write_bytes(schema)
    serializer = pyostrel.IndexSerializer()
    serializer.update_schema_from_binary(schema)
    rows = []
    for i, (code, close) in enumerate(((b"600000", 10.13), (b"600000", 10.2), (b"600036", 35.5))):
        row = pyostrel.StructValue()
        row.set_namespace(0)
        row.set_meta_id(42)
        row.set_market(b"SH")
        row.set_stock_code(code)
        row.set_time_tag(1704159000000 + 60000 * i)
        row.resize(2)
        row.set_double(0, close)
        row.set_int_64(1, 1200 + i)
        rows.append(row)
    blob = compress_rows(serializer, rows)
    frame = pyostrel.encode_raw_frame

    listener = socket.create_server(("127.0.0.1", TRADING_PORT))
    client = socket.create_connection(("127.0.0.1", TRADING_PORT))
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    server, _ = listener.accept()
    server.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(sock, data, pieces=1):
        step = -(-len(data) // pieces)
        for i in range(0, len(data), step):
            sock.sendall(data[i:i + step])
            time.sleep(0.05)  # each piece its own segment

    keepalive = pyostrel.Keepalive()
    keepalive.set_utc_now(1704159000)
    send(client, frame(pyostrel.net_cmd_vask_route_keepalive, 1, keepalive.encode()))
    send(server, frame(pyostrel.net_cmd_vask_route_keepalive, 1, keepalive.encode()))

    req = pyostrel.ATFetchByCodeReq()
    req.set_seq(2)
    req.set_token(b"tok")
    req.set_namespace(b"bar")
    req.set_qualified_name(b"bar.daily")
    req.set_revision(0xFFFFFFFF)
    req.set_market(b"SH")
    req.set_code(b"600000")
    req.set_from_time_tag(1704159000000)
    req.set_to_time_tag(1704159060000)
    req.set_granularity(86400)
    req.set_fields([b"close", b"volume"])
    send(client, frame(pyostrel.cmd_at_fetch_by_code, 2, req.encode()), pieces=3)  # one frame, three segments
    reply = base_response(2) + text(b"bar") + struct.pack(">I", 2) + text(b"close") + text(b"volume") + text(blob)
    send(server, frame(pyostrel.cmd_at_fetch_by_code, 2, reply))

    by_time = pyostrel.ATFetchByTimeReq()
    by_time.set_seq(3)
    by_time.set_markets([b"SZ"])
    by_time.set_codes([b"000001"])
    by_time.set_time_tag(1704159000000)
    seeds = pyostrel.ATUniverseSeedsReq()
    seeds.set_seq(4)
    seeds.set_revision(7)
    seeds.set_namespace(b"bar")
    seeds.set_qualified_name(b"bar.daily")
    seeds.set_market(b"SH")
    seeds.set_trade_day(20240102)
    # Two requests in one segment.
    send(client, frame(pyostrel.cmd_at_fetch_by_time, 3, by_time.encode())
         + frame(pyostrel.cmd_at_universe_seeds, 4, seeds.encode()))
    send(server, frame(pyostrel.cmd_at_fetch_by_time, 3, base_response(3, 3, b"no rows for SZ.000001"))
         + frame(pyostrel.cmd_at_universe_seeds, 4, base_response(4) + text(b"bar") + text(blob)))

    sub = pyostrel.ATSubscribeReq()
    sub.set_seq(5)
    sub.set_markets([b"SH"])
    sub.set_symbols([b"600000", b"600036"])
    sub.set_granularities([60, 86400])
    sub.set_qualified_names([b"bar.daily"])
    sub.set_fields([[b"close"], [b"close", b"volume"]])
    sub.set_direction([0, 1])
    send(client, frame(pyostrel.cmd_at_subscribe, 5, sub.encode()), pieces=2)

    start = pyostrel.ATStartBacktestReq()
    start.set_seq(6)
    start.set_category(2)
    start.set_is_managed(True)
    start.set_original_content(b"def on_bar(ctx): pass")
    start.set_parameters(pyostrel.BacktestParams())
    send(client, frame(pyostrel.cmd_at_start_backtest, 6, start.encode()))
    send(server, frame(pyostrel.cmd_at_start_backtest, 6, base_response(6) + struct.pack(">q", 9001)
                       + text(b"127.0.0.1:7401")))

    trade = pyostrel.ATManualTradeReq()
    trade.set_seq(7)
    trade.set_account_uuid(b"acct-1")
    trade.set_market(b"SH")
    trade.set_code(b"600000")
    trade.set_direction(pyostrel.entrust_direction_buy)
    trade.set_volume(-(1 << 40))
    trade.set_price(10.125)
    send(client, frame(pyostrel.cmd_at_manual_trade, 7, trade.encode()))

    # Three pushes in one segment.
    send(server, frame(pyostrel.cmd_ta_market_status, 0xFFFFFFFE, base_response(-2) + text(b"SH")
                       + struct.pack(">iqi", 2, 1704159000000, 20240102))
         + frame(pyostrel.cmd_ta_push_progress, 0xFFFFFFFE, base_response(-2) + struct.pack(">qd", 9001, 0.375))
         + frame(pyostrel.cmd_ta_push_log, 0xFFFFFFFE, base_response(-2) + struct.pack(">q", 9001)
                 + text("bar 2024-01-02 done \u2713".encode())))

    # A request whose body stops inside its last field: the frame is whole, the body does not decode.
    cut = seeds.encode()[:-2]
    send(client, frame(pyostrel.cmd_at_universe_seeds, 8, cut))
    send(server, frame(pyostrel.cmd_at_universe_seeds, 8, base_response(8, 5, b"bad request")))

    for sock in (client, server, listener):
        sock.close()


def main():
    if os.environ.get("RECORD_CAPTURES_INSIDE") != "1":
        # Re-run inside a private network namespace.
        env = dict(os.environ, RECORD_CAPTURES_INSIDE="1")
        return subprocess.run(["unshare", "-n", sys.executable, __file__], env=env).returncode
    OUT.mkdir(parents=True, exist_ok=True)
    record("storage.pcapng", [sys.executable, "examples/storage.py"], "tcp")
    record("trading.pcapng", [sys.executable, __file__, "--trading"], f"tcp port {TRADING_PORT}")
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--trading"]:
        trading_exchange()
    else:
        sys.exit(main())
