"""The stand-in storage master (tests/peer) against a plain socket client: frames are cut with struct here, bodies
read with the module's decoders, so the peer and the module check each other."""

import socket
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import pyostrel

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT), str(ROOT / "examples")]

from schema_fixture import schema_binary  # noqa: E402
from tests.peer.storage_master import StorageMaster  # noqa: E402

FRAME = ">IIBIBH"  # magic, total_len, version, seq, flag, cmd
NS, META = 3, 42
SCHEMA = schema_binary(NS, META, b"bar.daily", [(b"close", pyostrel.index_field_type_double, 2),
                                               (b"volume", pyostrel.index_field_type_int_64, 0)])


def make_row(t, market=b"SH", code=b"600000"):
    r = pyostrel.StructValue()
    r.set_namespace(NS), r.set_meta_id(META), r.set_time_tag(t), r.set_market(market), r.set_stock_code(code)
    r.resize(2)
    r.set_double(0, t / 4)
    if t % 2:
        r.set_int_64(1, t)  # odd rows carry two values
    return r


SH, SZ1, SZ2 = (b"SH", b"600000"), (b"SZ", b"000001"), (b"SZ", b"000003")
ROWS = [make_row(t, m, c) for t in range(10) for m, c in (SH, SZ1, SZ2)]


def serializer():
    s = pyostrel.IndexSerializer()
    s.update_schema_from_binary(SCHEMA)
    return s


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)

    def send(self, cmd, seq, body=b""):
        self.sock.sendall(struct.pack(FRAME, 0x75F4C465, 8 + len(body), 4, seq, 0, cmd) + body)

    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise EOFError(len(data))
            data += chunk
        return data

    def recv(self):
        magic, total_len, version, seq, flag, cmd = struct.unpack(FRAME, self.recv_exact(16))
        assert (magic, version, flag) == (0x75F4C465, 4, 0)
        return cmd, seq, self.recv_exact(total_len - 8)


@pytest.fixture
def master():
    with StorageMaster(SCHEMA, ROWS, page_size=7).running() as m:
        yield m


@pytest.fixture
def client():
    """client(port) -> Client; every socket it made is closed after the test."""
    made = []
    yield lambda port: made.append(Client(port)) or made[-1]
    for c in made:
        c.sock.close()


def read_request(seq=5, request_id=77, **fields):
    req = pyostrel.NetRequest()
    req.set_seq(seq), req.set_session_id(-9), req.set_request_id(request_id)
    req.set_namespace_id(fields.pop("ns", NS)), req.set_meta_id(fields.pop("meta", META))
    for market, codes in fields.pop("symbols", {}).items():
        req.set_symbol(market, codes)
    for name, value in fields.items():
        getattr(req, f"set_{name}")(value)
    return req.encode()


def test_handshake(client, master):
    c = client(master.port)
    c.send(pyostrel.net_cmd_vask_route_prote_clientid, 11, b"any identity")
    assert c.recv() == (pyostrel.net_cmd_vask_route_prote_clientid, 11, b"")
    c.send(pyostrel.net_cmd_vask_route_datadef, 12)
    cmd, seq, body = c.recv()
    assert (cmd, seq, body) == (pyostrel.net_cmd_vask_route_datadef, 12, SCHEMA)
    schema = pyostrel.IndexSchema()
    schema.load(body)
    assert [(m.get_namespace(), m.get_id()) for m in schema.metas()] == [(NS, META)]


@pytest.mark.parametrize("fields, pages, keep", [
    # every row of every symbol, the master's page size of 7
    (dict(begin_time=0, end_time=9), [7, 7, 7, 7, 2], {SH, SZ1, SZ2}),
    # inclusive range, one symbol, three per page, resumed after two rows
    (dict(begin_time=2, end_time=8, symbols={b"SH": [b"600000"]}, page_size=3, offset=2), [3, 2], {SH}),
    # a market given no codes: every symbol of that market, none of the others
    (dict(begin_time=0, end_time=9, symbols={b"SZ": []}, page_size=20), [20], {SZ1, SZ2}),
    (dict(begin_time=5, end_time=9, symbols={b"SH": [], b"SZ": [b"000003"]}, page_size=20), [10], {SH, SZ2}),
    # nothing in range: one empty last page
    (dict(begin_time=50, end_time=60), [0], set()),
    # a granularity no row has
    (dict(begin_time=0, end_time=9, granularity=60), [0], set()),
])
def test_paged_read(client, master, fields, pages, keep):
    want = [r for r in ROWS if fields["begin_time"] <= r.get_time_tag() <= fields["end_time"]
            and (r.get_market(), r.get_stock_code()) in keep]
    offset = fields.get("offset", 0)
    want = want[offset:]
    c = client(master.port)
    c.send(0x6772, 30, read_request(**fields))
    got, ser = [], serializer()
    for i, size in enumerate(pages):
        cmd, seq, body = c.recv()
        page = pyostrel.NetResponse()
        page.decode_string(body, ser)
        rows = page.rows()
        offset += size
        assert (cmd, seq, page.get_seq(), page.get_session_id(), page.get_request_id()) == (0x6773, 30, 5, -9, 77)
        assert (len(rows), page.get_has_more(), page.get_next_offset()) == (size, i < len(pages) - 1, offset)
        assert page.get_raw_value_count() == sum(1 + r.get_time_tag() % 2 for r in rows)
        markets = {}
        for r in rows:
            codes = markets.setdefault(r.get_market(), [])
            codes += [r.get_stock_code()] * (r.get_stock_code() not in codes)
        assert page.get_symbol_map() == markets
        assert page.get_time_data() == ([rows[0].get_time_tag(), rows[-1].get_time_tag()] if rows else [])
        got += rows
    key = lambda r: (r.get_time_tag(), r.get_market(), r.get_stock_code(), r.get_double(0))  # noqa: E731
    assert list(map(key, got)) == list(map(key, want))


