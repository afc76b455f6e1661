"""Historical fetch bodies: the two requests and the row reply with its JSON rendering."""

import json
import re

import pytest

from message_tables import (atoms, batch, batch_set, body, check_setter_refuses, check_strict_decode, compressor,
                            decoded, fill, public_names, read_rows, response, s, sample)
from pyostrel import ATFetchByCodeReq, ATFetchByTimeReq, ATFetchSVRes
from refcounts import extra_references, reference_counts

# (field, wire kind, filled value, accessors) in body order.
HEAD = [("seq", "i32", -7, "gs"), ("token", "string", b"t\xe2\x82\xac", "gs"), ("namespace", "string", b"ns", "gs"),
        ("qualified_name", "string", b"q.bar", "gs"), ("revision", "u32", 2**32 - 1, "gs")]
FIELDS = ("fields", "vec<string>", [b"open", b"\xe4\xb8\xad"], "gs")
BY_CODE = HEAD + [("market", "string", b"SH", "gs"), ("code", "string", b"600000", "gs"),
                  ("from_time_tag", "u64", 1, "gs"), ("to_time_tag", "u64", 2**64 - 1, "gs"),
                  ("granularity", "u32", 60, "gs"), FIELDS]
BY_TIME = HEAD + [("markets", "vec<string>", [b"A", b"B"], "gs"), ("codes", "vec<string>", [b"1"], "gs"),
                  ("time_tag", "u64", 2**63, "gs"), ("granularity", "u32", 2**31, "gs"), FIELDS]
REPLY = [("seq", "i32", -7, "gs"), ("status", "i32", -(2**31), "gs"), ("error_code", "i32", 3, "gs"),
         ("error_msg", "string", b"e", "gs"), FIELDS]
REQUESTS = {ATFetchByCodeReq: BY_CODE, ATFetchByTimeReq: BY_TIME}


@pytest.mark.parametrize("cls, table, methods", [
    (ATFetchByCodeReq, BY_CODE, ("encode", "decode")), (ATFetchByTimeReq, BY_TIME, ("encode", "decode")),
    (ATFetchSVRes, REPLY, ("decode", "set_compressor", "results", "json_results", "json_result")),
])
def test_public_methods_are_those_of_the_table(cls, table, methods):
    assert sorted(n for n in dir(cls) if not n.startswith("_")) == public_names(table, *methods)


@pytest.mark.parametrize("cls", REQUESTS)
def test_request_bodies_and_their_decode(cls):
    table = REQUESTS[cls]
    assert cls().encode() == body(table) and fill(cls(), table).encode() == body(table, sample(table))
    check_strict_decode(cls, table)


def test_default_by_code_body_is_52_zero_bytes():
    assert ATFetchByCodeReq().encode() == bytes(52)


@pytest.mark.parametrize("cls, field", [(c, f) for c, t in [*REQUESTS.items(), (ATFetchSVRes, REPLY)] for f in t],
                         ids=lambda x: x[0] if type(x) is tuple else x.__name__)
def test_setters_refuse_bad_arguments_and_keep_the_field(cls, field):
    check_setter_refuses(cls, field)


# ---- the reply ------------------------------------------------------------------------

KEY = (0, 7)
COLUMNS = [(b"i", 1, 0), (b"d", 2, 2), (b"s", 3, 0), (b"vi", 4, 0), (b"vd", 5, 3), (b"vs", 6, 0), (b"l", 7, 0),
           (b"vl", 8, 0)]
KINDS = [c[1] for c in COLUMNS]
TEXT = b'q"\\/\x00\x01\n\t\x1f\x7f \xe4\xb8\xad\xf0\x9f\x98\x80'  # quotes, backslash, controls, non-ASCII
ROWS = [(2**64 - 1, -1, b"SH", TEXT, [-(2**31), 12345, TEXT, [1, -2], [1500, -1], [b"a", TEXT], -(2**63),
                                      [2**63 - 1, -1]]),
        (0, 60, b"", b"\xe4\xb8\xad", [None] * 8),
        (5, 0, b"SZ", b"1", [7, -1, b"", [], [0], [], 1, None])]
