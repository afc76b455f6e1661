"""Trading-server session bodies: keep-alive, universe revisions and seeds, subscription."""

import struct

import pytest

from message_tables import (batch, batch_set, body, check_setter_refuses, check_strict_decode, compressor, decoded,
                            fill, public_names, raises_exactly, read_rows, readable, response, s, sample)
from pyostrel import (ATSubscribeReq, ATUniverseReq, ATUniverseRes, ATUniverseSeedsReq, ATUniverseSeedsRes,
                      ATUnsubscribeReq, Keepalive)
from refcounts import extra_references, reference_counts

# (field, wire kind, filled value, accessors) in body order.
SEQ = ("seq", "i32", -7, "gs")
KEEPALIVE = [("utc_now", "le_i32", -2, "gs")]
UNIVERSE_REQ = [SEQ, ("token", "string", b"tok", "s")]
SEEDS_REQ = [SEQ, ("token", "string", b"t\xe2\x82\xac", "gs"), ("revision", "u32", 2**32 - 1, "gs"),
             ("namespace", "string", b"ns", "gs"), ("qualified_name", "string", b"q.bar", "gs"),
             ("market", "string", b"SH", "gs"), ("trade_day", "i32", 20240105, "gs")]
SUBSCRIBE = [SEQ, ("token", "string", b"tok", "s"), ("uuid", "string", b"u-1", "s"),
             ("markets", "vec<string>", [b"SH", b"SZ"], "s"), ("symbols", "vec<string>", [b"600000"], "s"),
             ("granularities", "vec<u32>", [60, 2**32 - 1], "s"), ("qualified_names", "vec<string>", [b"q"], "s"),
             ("fields", "vec<vec<string>>", [[b"open", b"\xe4\xb8\xad"], []], "s"),
             ("start", "i32", -(2**31), "s"), ("end", "i32", 2**31 - 1, "s"), ("sort", "vec<string>", [b"t"], "s"),
             ("direction", "vec<u8>", [0, 1, 255], "s"), ("filters", "count0", [], "s")]
UNSUBSCRIBE = [SEQ, ("token", "string", b"tok", "s"), ("uuid", "string", b"u-1", "s")]
REQUESTS = {Keepalive: KEEPALIVE, ATUniverseReq: UNIVERSE_REQ, ATUniverseSeedsReq: SEEDS_REQ,
            ATSubscribeReq: SUBSCRIBE, ATUnsubscribeReq: UNSUBSCRIBE}
UNIVERSE_RES = [SEQ, ("status", "i32", 0, "g"), ("error_code", "i32", 0, "g"), ("error_msg", "string", b"", "g")]
SEEDS_RES = [("seq", "i32", 0, "g")] + UNIVERSE_RES[1:] + [("namespace", "string", b"", "g")]


@pytest.mark.parametrize("cls, table, methods", [
    (Keepalive, KEEPALIVE, ("encode", "decode")), (ATUniverseReq, UNIVERSE_REQ, ("encode",)),
    (ATUniverseRes, UNIVERSE_RES, ("set_compressor", "decode", "revs")),
    (ATUniverseSeedsReq, SEEDS_REQ, ("encode", "decode")),
    (ATUniverseSeedsRes, SEEDS_RES, ("set_compressor", "decode", "seed_data")),
    (ATSubscribeReq, SUBSCRIBE, ("encode",)), (ATUnsubscribeReq, UNSUBSCRIBE, ("encode",)),
])
def test_public_methods_are_those_of_the_table(cls, table, methods):
    assert sorted(n for n in dir(cls) if not n.startswith("_")) == public_names(table, *methods)


@pytest.mark.parametrize("cls", REQUESTS)
def test_request_bodies_defaults_and_filled(cls):
    table = REQUESTS[cls]
    assert cls().encode() == body(table)
    assert fill(cls(), table).encode() == body(table, sample(table))


def test_bodies_written_out():
    req, alive, sub = ATUniverseReq(), Keepalive(), ATSubscribeReq()
    req.set_seq(7), req.set_token(b"t"), alive.set_utc_now(1)
    assert req.encode() == bytes.fromhex("00000007 00000001 74") and alive.encode() == b"\1\0\0\0"
    assert sub.encode() == bytes(52)
    sub.set_direction([0, 1])
    assert sub.encode() == bytes(44) + bytes.fromhex("00000002 0001") + bytes(4)


def test_requests_decode_their_own_layout():
    check_strict_decode(ATUniverseSeedsReq, SEEDS_REQ)
    alive = Keepalive()
    alive.decode(fill(Keepalive(), KEEPALIVE).encode())
    assert alive.get_utc_now() == -2
    alive.decode(b"\1\0\0\0\xff")
    assert alive.get_utc_now() == 1
    alive.decode(struct.pack("<i", -(2**31)))
    assert alive.get_utc_now() == -(2**31)
    for short in (b"", b"\1\0\0"):
        raises_exactly(lambda: alive.decode(short), "Keepalive decode: buffer < 4 bytes")
        assert alive.get_utc_now() == -(2**31)


