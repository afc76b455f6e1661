"""The storage-master pool against stand-in masters: handshake and catalogs, reads and writes of every column kind,
copies between masters, and the calls outside a started pool."""

import re
import struct

import pytest
from storage_helpers import (  # noqa: F401 (the fixtures peers and pool are used by name)
    ALL, COLUMNS, META, NAME, NS, OTHER_META, OTHER_NAME, OTHER_NS, OTHER_SCHEMA, ROWS, SCHEMA, config, key, keys,
    make_row, peers, pool, read_ok, read_warns, scaled, select, start, stored, timed, wait_for)

import pyostrel


def test_each_master_has_its_own_catalog(pool, peers):
    a, b = peers(SCHEMA), peers(OTHER_SCHEMA, [])
    start(a, b)
    got = [[(m.get_namespace(), m.get_id(), m.get_name(), m.get_revision(),
             [(f.get_name(), f.get_type(), f.get_precision()) for f in m.get_fields()]) for m in pyostrel.read_meta(i)]
           for i in (0, 1)]
    assert got == [[(NS, META, NAME, 1, [c[:3] for c in COLUMNS])],
                   [(OTHER_NS, OTHER_META, OTHER_NAME, 3, [(b"px", pyostrel.index_field_type_double, 4)])]]
    # Each master's names resolve in its own catalog only.
    assert keys(read_ok(0)) == keys(select(ROWS))
    assert read_ok(1, name=OTHER_NAME, ns=OTHER_NS) == []
    read_warns(f"^read_sv: .*{NAME.decode()}", 1)
    # The handshake is the identification, then the data definition, each once per connection.
    assert [c for c, _ in a.received[:2]] == [pyostrel.net_cmd_vask_route_prote_clientid,
                                             pyostrel.net_cmd_vask_route_datadef]


@pytest.mark.parametrize("select_kw", [
    {},  # everything
    dict(t0=1003, t1=1007),  # both ends inclusive
    dict(markets=[b"SH"]),  # no symbols: every symbol of the market
    dict(markets=[b"SH", b"SZ"], symbols=[b"600001", b"000001"]),  # every market gets the same symbols
    dict(markets=[b"SZ"], symbols=[b"600000"]),  # a symbol of another market: nothing
    dict(granularity=60, t1=1008),
    dict(t0=1012, t1=2000),  # past the last row
], ids=str)
def test_read_selects_like_the_filter(pool, peers, select_kw):
    start(peers(page_size=5))  # several pages
    assert keys(read_ok(**select_kw)) == keys(select(ROWS, **select_kw))


# One slot per case: (slot, value written, value read back), the read-back worked out independently.
KIND_CASES = [
    (0, -(2**31), -(2**31)), (0, 2**31 - 1, 2**31 - 1),
    (1, 2.6, 3.0), (2, 3.14159, scaled(3.14159, 2)), (2, -1e-3, 0.0), (3, -1.4e-6, scaled(-1.4e-6, 6)),
    (4, "中文 ü".encode(), "中文 ü".encode()), (4, b"", b""),
    (5, -(2**63), -(2**63)), (5, 2**63 - 1, 2**63 - 1),
    (6, [1, -2, 2**31 - 1], (1, -2, 2**31 - 1)), (6, [], ()),
    (7, [0.5, -1.2346], (0.5, scaled(-1.2346, 3))),
    (8, [b"a", b"", "α".encode()], (b"a", b"", "α".encode())), (9, [2**40, -1], (2**40, -1)),
]


@pytest.mark.parametrize("slot, value, back", KIND_CASES)
def test_write_then_read_every_kind(pool, peers, slot, value, back):
    peer = peers(rows=[])
    start(peer)
    code = "股票".encode()
    row = make_row(5000, b"SZ", code, {slot: value}, granularity=15)
    assert pyostrel.write_sv(0, row, True) is None
    want = (NS, META, 5000, 15, b"SZ", code, tuple(back if s == slot else None for s in range(len(COLUMNS))))
    # The peer decodes the push itself; the pool decodes the read.
    assert keys(peer.rows(NS, META)) == [want]
    got = read_ok(markets=[b"SZ"], symbols=[code])
    assert keys(got) == [want]
    if isinstance(back, float):
        assert struct.pack(">d", got[0].get_double(slot)) == struct.pack(">d", back)  # not -0.0