EXPECTED = decoded(KEY, COLUMNS, ROWS)
SCHEMA = (KEY, b'q."bar"\xe2\x82\xac', 2**32 - 1, COLUMNS)
TRAILER = s(b"ns") + b"".join(atoms(*FIELDS[1:3])) + s(batch_set(batch(KEY, COLUMNS, ROWS)))
GOOD = response(1, 2, 0, b"m") + TRAILER
ONE_FIELD = b"".join(atoms("vec<string>", [b"f"]))


def prefix(res):
    return res.get_seq(), res.get_status(), res.get_error_code(), res.get_error_msg()


@pytest.mark.parametrize("data, stored, fields, rows", [
    (b"", (0, 0, 0, b""), [], []),
    (b"\0\0\0\5\0\1", (5, 0, 0, b""), [], []),
    (response(1, 2, 3, b"abc")[:10], (1, 2, 0, b""), [], []),
    (response(1, 2, 3, b"abc")[:-1], (1, 2, 3, b""), [], []),
    (response(1, 2, 3, b"err") + TRAILER, (1, 2, 3, b"err"), [], []),  # an error reply's trailer is never read
    (response(1, 2, 0, b"m"), (1, 2, 0, b"m"), [], []),
    (response(1, 2, 0, b"m") + b"\1\2\3", (1, 2, 0, b"m"), [], []),
    (response(1, 2, 0, b"\xff") + TRAILER, (1, 2, 0, b""), [], []),
    (GOOD, (1, 2, 0, b"m"), FIELDS[2], EXPECTED),
    (GOOD[:-1], (1, 2, 0, b"m"), [], []),
    (GOOD[:len(GOOD) - len(TRAILER) + 9], (1, 2, 0, b"m"), [], []),
    (response(1, 2, 0, b"m") + s(b"ns") + b"".join(atoms("vec<string>", [b"\xff"])) + s(b""), (1, 2, 0, b"m"), [], []),
    (response(1, 2, 0, b"m") + s(b"ns") + ONE_FIELD, (1, 2, 0, b"m"), [], []),  # no blob
    (response(1, 2, 0, b"m") + s(b"ns") + ONE_FIELD + s(b""), (1, 2, 0, b"m"), [b"f"], []),
    (response(1, 2, 0, b"m") + s(b"ns") + ONE_FIELD + s(b"garbage"), (1, 2, 0, b"m"), [], []),
    (response(1, 2, 0, b"m") + s(b"ns") + ONE_FIELD + s(batch_set(batch((1, 7), COLUMNS, ROWS))),
     (1, 2, 0, b"m"), [], []),
])
def test_decode_never_raises_and_resets_what_it_cannot_read(data, stored, fields, rows):
    res = ATFetchSVRes()
    res.set_compressor(compressor(SCHEMA))
    res.decode(GOOD)
    assert res.decode(data) is None
    assert prefix(res) == stored and res.get_fields() == fields and read_rows(res.results(), KINDS) == rows
    assert (res.json_results() == b'{"data":{}}') == (not rows)


@pytest.mark.parametrize("compressor_first", [True, False])
@pytest.mark.parametrize("first_read", ["results", "json_results"])
def test_rows_arrive_whichever_comes_first_decode_or_compressor(compressor_first, first_read):
    ser, res = compressor(SCHEMA), ATFetchSVRes()
    assert res.results() == [] and res.json_results() == b'{"data":{}}'
    if compressor_first:
        res.set_compressor(ser)
        ser.update_schema_from_binary(b"")  # a later schema change does not reach the message
    res.decode(GOOD)
    assert res.get_fields() == FIELDS[2]  # kept without a catalog too
    if not compressor_first:
        assert res.results() == [] and res.json_results() == b'{"data":{}}'
        res.set_compressor(ser)
        ser.update_schema_from_binary(b"")
    text = res.json_results() if first_read == "json_results" else None
    assert read_rows(res.results(), KINDS) == EXPECTED
    assert (text or res.json_results()) == res.json_result() == res.json_results()
    res.set_compressor(ser)  # the empty catalog now replaces the one kept: the rows stay, their meta is gone
    assert read_rows(res.results(), KINDS) == EXPECTED == read_rows(res.results(), KINDS)
    assert res.json_results() == b'{"data":{}}' and read_rows(res.results(), KINDS) == EXPECTED
    res.decode(GOOD)
    assert res.results() == [] and res.get_fields() == []
    with pytest.raises(TypeError, match="^argument 'compressor': "):
        res.set_compressor(ATFetchSVRes())
    with pytest.raises(TypeError, match="^argument 'buf': 'str' object cannot be converted to 'bytes'$"):
        res.decode("x")