def test_unknown_meta_is_a_history_error(client, master):
    c = client(master.port)
    c.send(0x6772, 31, read_request(meta=43, begin_time=0, end_time=9))
    cmd, seq, body = c.recv()
    err = pyostrel.HistoryErrorResponse()
    err.decode(body)
    got = (cmd, seq, err.get_seq(), err.get_request_id(), err.get_error_code(), err.get_reason())
    assert got == (0x6778, 31, 5, 77, 1, b"unknown meta 3/43")


def test_push_is_stored_and_acknowledged(client, master):
    push = pyostrel.DRBinaryPushDataReq()
    push.set_compressor(serializer())
    push.set_values([make_row(100, b"SZ", b"000002"), make_row(101, b"SZ", b"000002")])
    c = client(master.port)
    c.send(pyostrel.cmd_td_push, 40, push.encode())
    assert c.recv() == (pyostrel.cmd_td_push, 40, b"")
    c.send(0x6772, 41, read_request(begin_time=100, end_time=200, symbols={b"SZ": [b"000002"]}))
    page = pyostrel.NetResponse()
    page.decode_string(c.recv()[2], serializer())
    assert [(r.get_time_tag(), r.is_empty(1)) for r in page.rows()] == [(100, True), (101, False)]
    assert len(master.rows(NS, META)) == len(ROWS) + 2


@pytest.mark.parametrize("fault", ["stale", "duplicate", "garbage", "drop"])
def test_one_shot_faults(client, master, fault):
    c = client(master.port)
    master.fault_next(fault)
    c.send(pyostrel.net_cmd_vask_route_datadef, 50)
    whole = struct.pack(FRAME, 0x75F4C465, 8 + len(SCHEMA), 4, 50, 0, pyostrel.net_cmd_vask_route_datadef) + SCHEMA
    if fault == "garbage":
        assert struct.unpack(">I", c.recv_exact(4))[0] != 0x75F4C465
        return
    if fault == "drop":
        data = c.sock.recv(1 << 16)
        while (chunk := c.sock.recv(1 << 16)):
            data += chunk
        assert 0 < len(data) < len(whole) and whole.startswith(data)
        return
    first = c.recv()
    assert first[1] == (49 if fault == "stale" else 50)
    assert c.recv() == (pyostrel.net_cmd_vask_route_datadef, 50, SCHEMA)
    c.send(pyostrel.net_cmd_vask_route_prote_clientid, 51)  # the fault was spent: the next reply is plain
    assert c.recv() == (pyostrel.net_cmd_vask_route_prote_clientid, 51, b"")


def test_refuse_and_restart(client, master):
    kept = client(master.port)
    kept.send(pyostrel.net_cmd_vask_route_prote_clientid, 59)
    assert kept.recv()[1] == 59  # served, so the restart below has it to drop
    master.refuse_connections()
    with pytest.raises(ConnectionRefusedError):
        client(master.port)
    master.restart()  # listens again on the same port and drops the kept connection
    assert kept.sock.recv(1) == b""
    c = client(master.port)
    c.send(pyostrel.net_cmd_vask_route_prote_clientid, 60)
    assert c.recv()[1] == 60


def test_subprocess(client, tmp_path):
    (tmp_path / "schema.bin").write_bytes(SCHEMA)
    proc = subprocess.Popen([sys.executable, "-m", "tests.peer.storage_master", "--port", "0", "--schema",
                             str(tmp_path / "schema.bin")], cwd=ROOT, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    try:
        port = int(proc.stdout.readline())
        c = client(port)
        c.send(pyostrel.net_cmd_vask_route_datadef, 70)
        assert c.recv() == (pyostrel.net_cmd_vask_route_datadef, 70, SCHEMA)
        proc.stdin.write("fault duplicate\n")
        proc.stdin.flush()
        assert proc.stdout.readline() == "ok\n"
        c.send(pyostrel.net_cmd_vask_route_prote_clientid, 71)
        assert c.recv() == c.recv() == (pyostrel.net_cmd_vask_route_prote_clientid, 71, b"")
        proc.stdin.close()
        assert proc.wait(timeout=10) == 0
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()