def test_write_without_ack_arrives_and_keeps_order(pool, peers):
    peer = peers(rows=[])
    start(peer)
    rows = [make_row(7000 + i, b"SH", b"600009") for i in range(20)]
    for r in rows:
        assert pyostrel.write_sv(0, r) is None
    assert wait_for(lambda: len(read_ok(symbols=[b"600009"], markets=[b"SH"])) == 20)
    assert keys(read_ok(markets=[b"SH"], symbols=[b"600009"])) == keys(rows)
    # Unacknowledged writes' acks do not disturb an acknowledged one that follows.
    pyostrel.write_sv(0, make_row(7100), wait_io_completion=True)
    assert stored(peer, 7100) == 1 and len(peer.rows(NS, META)) == 21


@pytest.mark.parametrize("wait", [True, False])
def test_copy_reaches_every_other_master(pool, peers, wait):
    src, dst1, dst2 = peers(), peers(rows=[]), peers(rows=[make_row(1, b"BJ", b"1")])
    start(src, dst1, dst2)
    k = pyostrel.KestrinStructValueKey()
    k.ns, k.meta_name, k.revision, k.from_tm, k.to_tm = NS, NAME, ALL, 1002, 1009
    k.markets, k.symbols, k.wait_io_completion = [b"SH"], [b"600001"], wait
    want = keys(select(ROWS, 1002, 1009, [b"SH"], [b"600001"]))
    assert len(want) == 8
    pyostrel.copy_struct_value([k])
    for i, peer in ((1, dst1), (2, dst2)):
        assert wait_for(lambda: len(read_ok(i, markets=[b"SH"])) == 8)
        assert keys(read_ok(i, markets=[b"SH"])) == want
    assert keys(read_ok(2, markets=[b"BJ"])) == [key(make_row(1, b"BJ", b"1"))]
    assert keys(src.rows(NS, META)) == keys(ROWS)  # the source is only read


def test_copy_names_the_key_and_the_master_that_failed(pool, peers):
    src, good, bad = peers(), peers(rows=[]), peers(rows=[])
    start(src, good, bad)
    bad.set_stall(True)
    k = pyostrel.KestrinStructValueKey()
    k.ns, k.meta_name, k.from_tm, k.to_tm, k.wait_io_completion = NS, NAME, 0, 2**40, True
    exc, elapsed = timed(pyostrel.copy_struct_value, [k])
    assert type(exc) is Exception and re.search(rf"bar\.daily.*master 2 \(127\.0\.0\.1:{bad.port}\)", str(exc)), exc
    assert elapsed < 1.5
    assert len(good.rows(NS, META)) == len(ROWS)


@pytest.mark.parametrize("kw, match", [
    (dict(name=b"no.such"), "no.such"),
    (dict(ns=NS + 1), NAME.decode()),
    (dict(revision=2), NAME.decode()),  # the catalog holds revision 1 only
])
def test_unresolved_name_is_an_empty_read_with_a_warning(pool, peers, kw, match):
    start(peers())
    assert read_ok(revision=1) != []
    read_warns(f"^read_sv: .*{re.escape(match)}", **kw)


def test_bad_schema_fails_the_handshake(pool, peers):
    bad = peers()
    bad.schema = SCHEMA[:-3]  # served as the data definition; the peer's own catalog stays whole
    good = peers()
    where = rf"^start: master 1 \(127\.0\.0\.1:{bad.port}\) handshake: DataDef catalog load: "
    with pytest.raises(Exception, match=where):
        start(good, bad)
    # All or nothing: the good master is not left started.
    with pytest.raises(Exception, match="^read_meta: the pool is not started"):
        pyostrel.read_meta(0)


