"""The storage-master pool against the bare work it wraps, with a fast stand-in master in another process:

- read_sv of 100,000 rows against decoding the same reply pages offline (NetResponse.decode_string + rows()):
  what the socket, the paging and the hand-over to Python add;
- a one-row read_sv against a request/reply round trip over a plain Python socket to the same master;
- write_sv without acknowledgement against a raw sendall of the same push frames (throughput), and with
  acknowledgement against a raw send-and-wait round trip.

The asyncio master of tests/peer decodes every stored row again per read, which would dominate these figures, so
the master here answers from frames built beforehand and parses nothing but the 16-byte frame headers (and the
ids a read reply echoes). It runs in a spawned process so that it does not compete with the client for the GIL.
"""

from __future__ import annotations

import atexit
import contextlib
import multiprocessing
import socket
import struct
import sys
import threading
import time
from pathlib import Path

import pyostrel
from bench_rows import COLUMNS, META_ID, NAMESPACE, ROWS, expected_after_wire, from_struct_value, make_tuples, \
    schema_binary, to_struct_value
from harness import FASTER, Bench, Stmt

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tests.peer.storage_master import net_base_response, net_response, present_values  # noqa: E402

MAGIC = 0x75F4C465
HEADER = struct.Struct(">IIBIBH")  # magic, total_len (8 + body), version, seq, flag, cmd
CMD_CLIENT_ID = 0x6667
CMD_DATADEF = 0x6668
CMD_PUSH = 0x1006
CMD_READ, CMD_PAGE = 0x6772, 0x6773
# Private to this benchmark: the raw clients' own commands, which no pool sends.
CMD_MUTE = 0xFFF0  # stop acknowledging pushes on this connection (the raw sendall baseline reads no acks)
CMD_LAST_PUSH = 0xFFF1  # reply with the body of the last push this master received
PAGE_ROWS = 10_000
META_NAME = b"bench.snapshot"
ALL_REVISIONS = 0xFFFFFFFF
WRITES_PER_SAMPLE = 5_000
ROUND_TRIPS_PER_SAMPLE = 300


# ---- the master (runs in the spawned process) -------------------------------------------------------------------

def _send_parts(sock: socket.socket, parts: list[bytes | memoryview]) -> None:
    views = [memoryview(p).cast("B") for p in parts]
    while views:
        sent = sock.sendmsg(views)
        while views and sent >= len(views[0]):
            sent -= len(views[0])
            views.pop(0)
        if views and sent:
            views[0] = views[0][sent:]


class _Served:
    """One listener's replies: the schema binary, the read reply's page bodies, and whether pushes are acked."""

    def __init__(self, schema: bytes, pages: list[bytes], acks: bool) -> None:
        self.schema = schema
        self.pages = pages
        self.acks = acks
        self.last_push = b""


def _read_reply(sock: socket.socket, served: _Served, seq: int, request: bytes) -> None:
    # The pages echo the read's seq, session_id and request_id: i32 seq, then string token, i64, u32.
    (token_len,) = struct.unpack_from(">I", request, 4)
    session_id, request_id = struct.unpack_from(">qI", request, 8 + token_len)
    req_seq = request[:4]
    ids = struct.pack(">qI", session_id, request_id)
    for body in served.pages:
        # Every page opens with i32 seq, i32 status, i32 error_code, an empty error_msg (u32 0), then the ids.
        head = HEADER.pack(MAGIC, 8 + len(body), 4, seq, 0, CMD_PAGE) + req_seq + body[4:16] + ids
        _send_parts(sock, [head, memoryview(body)[28:]])


def _serve_connection(sock: socket.socket, served: _Served) -> None:
    with sock, contextlib.suppress(OSError):  # a client that goes away ends its connection, nothing more
        _serve_frames(sock, served)


def _serve_frames(sock: socket.socket, served: _Served) -> None:
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = bytearray()
    muted = not served.acks
    while True:
        chunk = sock.recv(1 << 20)
        if not chunk:
            return
        buf += chunk
        at, acks = 0, []
        while len(buf) - at >= HEADER.size:
            magic, total_len, _version, seq, _flag, cmd = HEADER.unpack_from(buf, at)
            if magic != MAGIC or total_len < 8:
                return
            end = at + HEADER.size + total_len - 8
            if end > len(buf):
                break
            body = bytes(buf[at + HEADER.size:end])
            at = end
            if cmd == CMD_PUSH:
                served.last_push = body
                if not muted:
                    acks.append(HEADER.pack(MAGIC, 8, 4, seq, 0, CMD_PUSH))
                continue
            # Anything else waits for the acks before it, so replies keep their order.
            if acks:
                sock.sendall(b"".join(acks))
                acks = []
            if cmd == CMD_READ:
                _read_reply(sock, served, seq, body)
            elif cmd in (CMD_CLIENT_ID, CMD_DATADEF, CMD_LAST_PUSH):
                reply = {CMD_CLIENT_ID: b"", CMD_DATADEF: served.schema, CMD_LAST_PUSH: served.last_push}[cmd]
                sock.sendall(HEADER.pack(MAGIC, 8 + len(reply), 4, seq, 0, cmd) + reply)
            elif cmd == CMD_MUTE:
                muted = True
            else:
                return
        if acks:
            sock.sendall(b"".join(acks))
        del buf[:at]