SETTERS = [(cls, f) for cls, table in REQUESTS.items() for f in table if f[0] != "filters"] + [
    (ATUniverseRes, SEQ),
    (ATSubscribeReq, SUBSCRIBE[-1]),
]


@pytest.mark.parametrize("cls, field", SETTERS, ids=lambda x: x[0] if type(x) is tuple else x.__name__)
def test_setters_refuse_bad_arguments_and_keep_the_field(cls, field):
    check_setter_refuses(cls, field)


def test_filters_accept_only_an_empty_list():
    sub = fill(ATSubscribeReq(), SUBSCRIBE)
    before = sub.encode()
    assert sub.set_filters([]) is None and sub.set_filters(()) is None
    for bad in ([0], [None], (b"",)):
        raises_exactly(lambda: sub.set_filters(bad),
                       "ATSubscribeReq.set_filters: non-empty filters (ATSubscribeFilter)", prefix_only=True)
    assert sub.encode() == before


# ---- replies --------------------------------------------------------------------------

KEY, COLUMNS = (0, 7), [(b"price", 2, 2), (b"volume", 7, 0), (b"name", 3, 0)]
KINDS = [c[1] for c in COLUMNS]
ROWS = [(1_700_000_000_000, 60, b"SH", b"600000", [12345, 2**40, b"x"]),
        (2, -1, b"SZ", b"\xe4\xb8\xad", [None, -5, None])]
BLOB = batch_set(batch(KEY, COLUMNS, ROWS))
EXPECTED = decoded(KEY, COLUMNS, ROWS)
SCHEMA = (KEY, b"q.bar", 3, COLUMNS)


def entries(*pairs, count=None):
    return struct.pack(">I", len(pairs) if count is None else count) + b"".join(s(n) + s(b) for n, b in pairs)


def prefix(msg):
    return msg.get_seq(), msg.get_status(), msg.get_error_code(), msg.get_error_msg()


PREVIOUS = response(9, 8, 7, b"prev") + entries((b"old", BLOB))


@pytest.mark.parametrize("tail, revs", [
    (b"", {}), (b"\0", {}), (b"\0\0", {}), (b"\xff\xff\xff", {}), (entries(), {}),
    (entries((b"a", BLOB), (b"b", b"")) + b"ignored", {b"a": EXPECTED, b"b": []}),
    (entries((b"a", b""), (b"b", BLOB), (b"a", BLOB)), {b"a": EXPECTED, b"b": EXPECTED}),  # the later entry wins
])
def test_universe_reply_entries(tail, revs):
    res = ATUniverseRes()
    res.decode(response(-1, 2, 3, b"m") + tail)
    assert prefix(res) == (-1, 2, 3, b"m") and res.revs() == {k: [] for k in revs}
    res.set_compressor(compressor(SCHEMA))
    assert {k: read_rows(v, KINDS) for k, v in res.revs().items()} == revs


@pytest.mark.parametrize("data, error", [
    (b"", "unexpected end of input: needed 4 more bytes"),
    (response(error_msg=b"abc")[:-1], "unexpected end of input: needed 1 more bytes"),
    (response(error_msg=b"\xff"), "invalid utf-8 in string field"),
    (response() + entries((b"a", BLOB), count=2), "unexpected end of input: needed 4 more bytes"),
    (response() + entries((b"a", BLOB))[:-1], "unexpected end of input: needed 1 more bytes"),
    (response() + entries((b"\xff", b"")), "invalid utf-8 in string field"),
])
def test_universe_reply_refuses_short_bodies_and_keeps_its_state(data, error):
    res = ATUniverseRes()
    res.decode(PREVIOUS)
    res.set_compressor(compressor(SCHEMA))
    raises_exactly(lambda: res.decode(data), "ATUniverseRes decode: " + error)
    assert prefix(res) == (9, 8, 7, b"prev") and list(res.revs()) == [b"old"]
    assert read_rows(res.revs()[b"old"], KINDS) == EXPECTED


def test_universe_revisions_that_do_not_decode_raise():
    res = ATUniverseRes()
    res.decode(response() + entries((b"a", b"garbage")))
    assert res.revs() == {b"a": []}  # nothing is decoded without a catalog
    res.set_compressor(compressor(SCHEMA))
    raises_exactly(res.revs, "decompress: snappy: ", prefix_only=True)
    res.decode(response() + entries((b"a", batch_set(batch((1, 7), COLUMNS, ROWS)))))
    raises_exactly(res.revs, "decompress: unknown schema: namespace=1 meta_id=7")


SEEDS_PREV = response(9, 8, 0, b"prev") + s(b"old") + s(BLOB)