def test_calls_outside_a_started_pool(pool, peers):
    row = make_row(1)
    k = pyostrel.KestrinStructValueKey()

    def check():
        read_warns("^read_sv: the pool is not started")
        for fn, args in ((pyostrel.read_meta, (0,)), (pyostrel.write_sv, (0, row, True)),
                         (pyostrel.copy_struct_value, ([k],))):
            with pytest.raises(Exception, match=f"^{fn.__name__}: the pool is not started"):
                fn(*args)
        pyostrel.stop()  # harmless in any state

    pyostrel.stop()
    check()
    pyostrel.initialize(pyostrel.KestrinConfig())
    with pytest.raises(Exception, match="^start: no master configured"):
        pyostrel.start()
    peer_a, peer_b = peers(), peers()
    start(peer_a, peer_b)
    with pytest.raises(Exception, match=r"^start: the pool is already started; stop\(\) it first"):
        pyostrel.start()
    with pytest.raises(Exception, match=r"^initialize: the pool is started; stop\(\) it first"):
        pyostrel.initialize(config(peer_a.port))
    read_warns(r"^read_sv: slave_index 2 out of range \(2 masters\)", 2)
    for fn, args in ((pyostrel.read_meta, (5,)), (pyostrel.write_sv, (5, row))):
        with pytest.raises(Exception, match=rf"^{fn.__name__}: slave_index 5 out of range \(2 masters\)"):
            fn(*args)
    assert len(pyostrel.read_meta(1)) == 1
    pyostrel.stop()
    pyostrel.stop()
    check()
    pyostrel.start()  # the same masters again
    assert keys(read_ok(1)) == keys(select(ROWS))


@pytest.mark.parametrize("value", ["0", "-5", "abc", "", "1.5", "99999999999999999999"])
def test_bad_deadline_variable(pool, monkeypatch, value):
    monkeypatch.setenv("PYOSTREL_STORAGE_REPLY_TIMEOUT_MS", value)
    with pytest.raises(Exception, match="^initialize: PYOSTREL_STORAGE_REPLY_TIMEOUT_MS: "):
        pyostrel.initialize(config(1))


def arrow_column(rows, slot):
    """A slot of every row as an Arrow column holds it: texts as str, an absent slot as None."""
    def text(v):
        return v.decode() if isinstance(v, bytes) else [text(x) for x in v] if isinstance(v, list) else v
    return [None if r.is_empty(slot) else text(getattr(r, COLUMNS[slot][4])(slot)) for r in rows]


def test_read_is_a_plain_list_that_exports_arrow(pool, peers):
    pa, pl, duckdb = (pytest.importorskip(m) for m in ("pyarrow", "polars", "duckdb"))
    import copy
    import pickle
    start(peers(page_size=5))
    rows = read_ok()
    assert isinstance(rows, list) and rows == list(rows) and len(rows) == len(ROWS)
    for other in (pickle.loads(pickle.dumps(rows)), copy.copy(rows), copy.deepcopy(rows)):
        assert type(other) is list and keys(other) == keys(rows)
    # Each reader takes a list as a sequence, so the stream goes through a reader.
    table = pa.RecordBatchReader.from_stream(rows).read_all()
    assert table.column("code").to_pylist() == [r.get_stock_code().decode() for r in rows]
    for slot, (name, *_) in enumerate(COLUMNS):
        assert table.column(name.decode()).to_pylist() == arrow_column(rows, slot), name
    assert pl.DataFrame(pa.RecordBatchReader.from_stream(rows)).to_dicts() == table.to_pylist()
    reader = pa.RecordBatchReader.from_stream(rows)
    assert duckdb.sql("select sum(i), count(s) from reader").fetchall() == [
        (sum(filter(None, arrow_column(rows, 0))), sum(v is not None for v in arrow_column(rows, 4)))]
    # The stream is over the rows the list holds now.
    del rows[1:]
    assert pa.RecordBatchReader.from_stream(rows).read_all().num_rows == 1
    rows.append(1)
    with pytest.raises(TypeError):
        rows.__arrow_c_stream__()