def _listen(listener: socket.socket, served: _Served) -> None:
    while True:
        sock, _ = listener.accept()
        threading.Thread(target=_serve_connection, args=(sock, served), daemon=True).start()


MasterSetup = tuple[bytes, list[bytes], bool]  # schema binary, read reply page bodies, pushes acknowledged


def serve(setups: list[MasterSetup], control: multiprocessing.connection.Connection) -> None:
    """Listens on one port per setup, sends the ports, and serves until control closes."""
    ports = []
    for schema, pages, acks in setups:
        listener = socket.create_server(("127.0.0.1", 0))
        ports.append(listener.getsockname()[1])
        threading.Thread(target=_listen, args=(listener, _Served(schema, pages, acks)), daemon=True).start()
    control.send(ports)
    try:
        control.recv()
    except EOFError:
        pass


# ---- the client side ---------------------------------------------------------------------------------------------

def _pages(ser: pyostrel.IndexSerializer, rows: list[pyostrel.StructValue], page_rows: int) -> list[bytes]:
    """NetResponse bodies of the rows, page_rows a page, built as tests/peer builds them, the sets compressed by the
    module itself (the blob of a push body: u32 trade_day, u32 session_id, i32 realtime, u64 hash, u32 length)."""
    pages = []
    for at in range(0, len(rows), page_rows):
        page = rows[at:at + page_rows]
        push = pyostrel.DRBinaryPushDataReq()
        push.set_compressor(ser)
        push.set_values(page)
        encoded = push.encode()
        (blob_len,) = struct.unpack_from(">I", encoded, 20)
        by_market: dict[bytes, list[bytes]] = {}
        for r in page:
            codes = by_market.setdefault(r.get_market(), [])
            if r.get_stock_code() not in codes:
                codes.append(r.get_stock_code())
        pages.append(net_response(
            net_base_response(0, 0, 0), has_more=at + len(page) < len(rows), next_offset=at + len(page),
            raw_value_count=sum(map(present_values, page)), symbol_data=list(by_market.items()),
            time_data=[page[0].get_time_tag(), page[-1].get_time_tag()], rows_blob=encoded[24:24 + blob_len]))
    return pages


class RawClient:
    """A plain blocking socket speaking the ring frames."""

    def __init__(self, port: int) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sendall = self.sock.sendall

    def recv_exact(self, n: int) -> bytes:
        data = self.sock.recv(n)
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise EOFError("the master closed the connection")
            data += chunk
        return data

    def recv_frame(self) -> tuple[int, int, bytes]:
        _magic, total_len, _version, seq, _flag, cmd = HEADER.unpack(self.recv_exact(HEADER.size))
        return cmd, seq, self.recv_exact(total_len - 8) if total_len > 8 else b""

    def round_trip(self, frame: bytes) -> tuple[int, int, bytes]:
        self.sendall(frame)
        return self.recv_frame()


def frame(cmd: int, seq: int, body: bytes) -> bytes:
    return HEADER.pack(MAGIC, 8 + len(body), 4, seq, 0, cmd) + body


def _read_request(begin: int, end: int) -> bytes:
    req = pyostrel.NetRequest()
    req.set_seq(1)
    req.set_session_id(5)
    req.set_request_id(9)
    req.set_namespace_id(NAMESPACE)
    req.set_meta_id(META_ID)
    req.set_begin_time(begin)
    req.set_end_time(end)
    req.set_symbol(b"SH", [])
    return req.encode()


def _start_master(setups: list[MasterSetup]) -> list[int]:
    ctx = multiprocessing.get_context("spawn")
    ours, theirs = ctx.Pipe()
    proc = ctx.Process(target=serve, args=(setups, theirs), name="bench-storage-master", daemon=True)
    proc.start()
    theirs.close()
    if not ours.poll(60):
        raise RuntimeError("the benchmark's master did not start")
    ports: list[int] = ours.recv()

    def finish() -> None:
        pyostrel.stop()
        ours.close()
        proc.join(5)
        if proc.is_alive():
            proc.terminate()
            proc.join()

    atexit.register(finish)
    return ports