@pytest.mark.parametrize("data, stored, namespace, rows", [
    (b"", None, b"", []),
    (response(1, 2, 0, b"m")[:-1], None, b"", []),
    (response(1, 2, 0, b"\xff"), None, b"", []),
    (response(-2, 0, 0, b"") + s(b"ns") + s(BLOB), (-2, 0, 0, b""), b"ns", EXPECTED),  # unsolicited, in a backtest
    (response(1, 2, 0, b"m"), (1, 2, 0, b"m"), b"", []),
    (response(1, 2, 0, b"m") + b"\1\2\3", (1, 2, 0, b"m"), b"", []),
    (response(1, 2, 5, b"err") + s(b"ns") + s(BLOB), (1, 2, 5, b"err"), b"", []),
    (response(1, 2, 5, b"err"), (1, 2, 5, b"err"), b"", []),
    (response(1, 2, 0, b"m") + s(b"ns") + s(BLOB)[:-1], None, b"", []),
    (response(1, 2, 0, b"m") + s(b"\xff") + s(BLOB), None, b"", []),
    (response(1, 2, 0, b"m") + s(b"ns") + s(b"garbage"), (1, 2, 0, b"m"), b"ns", []),
    (response(1, 2, 0, b"m") + s(b"ns") + s(b""), (1, 2, 0, b"m"), b"ns", []),
])
def test_seeds_reply_never_raises_and_keeps_what_it_could_read(data, stored, namespace, rows):
    res = ATUniverseSeedsRes()
    res.set_compressor(compressor(SCHEMA))
    res.decode(SEEDS_PREV)
    assert res.get_namespace() == b"old" and read_rows(res.seed_data(), KINDS) == EXPECTED
    res.decode(data)
    assert prefix(res) == (stored or (9, 8, 0, b"prev")) and res.get_namespace() == namespace
    assert read_rows(res.seed_data(), KINDS) == rows


def test_rows_decode_lazily_through_the_catalog_kept_at_set_compressor():
    ser, seeds, universe = compressor(SCHEMA), ATUniverseSeedsRes(), ATUniverseRes()
    seeds.decode(response() + s(b"ns") + s(BLOB))
    universe.decode(response() + entries((b"ns", BLOB)))
    assert seeds.seed_data() == [] and universe.revs() == {b"ns": []}
    assert seeds.set_compressor(ser) is None and universe.set_compressor(ser) is None
    ser.update_schema_from_binary(b"")  # does not reach the messages
    for _ in range(2):  # and decode keeps the catalog
        assert read_rows(seeds.seed_data(), KINDS) == read_rows(universe.revs()[b"ns"], KINDS) == EXPECTED
        seeds.decode(response() + s(b"ns") + s(BLOB))
        universe.decode(response() + entries((b"ns", BLOB)))
    seeds.set_compressor(ser), universe.set_compressor(ser)  # a second call replaces the catalog
    assert seeds.seed_data() == []
    raises_exactly(universe.revs, "decompress: unknown schema: namespace=0 meta_id=7")
    for msg in (seeds, universe):
        with pytest.raises(TypeError, match="^argument 'compressor': "):
            msg.set_compressor(ATUniverseRes())
        with pytest.raises(TypeError, match="^argument 'buf': 'str' object cannot be converted to 'bytes'$"):
            msg.decode("x")


def test_reference_counts_stay_put():
    ser, seeds, universe = compressor(SCHEMA), ATUniverseSeedsRes(), ATUniverseRes()
    seeds.set_compressor(ser), universe.set_compressor(ser)
    good_seeds, good_universe = response() + s(b"ns") + s(BLOB), response() + entries((b"ns", BLOB))
    sub, seeds_req, big, text = ATSubscribeReq(), ATUniverseSeedsReq(), 2**32 - 1, b"t" * 50
    texts, nested, bad = [b"a"], [[b"b"]], [b"\xff"]
    watched = (ser, good_seeds, good_universe, big, text, texts, nested, bad, *texts, *nested)
    before = reference_counts(watched)
    for _ in range(300):
        seeds.decode(good_seeds), universe.decode(good_universe), seeds.seed_data(), universe.revs()
        seeds.set_compressor(ser), universe.set_compressor(ser), seeds_req.decode(seeds_req.encode())
        sub.set_token(text), sub.set_markets(texts), sub.set_fields(nested), sub.set_granularities([big])
        seeds_req.set_revision(big), seeds_req.set_market(text), sub.encode()
        for fail in (lambda: sub.set_markets(bad), lambda: universe.decode(good_universe[:-1]),
                     lambda: seeds_req.decode(good_seeds[:3]), lambda: sub.set_filters(texts)):
            with pytest.raises(Exception):
                fail()
    assert reference_counts(watched) == before
    for make in (sub.encode, seeds_req.get_market, seeds.get_namespace, seeds.seed_data, universe.revs):
        assert extra_references(make) == (0, 0)
    assert extra_references(seeds.seed_data, items=list) == (0, 0)