def test_results_are_copies():
    res = ATFetchSVRes()
    res.set_compressor(compressor(SCHEMA))
    res.decode(GOOD)
    first = res.results()
    first[0].set_int(0, 1), first[0].set_market(b"XX"), first.clear()
    assert read_rows(res.results(), KINDS) == EXPECTED and res.results()[0] is not res.results()[0]


class Pairs(list):
    """A JSON object as its members in text order, duplicates kept."""


def shape(v):
    """Member order and the int/float distinction made visible."""
    if isinstance(v, (dict, Pairs)):
        return [(k, shape(x)) for k, x in (v.items() if isinstance(v, dict) else v)]
    if isinstance(v, list):
        return [shape(x) for x in v]
    return type(v).__name__, v


DEFAULTS = {1: 0, 2: 0.0, 3: "", 7: 0}  # vectors: []


def rendered(code, v):
    if v is None:
        return DEFAULTS.get(code, [])
    if type(v) is list:
        return [x.decode() if type(x) is bytes else x for x in v]
    return v.decode() if type(v) is bytes else v


def row_json(ns, meta_id, time_tag, granularity, market, code, slots, columns=COLUMNS):
    head = {"market": market.decode(), "code": code.decode(), "_stock_code": code.decode(), "time_tag": time_tag,
            "granularity": granularity % 2**32}
    return head | {c[0].decode(): rendered(c[1], v) for c, v in zip(columns, slots + [None] * len(columns))}


def test_json_rendering():
    other_key, other_columns = (0, 8), [(b"x", 3, 0)]
    other = (9, 1, b"SZ", b"2", [b"text"])
    res = ATFetchSVRes()
    res.set_compressor(compressor(SCHEMA, (other_key, b"other", 1, other_columns)))
    res.decode(response() + s(b"ns") + b"\0" * 4
               + s(batch_set(batch(KEY, COLUMNS, ROWS), batch(other_key, other_columns, [other]))))
    text = res.json_results()
    assert type(text) is bytes and text == res.json_result()
    # All rows take the first row's columns: a slot renders by the type it holds, a missing one by its column.
    values = [row_json(*r) for r in EXPECTED] + [row_json(*decoded(other_key, other_columns, [other])[0])]
    expected = {"data": {"": [{"id": KEY[1], "name": SCHEMA[1].decode(), "revision": SCHEMA[2], "values": values}]}}
    assert shape(json.loads(text, object_pairs_hook=Pairs)) == shape(expected)
    assert not re.search(rb"\s", re.sub(rb'"(\\.|[^"\\])*"', b"", text))  # compact outside strings
    assert all(b >= 0x20 for b in text) and TEXT[-7:] in text  # controls escaped, non-ASCII kept as UTF-8


def test_reference_counts_stay_put():
    ser, res, req = compressor(SCHEMA), ATFetchSVRes(), fill(ATFetchByTimeReq(), BY_TIME)
    wire, texts, big, bad = req.encode(), [b"a", b"b"], 2**64 - 1, [b"\xff"]
    watched = (ser, GOOD, wire, texts, big, bad, *texts)
    before = reference_counts(watched)
    for _ in range(300):
        res.decode(GOOD), res.set_compressor(ser), res.results(), res.json_results(), res.get_fields()
        res.set_fields(texts), req.set_markets(texts), req.set_time_tag(big), req.decode(wire), req.encode()
        for fail in (lambda: req.set_codes(bad), lambda: req.decode(wire[:-1]), lambda: res.set_seq(big)):
            with pytest.raises(Exception):
                fail()
    assert reference_counts(watched) == before
    for make in (res.results, res.json_results, res.get_fields, req.encode, req.get_markets, req.get_time_tag):
        assert extra_references(make) == (0, 0)
    assert extra_references(res.results, items=list) == (0, 0)