def benchmarks() -> list[Bench]:
    ser = pyostrel.IndexSerializer()
    schema = schema_binary()
    ser.update_schema_from_binary(schema)
    data = make_tuples(seed=20240102)
    rows = [to_struct_value(t) for t in data]
    expected = [expected_after_wire(t) for t in data]
    big_pages = _pages(ser, rows, PAGE_ROWS)
    one_page = _pages(ser, rows[:1], 1)
    # Master 2 never acknowledges: the pool's cost per write apart from reading acks, for comparison.
    big_port, one_port, mute_port = _start_master([(schema, big_pages, True), (schema, one_page, True),
                                                   (schema, one_page, False)])

    config = pyostrel.KestrinConfig()
    config.masters = [(b"127.0.0.1", big_port), (b"127.0.0.1", one_port), (b"127.0.0.1", mute_port)]
    pyostrel.initialize(config)
    pyostrel.start()

    begin, end = data[0][2], data[-1][2]
    read_args = (NAMESPACE, [b"SH"], [], META_NAME, [], ALL_REVISIONS, 0, begin, end)

    def read_all() -> list[pyostrel.StructValue]:
        return pyostrel.read_sv(0, *read_args)

    def decode_pages() -> list[pyostrel.StructValue]:
        out: list[pyostrel.StructValue] = []
        for body in big_pages:
            page = pyostrel.NetResponse()
            page.decode_string(body, ser)
            out += page.rows()
        return out

    if [from_struct_value(sv) for sv in read_all()] != expected:
        raise AssertionError("read_sv does not give the served rows back")
    if [from_struct_value(sv) for sv in decode_pages()] != expected:
        raise AssertionError("the pages do not decode to the served rows")

    # The one-row read and its raw round trip: the same request bytes the pool would send, the same reply.
    raw_read = RawClient(one_port)
    read_frame = frame(CMD_READ, 1, _read_request(begin, begin))
    cmd, _, body = raw_read.round_trip(read_frame)
    page = pyostrel.NetResponse()
    page.decode_string(body, ser)
    one = pyostrel.read_sv(1, *read_args)
    if cmd != CMD_PAGE or [from_struct_value(r) for r in page.rows()] != expected[:1] \
            or [from_struct_value(r) for r in one] != expected[:1]:
        raise AssertionError("the one-row read does not give the served row back")

    # The push frame: the pool's body is checked against one the module encodes, which the raw client sends.
    push = pyostrel.DRBinaryPushDataReq()
    push.set_compressor(ser)
    push.set_realtime(1)
    push.set_values(rows[:1])
    push_frame = frame(CMD_PUSH, 1, push.encode())
    pyostrel.write_sv(1, rows[0], True)
    pool_push = raw_read.round_trip(frame(CMD_LAST_PUSH, 2, b""))[2]
    if len(pool_push) != len(push_frame) - HEADER.size or pool_push[8:12] != push_frame[HEADER.size + 8:][:4] \
            or pool_push[20:] != push_frame[HEADER.size + 20:]:
        raise AssertionError("the pool's push body differs from DRBinaryPushDataReq's (realtime 1, one row)")
    raw_push = RawClient(one_port)
    raw_push.sendall(frame(CMD_MUTE, 0, b""))
    raw_acked = RawClient(one_port)
    if raw_acked.round_trip(push_frame) != (CMD_PUSH, 1, b""):
        raise AssertionError("the master does not acknowledge a push")

    # A rate, beside the harness's per-write figure: the best of five runs of consecutive acknowledged writes.
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(ROUND_TRIPS_PER_SAMPLE):
            pyostrel.write_sv(1, rows[0], True)
        best = min(best, time.perf_counter() - t0)
    page_bytes = sum(map(len, big_pages))
    print(f"{ROWS:,} rows x {len(COLUMNS)} columns served as {len(big_pages)} pages of {PAGE_ROWS:,} rows "
          f"({page_bytes:,} bytes); push frame {len(push_frame)} bytes; rows checked; acknowledged writes: "
          f"{ROUND_TRIPS_PER_SAMPLE / best:,.0f} round trips/s")

    row = rows[0]
    return [
        Bench("read_sv 100k rows", read_all, decode_pages, target=1.25, repeat=9,
              base_label=f"NetResponse.decode_string + rows() of the same {len(big_pages)} page bodies, offline"),
        Bench("read_sv one row", Stmt("r(1, *a)", r=pyostrel.read_sv, a=read_args),
              Stmt("c(f)", c=raw_read.round_trip, f=read_frame), target=1.3, number=ROUND_TRIPS_PER_SAMPLE,
              base_label="sendall of the read frame, recv of the reply frame, plain Python socket"),
        Bench("write_sv no ack", Stmt("w(1, r)", w=pyostrel.write_sv, r=row),
              Stmt("s(f)", s=raw_push.sendall, f=push_frame), target=0.5, direction=FASTER,
              number=WRITES_PER_SAMPLE, nbytes=len(push_frame),
              base_label="sendall of the same push frame (acks muted); ratio = our throughput / the baseline's"),
        Bench("write_sv no ack, master never acks", Stmt("w(2, r)", w=pyostrel.write_sv, r=row),
              Stmt("s(f)", s=raw_push.sendall, f=push_frame), direction=FASTER, number=WRITES_PER_SAMPLE,
              nbytes=len(push_frame), base_label="as above, but no acks come back to the pool either"),
        Bench("write_sv ack round trip", Stmt("w(1, r, True)", w=pyostrel.write_sv, r=row),
              Stmt("c(f)", c=raw_acked.round_trip, f=push_frame), number=ROUND_TRIPS_PER_SAMPLE,
              base_label="sendall of the push frame, recv of its ack, plain Python socket"),
    ]


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import run

    sys.exit(run.main(["storage", *sys.argv[1:]]))
