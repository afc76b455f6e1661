"""A stand-in storage master for tests of the connection pool: an asyncio server speaking the ring frames.

It keeps rows per (namespace, meta id) as compressed batch sets, answers the client identification, the
data-definition handshake, history reads and row pushes, and misbehaves on request. tests/peer/README.md
describes the protocol it speaks and how to run it.

In process:

    with StorageMaster(schema).running() as master:
        sock = socket.create_connection(("127.0.0.1", master.port))

As a subprocess (prints its port when ready, reads control lines on stdin, exits when stdin closes):

    PYTHONPATH=build/release/python python -m tests.peer.storage_master --port 0 --schema schema.bin
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import contextlib
import struct
import sys
import threading
import time
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path

import pyostrel

# The literal-block Snappy writer the examples use: valid Snappy for any decoder, without a Snappy library.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
from schema_fixture import snappy_literal_block  # noqa: E402

MAGIC = 0x75F4C465
FRAME_VERSION = 4
HEADER = struct.Struct(">IIBIBH")  # magic, total_len, version, seq, flag, cmd
HEADER_SIZE = HEADER.size  # 16; total_len counts the 8 bytes after it

CMD_CLIENT_ID = pyostrel.net_cmd_vask_route_prote_clientid
CMD_DATADEF = pyostrel.net_cmd_vask_route_datadef
CMD_PUSH = pyostrel.cmd_td_push
CMD_OPEN, CMD_OPEN_REPLY = 0x6770, 0x6771
CMD_READ, CMD_READ_REPLY = 0x6772, 0x6773
CMD_CANCEL, CMD_CANCEL_REPLY = 0x6774, 0x6775
CMD_CLOSE, CMD_CLOSE_REPLY = 0x6776, 0x6777
CMD_ERROR = 0x6778

DEFAULT_PAGE_SIZE = 1000
GARBAGE = b"\xde\xad\xbe\xef" * 8  # bad magic, so a reader refuses it at once
ONE_SHOT_FAULTS = ("drop", "stale", "duplicate", "garbage")

Key = tuple[int, int]  # (namespace, meta id)


# ----- frames and bodies -------------------------------------------------------------------------------------------

def encode_frame(cmd: int, seq: int, body: bytes, version: int = FRAME_VERSION, flag: int = 0) -> bytes:
    return HEADER.pack(MAGIC, 8 + len(body), version, seq & 0xFFFFFFFF, flag, cmd) + body


def text(s: bytes) -> bytes:
    return struct.pack(">I", len(s)) + s


def net_base_response(seq: int, session_id: int, request_id: int, *, status: int = 0, error_code: int = 0,
                      error_msg: bytes = b"") -> bytes:
    """The body of a NetBaseResponse; also the head of NetResponse and HistoryErrorResponse."""
    return struct.pack(">iii", seq, status, error_code) + text(error_msg) + struct.pack(">qI", session_id, request_id)


def history_error(seq: int, session_id: int, request_id: int, reason: bytes, error_code: int = 1) -> bytes:
    return net_base_response(seq, session_id, request_id, status=1, error_code=error_code, error_msg=reason) \
        + text(reason)


def net_response(head: bytes, *, has_more: bool, next_offset: int, raw_value_count: int,
                 symbol_data: Sequence[tuple[bytes, Sequence[bytes]]], time_data: Sequence[int],
                 rows_blob: bytes) -> bytes:
    body = head + struct.pack(">?QQ", has_more, next_offset, raw_value_count)
    body += struct.pack(">I", len(symbol_data))
    for market, symbols in symbol_data:
        body += text(market) + struct.pack(">I", len(symbols)) + b"".join(text(s) for s in symbols)
    body += struct.pack(">I", len(time_data)) + struct.pack(f"<{len(time_data)}q", *time_data)
    return body + text(rows_blob)


def compress_rows(serializer: pyostrel.IndexSerializer, rows: Sequence[pyostrel.StructValue]) -> bytes:
    """A compressed batch set: one raw Snappy block around u32 group_count, then u32 batch_len + batch per group,
    groups in (namespace, meta id) order."""
    groups: dict[Key, list[pyostrel.StructValue]] = collections.defaultdict(list)
    for row in rows:
        groups[(row.get_namespace(), row.get_meta_id())].append(row)
    payload = struct.pack(">I", len(groups))
    for key in sorted(groups):
        batch = serializer.serialize_batch(groups[key])
        payload += struct.pack(">I", len(batch)) + batch
    return snappy_literal_block(payload)


def decompress_rows(serializer: pyostrel.IndexSerializer, blob: bytes) -> list[pyostrel.StructValue]:
    """The rows of a compressed batch set, read by the module itself: the set goes as the rows of an otherwise
    empty history page, whose strict decoder raises for a blob that does not decompress or decode."""
    if not blob:
        return []
    page = pyostrel.NetResponse()
    page.decode_string(net_response(net_base_response(0, 0, 0), has_more=False, next_offset=0, raw_value_count=0,
                                    symbol_data=(), time_data=(), rows_blob=blob), serializer)
    return page.rows()


def decode_push(serializer: pyostrel.IndexSerializer, body: bytes) -> list[pyostrel.StructValue]:
    """The rows of a DRBinaryPushDataReq body: u32 trade_day, u32 session_id, i32 realtime, u64 hash_code, then
    the compressed batch set as u32 length + bytes."""
    (n,) = struct.unpack_from(">I", body, 20)
    if 24 + n > len(body):
        raise ValueError("push body shorter than its blob")
    return decompress_rows(serializer, body[24:24 + n])


def wanted(symbols: dict[bytes, list[bytes]], row: pyostrel.StructValue) -> bool:
    """Whether a read's symbol map takes the row: no markets takes every row, a market given no codes every
    code of that market, otherwise the listed codes of the listed markets."""
    if not symbols:
        return True
    codes = symbols.get(row.get_market())
    return codes is not None and (not codes or row.get_stock_code() in codes)


def present_values(row: pyostrel.StructValue) -> int:
    return sum(not row.is_empty(i) for i in range(row.size()))


# ----- the server --------------------------------------------------------------------------------------------------

class _Conn:
    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader, self.writer = reader, writer
        self.last_active = time.monotonic()
        self.write_lock = asyncio.Lock()

    def abort(self) -> None:
        self.writer.transport.abort()


class _Dropped(Exception):
    """The connection was dropped on purpose while a reply was being written."""


class StorageMaster:
    """The server and its control API. Control methods may be called from any thread."""

    def __init__(self, schema: bytes = b"", rows: Iterable[pyostrel.StructValue] = (), *, host: str = "127.0.0.1",
                 port: int = 0, page_size: int = DEFAULT_PAGE_SIZE) -> None:
        self.schema = bytes(schema)
        self.serializer = pyostrel.IndexSerializer()
        self.serializer.update_schema_from_binary(self.schema)
        self.host, self.port, self.default_page_size = host, port, page_size
        self._sets: dict[Key, bytes] = {}  # compressed batch set of each (namespace, meta id)
        self._lock = threading.Lock()
        self._faults: collections.deque[str] = collections.deque()
        self.delay_ms = 0
        self.drip_ms: float | None = None
        self.stalled = False
        self.idle_close_ms: int | None = None
        self.received: list[tuple[int, int]] = []  # (cmd, seq) of every frame read
        self.accepted = 0
        self._conns: set[_Conn] = set()
        self._server: asyncio.base_events.Server | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._reaper: asyncio.Task[None] | None = None
        self._tasks: set[asyncio.Task[None]] = set()
        self.add_rows(rows)

    # --- rows

    def add_rows(self, rows: Iterable[pyostrel.StructValue]) -> None:
        groups: dict[Key, list[pyostrel.StructValue]] = collections.defaultdict(list)
        for row in rows:
            groups[(row.get_namespace(), row.get_meta_id())].append(row)
        with self._lock:
            for key, new in groups.items():
                old = decompress_rows(self.serializer, self._sets.get(key, b""))
                self._sets[key] = compress_rows(self.serializer, old + new)

    def rows(self, namespace: int, meta_id: int) -> list[pyostrel.StructValue]:
        with self._lock:
            blob = self._sets.get((namespace, meta_id), b"")
        return decompress_rows(self.serializer, blob)

    # --- control

    def set_delay(self, ms: int) -> None:
        """Delays every reply frame by ms."""
        self.delay_ms = int(ms)

    def set_drip(self, ms: float | None = 1) -> None:
        """Writes replies one byte at a time, ms apart; None (or a negative value) writes them whole."""
        self.drip_ms = None if ms is None or float(ms) < 0 else float(ms)

    def set_stall(self, on: bool = True) -> None:
        """Reads requests but never replies while on."""
        self.stalled = bool(on)

    def fault_next(self, kind: str, count: int = 1) -> None:
        """Spoils the next count reply frames: "drop" writes half the frame and aborts the connection, "stale"
        sends a copy under seq - 1 before the reply, "duplicate" sends the reply twice, "garbage" sends
        bytes with a bad magic in place of the reply."""
        if kind not in ONE_SHOT_FAULTS:
            raise ValueError(f"unknown fault {kind!r}")
        with self._lock:
            self._faults.extend([kind] * int(count))

    def set_idle_close(self, ms: int | None) -> None:
        """Closes connections that saw no bytes either way for ms; None keeps them."""
        self.idle_close_ms = None if ms is None or int(ms) < 0 else int(ms)

    def reset(self) -> None:
        """Ends every misbehaviour; refused connections stay refused until accept_connections()."""
        with self._lock:
            self._faults.clear()
        self.delay_ms, self.drip_ms, self.stalled, self.idle_close_ms = 0, None, False, None

    def refuse_connections(self) -> None:
        """Stops listening: connects fail with ECONNREFUSED; open connections stay."""
        self._run(self._stop_listening())

    def accept_connections(self) -> None:
        """Listens again on the same port."""
        self._run(self._listen())

    def restart(self) -> None:
        """Closes the listener and every connection, then listens again on the same port."""
        self._run(self._restart())

    def drop_connections(self) -> None:
        self._run(self._drop_all())

    def open_connections(self) -> int:
        return len(self._conns)

    # --- running

    def _run(self, coro: object) -> object:
        assert self._loop is not None, "the server is not running"
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(timeout=10)  # type: ignore[arg-type]

    async def start(self) -> None:
        self._loop = asyncio.get_running_loop()
        await self._listen()
        self._reaper = asyncio.create_task(self._reap_idle())

    async def stop(self) -> None:
        if self._reaper:
            self._reaper.cancel()
        await self._stop_listening()
        await self._drop_all()
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    @contextlib.contextmanager
    def running(self) -> Iterator[StorageMaster]:
        """Runs the server in a daemon thread for the block; self.port is the bound port."""
        loop = asyncio.new_event_loop()
        ready = threading.Event()
        failure: list[BaseException] = []

        def main() -> None:
            asyncio.set_event_loop(loop)
            try:
                loop.run_until_complete(self.start())
            except BaseException as exc:  # handed to the caller
                failure.append(exc)
                ready.set()
                return
            ready.set()
            loop.run_forever()
            loop.run_until_complete(self.stop())
            loop.close()

        thread = threading.Thread(target=main, name="storage-master", daemon=True)
        thread.start()
        ready.wait(10)
        if failure:
            raise failure[0]
        try:
            yield self
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join(10)

    async def _listen(self) -> None:
        if self._server is None:
            self._server = await asyncio.start_server(self._accept, self.host, self.port, reuse_address=True)
            self.port = self._server.sockets[0].getsockname()[1]

    async def _stop_listening(self) -> None:
        if self._server is not None:
            self._server.close()  # closes the listening socket now; wait_closed would wait on the connections
            self._server = None

    async def _drop_all(self) -> None:
        for conn in list(self._conns):
            conn.abort()
        self._conns.clear()
        await asyncio.sleep(0)

    async def _restart(self) -> None:
        await self._stop_listening()
        await self._drop_all()
        await self._listen()

    async def _reap_idle(self) -> None:
        while True:
            await asyncio.sleep(0.02)
            limit = self.idle_close_ms
            if limit is None:
                continue
            now = time.monotonic()
            for conn in list(self._conns):
                if (now - conn.last_active) * 1000 >= limit:
                    self._conns.discard(conn)
                    conn.writer.close()

    # --- connections

    def _accept(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        # Registered at once, not when the task first runs, so a restart right after an accept drops it too.
        conn = _Conn(reader, writer)
        self._conns.add(conn)
        self.accepted += 1
        task = asyncio.get_running_loop().create_task(self._serve(conn))
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _serve(self, conn: _Conn) -> None:
        reader, writer = conn.reader, conn.writer
        try:
            while True:
                head = await reader.readexactly(HEADER_SIZE)
                conn.last_active = time.monotonic()
                magic, total_len, _version, seq, _flag, cmd = HEADER.unpack(head)
                if magic != MAGIC or total_len < 8:
                    break  # nothing after a bad frame can be trusted
                body = await reader.readexactly(total_len - 8)
                conn.last_active = time.monotonic()
                self.received.append((cmd, seq))
                await self._handle(conn, cmd, seq, body)
        except (asyncio.IncompleteReadError, ConnectionError, _Dropped):
            pass
        finally:
            self._conns.discard(conn)
            writer.transport.abort()

    async def _handle(self, conn: _Conn, cmd: int, seq: int, body: bytes) -> None:
        if cmd == CMD_CLIENT_ID:
            await self._reply(conn, cmd, seq, b"")
        elif cmd == CMD_PUSH:
            try:
                self.add_rows(decode_push(self.serializer, body))
            except Exception as exc:  # a push the catalog cannot hold is refused, not stored
                await self._reply(conn, CMD_ERROR, seq, history_error(0, 0, 0, f"push: {exc}".encode()))
                return
            await self._reply(conn, cmd, seq, b"")
        elif cmd == CMD_DATADEF:
            await self._reply(conn, cmd, seq, self.schema)
        elif cmd in (CMD_OPEN, CMD_CANCEL, CMD_CLOSE):
            req = pyostrel.NetBaseRequest()
            try:
                req.decode(body)
            except Exception as exc:
                await self._reply(conn, CMD_ERROR, seq, history_error(0, 0, 0, str(exc).encode()))
                return
            reply = net_base_response(req.get_seq(), req.get_session_id(), req.get_request_id())
            await self._reply(conn, cmd + 1, seq, reply)
        elif cmd == CMD_READ:
            if self.stalled:
                return  # its pages would be withheld: not worked out, which would hold the interpreter lock
            for page_cmd, page in self._read(body):
                await self._reply(conn, page_cmd, seq, page)
        else:
            await self._reply(conn, CMD_ERROR, seq, history_error(0, 0, 0, b"unknown command 0x%04X" % cmd))

    def _read(self, body: bytes) -> Iterator[tuple[int, bytes]]:
        req = pyostrel.NetRequest()
        try:
            req.decode(body)
        except Exception as exc:
            yield CMD_ERROR, history_error(0, 0, 0, str(exc).encode())
            return
        ids = (req.get_seq(), req.get_session_id(), req.get_request_id())
        key = (req.get_namespace_id(), req.get_meta_id())
        if req.get_type() != 0:
            yield CMD_ERROR, history_error(*ids, b"unsupported read type %d" % req.get_type())
            return
        if key not in {(m.get_namespace(), m.get_id()) for m in self.serializer.schema().metas()}:
            yield CMD_ERROR, history_error(*ids, b"unknown meta %d/%d" % key)
            return
        symbols = req.get_symbol_map()
        begin, end, granularity = req.get_begin_time(), req.get_end_time(), req.get_granularity()
        rows = [r for r in self.rows(*key)
                if begin <= r.get_time_tag() <= end and wanted(symbols, r)
                and (granularity == 0 or r.get_granularity() == granularity)]
        rows.sort(key=lambda r: r.get_time_tag())  # stable: rows of one time keep their stored order
        size = req.get_page_size() or self.default_page_size
        at = req.get_offset()
        while True:
            page = rows[at:at + size]
            at += len(page)
            by_market: dict[bytes, list[bytes]] = {}
            for r in page:
                codes = by_market.setdefault(r.get_market(), [])
                if r.get_stock_code() not in codes:
                    codes.append(r.get_stock_code())
            times = [page[0].get_time_tag(), page[-1].get_time_tag()] if page else []
            yield CMD_READ_REPLY, net_response(
                net_base_response(*ids), has_more=at < len(rows), next_offset=at,
                raw_value_count=sum(map(present_values, page)), symbol_data=list(by_market.items()),
                time_data=times, rows_blob=compress_rows(self.serializer, page))
            if at >= len(rows):
                return

    async def _reply(self, conn: _Conn, cmd: int, seq: int, body: bytes) -> None:
        if self.stalled:
            return
        if self.delay_ms:
            await asyncio.sleep(self.delay_ms / 1000)
        with self._lock:
            fault = self._faults.popleft() if self._faults else None
        frame = encode_frame(cmd, seq, body)
        async with conn.write_lock:
            if fault == "garbage":
                await self._write(conn, GARBAGE)
            elif fault == "drop":
                await self._write(conn, frame[:len(frame) // 2])
                conn.abort()
                raise _Dropped
            else:
                if fault == "stale":
                    await self._write(conn, encode_frame(cmd, seq - 1, body))
                await self._write(conn, frame)
                if fault == "duplicate":
                    await self._write(conn, frame)

    async def _write(self, conn: _Conn, data: bytes) -> None:
        drip = self.drip_ms
        if drip is None:
            conn.writer.write(data)
            await conn.writer.drain()
        else:
            for i in range(len(data)):
                conn.writer.write(data[i:i + 1])
                await conn.writer.drain()
                await asyncio.sleep(drip / 1000)
        conn.last_active = time.monotonic()


# ----- subprocess mode ---------------------------------------------------------------------------------------------

CONTROL_COMMANDS = {
    "delay": lambda m, ms: m.set_delay(int(ms)),
    "drip": lambda m, ms="1": m.set_drip(float(ms)),
    "stall": lambda m, on="1": m.set_stall(on != "0"),
    "fault": lambda m, kind, count="1": m.fault_next(kind, int(count)),
    "idle_close": lambda m, ms: m.set_idle_close(int(ms)),
    "reset": lambda m: m.reset(),
    "refuse": lambda m: m.refuse_connections(),
    "accept": lambda m: m.accept_connections(),
    "restart": lambda m: m.restart(),
    "drop": lambda m: m.drop_connections(),
}


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--schema", help="file holding the schema binary served to the handshake (default: empty)")
    parser.add_argument("--page-size", type=int, default=DEFAULT_PAGE_SIZE)
    args = parser.parse_args(argv)
    schema = b""
    if args.schema:
        with open(args.schema, "rb") as f:
            schema = f.read()
    master = StorageMaster(schema, host=args.host, port=args.port, page_size=args.page_size)
    with master.running():
        print(master.port, flush=True)
        # One control line per command ("delay 200", "fault drop", "restart"); each answered "ok" or "error ...".
        for line in sys.stdin:
            words = line.split()
            if not words:
                continue
            try:
                CONTROL_COMMANDS[words[0]](master, *words[1:])
                print("ok", flush=True)
            except Exception as exc:  # reported to the driver, which decides
                print(f"error {type(exc).__name__}: {exc}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
