#!/usr/bin/env python3
"""Regenerates the seeds of the messages harness in fuzz/corpus/messages/.

A seed is named "<decoder>" or "<decoder>-<variant>", the decoder being a
name in the kDecoders table of harnesses_messages.cc; its first byte is that
entry's index, read from the table, and the rest a body built with struct from
the message tables. Row blobs use the harness's fixed catalog (see harnesses.h)
and make_seeds.py's batch writer. The inputs under fuzz/regressions/messages/
keep their bodies and have their first byte re-pointed the same way.
Run from anywhere: python3 fuzz/make_message_seeds.py
"""
import re
import shutil
import struct

from make_seeds import ALL_KINDS_BATCH, HERE, KINDS, batch, batch_set, snappy, text


def decoder_names():
    """The names of kDecoders, in selector order."""
    source = (HERE / "harnesses_messages.cc").read_text()
    table = re.search(r"constexpr Decoder kDecoders\[\] = \{(.*?)\n\};", source, re.S)
    if not table:
        raise SystemExit("harnesses_messages.cc: no kDecoders table")
    names = re.findall(r'^\s*\{"([^"]+)", ', table.group(1), re.M)
    if len(set(names)) != len(names) or not 0 < len(names) <= 256:
        raise SystemExit(f"harnesses_messages.cc: kDecoders names not unique or not one byte: {names}")
    return names


DECODERS = decoder_names()

# Regression inputs named before seeds were named by decoder.
REGRESSION_DECODERS = {"tc_data_json_empty_batch_group": "TCDataCommunication.decode_to_json"}


def selector(file_name):
    """The selector byte of the decoder a file is named after."""
    name = REGRESSION_DECODERS.get(file_name, file_name.split("-", 1)[0])
    if name not in DECODERS:
        raise SystemExit(f"{file_name}: no decoder {name!r} in kDecoders")
    return DECODERS.index(name)


def i32(v):
    return struct.pack(">i", v)


def u32(v):
    return struct.pack(">I", v)


def u64(v):
    return struct.pack(">Q", v)


def texts(items):
    return u32(len(items)) + b"".join(text(x) for x in items)


def base_request(seq, token="tok"):
    return i32(seq) + text(token)


def base_response(seq, error_code=0, status=1, error_msg=""):
    return i32(seq) + i32(status) + i32(error_code) + text(error_msg)


# Rows of the fixed catalog: (0, 17) int, double at 2 places, string, Other.
BARS = [(1, 0), (2, 2), (3, 0), (9, 0)]
BARS_BATCH = batch(0, 17, BARS, [[7, 1.005, "x", None], [-3, None, "\u00e9\"\\", None]])
BLOB = snappy(batch_set(BARS_BATCH))
TWO_GROUPS = snappy(batch_set(BARS_BATCH, ALL_KINDS_BATCH))
UNKNOWN_META = snappy(batch_set(batch(0, 18, BARS, [[1, 2.0, "y", None]])))


def calculator_prefix(runtime=0, category=0, session_id=0, status=0, error_code=0, error_msg=""):
    return struct.pack(">BIqii", runtime, category, session_id, status, error_code) + text(error_msg)


def i64(v):
    return struct.pack(">q", v)


def f64(v):
    return struct.pack(">d", v)


def str_map(entries):
    """A map<string, R>: a count, then (key, record) pairs as given."""
    return u32(len(entries)) + b"".join(text(k) + v for k, v in entries)


def universe_in(imports=(), securities=()):
    return (str_map([(alias, text(ns) + text(name) + u32(rev) + texts(fields))
                     for alias, ns, name, rev, fields in imports])
            + u32(len(securities)) + b"".join(text(market) + texts(codes) for market, codes in securities))


def universe_out(exports=(), sub_accounts=(), sampling=(0, 60), sampler=b"\x00"):
    return (str_map([(name, text(ns) + text(qname) + u32(rev) + u32(len(defs))
                      + b"".join(text(d) + bytes([t, p]) for d, t, p in defs))
                     for name, ns, qname, rev, defs in exports])
            + u32(len(sub_accounts)) + b"".join(text(n) + bytes([c]) + f64(cap) for n, c, cap in sub_accounts)
            + u32(sampling[0]) + u32(sampling[1]) + sampler)


def backtest_params(universe_in_map, universe_out_map):
    return b"\x02" + i64(1_700_000_000_000) + i64(1_700_086_400_000) + u32(60) + u32(10) + universe_in_map \
        + universe_out_map


UNIVERSES_IN = str_map([("in", universe_in([("bars", "global", "global::bars", 3, ["c0", "c1"])],
                                           [("SH", ["600000"]), ("SZ", [])]))])
UNIVERSES_OUT = str_map([("out", universe_out([("signals", "private", "private::signals", 1, [("score", 2, 4)])],
                                              [("sub", 1, 1e5)], (1, 300),
                                              b"\x01" + texts(["SH"]) + u32(2) + u32(60) + u32(300) + b"\x00"))])


def basket(uuid, capital, cash, positions):
    return text(uuid) + f64(capital) + f64(cash) + u32(len(positions)) + b"".join(
        text(m) + text(c) + i64(v) + f64(cost) for m, c, v, cost in positions)


def net_response(blob, has_more=1):
    """A page of two symbols of SH over one [begin, end] slice."""
    return (base_response(33) + i64(9) + u32(3) + bytes([has_more]) + u64(2) + u64(8) + u32(1) + text("SH")
            + texts(["600000", "600001"]) + u32(2) + struct.pack("<qq", 1_700_000_000_000, 1_700_086_400_000)
            + text(blob))


# For the Arrow export, the catalog's precisions moved by 5 (Double 9, VDouble 7) and by 8 (Double 10: unscaled).
LARGE_SCALED = batch(1, 5, [(1, 0), (2, 9), (3, 0), (4, 0), (5, 7), (6, 0), (7, 0), (8, 0)],
                     [[1, 9.3e6 + 1e-9, None, None, [2.0 ** 52 / 1e7, -1e11], None, None, None],
                      [None, -2.0 ** 51 / 1e9, "z", [], None, [], 0, []]])
UNSCALED = batch(0, 17, [(1, 0), (2, 10), (3, 0), (9, 0)], [[1, 2.0 ** 53 + 2, "a", None], [2, None, "", None]])

SUCCESS_TRAILER = text("global") + texts(["c0", "c1", "c2", "c3"]) + text(BLOB)

SEEDS = {
    "Keepalive": struct.pack("<i", 1_700_000_000) + b"\xff",
    "Keepalive-short": b"\x01\x00\x00",
    "ATUniverseReq": base_request(7, "t"),
    "ATUniverseRes-two_namespaces": base_response(3) + u32(3) + text("global") + text(BLOB) + text("kinds")
        + text(TWO_GROUPS) + text("global") + text(snappy(batch_set())),
    "ATUniverseRes-stray_bytes": base_response(3) + b"\x00\x00\x01",
    "ATUniverseRes-lying_count": base_response(3) + u32(2) + text("global") + text(BLOB),
    "ATUniverseRes-bad_blob": base_response(3) + u32(1) + text("global") + text(b"\x05\x00"),
    "ATUniverseSeedsReq": base_request(9) + u32(4) + text("global") + text("global::bars") + text("SH")
        + i32(20240102),
    "ATUniverseSeedsRes": base_response(9) + text("global") + text(TWO_GROUPS),
    "ATUniverseSeedsRes-unsolicited": base_response(-2) + text("global") + text(BLOB),
    "ATUniverseSeedsRes-error_with_trailer": base_response(9, 5, 0, "no seed") + text("global") + text(BLOB),
    "ATUniverseSeedsRes-unknown_meta": base_response(9) + text("global") + text(UNKNOWN_META),
    "ATSubscribeReq": base_request(11) + text("uuid-1") + texts(["SH", "SZ"])
        + texts(["600000", "000001"]) + u32(2) + u32(60) + u32(86400) + texts(["global::bars"])
        + u32(2) + texts(["c0", "c1"]) + texts([]) + i32(-1) + i32(100) + texts(["time_tag"])
        + u32(2) + b"\x00\x01" + u32(0),
    "ATSubscribeReq-filters": base_request(11) + text("") + texts([]) * 2 + u32(0) + texts([])
        + u32(0) + i32(0) + i32(0) + texts([]) + u32(0) + u32(1),
    "ATUnsubscribeReq": base_request(12) + text("uuid-1"),
    "ATFetchByCodeReq": base_request(13) + text("global") + text("global::bars") + u32(2)
        + text("SH") + text("600000") + u64(1_700_000_000_000) + u64(1_700_086_400_000)
        + u32(60) + texts(["c0", "c2"]) + b"trailing",
    "ATFetchByCodeReq-invalid_utf8": base_request(13) + text(b"\xc3"),
    "ATFetchByTimeReq": base_request(14) + text("global") + text("global::bars") + u32(2)
        + texts(["A", "B"]) + texts(["1"]) + u64(1_700_000_000_000) + u32(60) + texts([]),
    "ATFetchSVRes": base_response(15) + SUCCESS_TRAILER,
    "ATFetchSVRes-all_kinds": base_response(15) + text("global") + texts([])
        + text(snappy(batch_set(ALL_KINDS_BATCH))),
    "ATFetchSVRes-two_metas": base_response(15) + text("global") + texts([]) + text(TWO_GROUPS),
    "ATFetchSVRes-error_with_trailer": base_response(15, 3, 0, "bad code") + SUCCESS_TRAILER,
    "ATFetchSVRes-truncated_trailer": base_response(15) + SUCCESS_TRAILER[:-7],
    "ATFetchSVRes-six_bytes": i32(15) + b"\x00\x00",
    "ATFetchSVRes-empty_blob": base_response(15) + text("global") + texts(["c0"]) + text(b""),
    "DRPushStartRes": struct.pack(">IiI", 20240102, 1, 7),
    "DRPushStartRes-short": struct.pack(">Ii", 20240102, 1),
    "DRMarketStatus": struct.pack(">BIqii", 1, 1, 5, 0, 0) + text("")
        + struct.pack(">iQ", 4, 1_700_000_000_000) + texts(["SH", "HK"])
        + u32(2) + struct.pack("<ii", 20240102, 20240103),
    "DRMarketStatus-lying_days": struct.pack(">BIqii", 0, 0, 0, 0, 0) + text("")
        + struct.pack(">iQ", 0, 0) + texts([]) + u32(3) + struct.pack("<i", 1),
    "LanterfoldCategory": struct.pack(">h", 2) + text(b"ab\xff"),
    "LanterfoldCategory-short_identify": struct.pack(">h", 1) + u32(5) + b"abc",
    "TCDataCommunication.decode_string": calculator_prefix(session_id=-1) + text(TWO_GROUPS),
    "TCDataCommunication.decode_string-empty_blob": calculator_prefix(status=2) + u32(0),
    "TCDataCommunication.decode_string-unknown_meta": calculator_prefix() + text(UNKNOWN_META),
    "TCDataCommunication.decode_string-short_prefix": calculator_prefix()[:11],
    "TCDataCommunication.decode_to_json": calculator_prefix(1, 1, 9, 0, 3, 'bad "row"\n') + text(TWO_GROUPS),
    "TCDataCommunication.decode_to_json-keys_out_of_order": calculator_prefix() + text(
        snappy(batch_set(ALL_KINDS_BATCH, BARS_BATCH, ALL_KINDS_BATCH))),
    "TCDataCommunication.decode_to_json-no_rows": calculator_prefix() + text(snappy(batch_set())),
    # Backtests. A universe map written with a repeated key and out of key
    # order decodes, keeping the later entry, but re-encodes shorter.
    "ATStartBacktestReq": base_request(21) + u32(1) + u32(300) + u32(2) + b"\x01" + text("def on_bar(): pass")
        + backtest_params(UNIVERSES_IN, UNIVERSES_OUT),
    "ATStartBacktestReq-map_keys_repeated": base_request(21) + u32(0) * 3 + b"\x00" + text("")
        + backtest_params(u32(3) + text("b") + universe_in() + text("a") + universe_in() + text("b") + universe_in(),
                          u32(0)),
    "ATStartBacktestReq-bad_sampler_tag": base_request(21) + u32(0) * 3 + b"\x00" + text("")
        + backtest_params(u32(0), u32(1) + text("out") + universe_out(sampler=b"\x02")),
    "ATStartBacktestRes": base_response(21) + i64(-7) + text("10.0.0.1:9000"),
    "ATStartBacktestRes-no_address": base_response(21) + i64(-7),
    "ATControlBacktestReq": base_request(22) + i64(7) + b"\x06\x01" + i64(1_700_000_000_000) + i64(-1),
    "ATControlBacktestReq-operation_7": base_request(22) + i64(7) + b"\x07\x00" + i64(0) + i64(0),
    "ATControlBacktestRes": base_response(22, 4, 1, "no such session"),
    "ATControlBacktestRes-invalid_utf8": base_response(22, 0, 1, b"\xe2\x82"),
    # Accounts and manual trades.
    "ATAccountAddReq": base_request(23) + text("acct") + text("pw") + b"\x02" + f64(1e6),
    "ATAccountAddRes": base_response(23) + text("acct-uuid") + text("basket-uuid") + b"\x01",
    "ATAccountAddRes-base_only": base_response(23, 2, 9, "refused"),
    "ATAccountAddRes-short_trailer": base_response(23) + text("acct-uuid") + b"\x00\x00",
    "ATAccountEditReq": base_request(24) + text("acct-uuid") + b"\x0a" + text("sub") + text("new name") + f64(-2.5),
    "ATAccountEditReq-operation_0": base_request(24) + text("acct-uuid") + b"\x00" + text("") + text("") + f64(0),
    "ATAccountEditRes": base_response(24) + u32(2) + basket("b1", 1e6, 5e5, [("SH", "600000", 100, 10.5)])
        + basket("b2", 0.0, -0.0, [("SZ", "000001", -3, float("nan")), ("HK", "00700", 2**63 - 1, 1e-300)]),
    "ATAccountEditRes-lying_positions": base_response(24) + u32(1) + text("b1") + f64(1) + f64(1) + u32(9)
        + text("SH") + text("600000") + i64(1) + f64(1),
    "ATAccountChangeCapitalReq": base_request(25) + text("acct-uuid") + text("basket-uuid") + f64(-1000.0),
    "ATManualTradeReq": base_request(26) + text("acct-uuid") + text("basket-uuid") + text("SH") + text("600000")
        + b"\x01\x02" + i64(100) + f64(10.25) + b"\x01" + f64(9.5) + f64(11.0),
    "ATManualTradeReq-no_close_price": base_request(26) + text("a") + text("b") + text("SZ") + text("000001")
        + b"\x00\x00" + i64(-1) + f64(0) + b"\x00",
    "ATManualTradeReq-close_price_tag_3": base_request(26) + text("a") + text("b") + text("SZ") + text("000001")
        + b"\x00\x00" + i64(1) + f64(1) + b"\x03" + f64(1) + f64(2),
    "ATManualTradeEditReq": base_request(27) + text("order-uuid") + i64(200) + f64(10.5),
    "ATManualTradeRes": base_response(28) + text("order-uuid") + b"\x02",
    "ATManualTradeRes-base_only": base_response(28, 1, 3, "rejected"),
    "ATManualTradeRes-short_trailer": base_response(28) + text("order-uuid"),
    # The calculator's lifecycle.
    "TCInitialize": calculator_prefix(1, 2, 3, 0, 0, "\u00e9") + i64(1_700_000_000_000) + i64(1_700_086_400_000)
        + u32(60) + texts(["SH", "SZ"]) + texts(["600000", "000001"]) + text('{"k": [1, "\\u00e9"]}\t\x01'),
    "TCInitialize-truncated_codes": calculator_prefix() + i64(0) + i64(0) + u32(0) + texts([]) + u32(2) + text("x"),
    "TCHistoricalReq": calculator_prefix(session_id=4) + struct.pack(">HI", 0, 17) + texts(["SH"]) + texts(["600000"])
        + i64(1_700_000_000_000) + i64(1_700_086_400_000) + u32(60),
    "TCHistoricalRes": calculator_prefix(session_id=4) + text(TWO_GROUPS),
    "TCHistoricalRes-unknown_meta": calculator_prefix(session_id=4) + text(UNKNOWN_META),
    "TCHistoricalRes-bad_blob": calculator_prefix(session_id=4) + text(b"\x05\x00"),
    "TCHistoricalRes-empty_blob": calculator_prefix(session_id=4) + u32(0),
    "TCMarketStatus": calculator_prefix() + i32(2) + u64(1_700_000_000_000) + texts(["SH", "HK"]) + u32(2)
        + struct.pack("<ii", 20240102, 20240103),
    "TCMarketStatus-lying_days": calculator_prefix() + i32(2) + u64(0) + texts([]) + u32(3) + struct.pack("<i", 1),
    "TCComplete": calculator_prefix(status=1) + i32(3),
    "TCComplete-short": calculator_prefix() + b"\x00\x00",
    # The trading server's session pushes.
    "TAMarketStatusNotification": base_response(0) + text("SH") + i32(1) + i64(1_700_000_000_000) + i32(20240102),
    "TAMarketStatusNotification-short": base_response(0) + text("SH") + i32(1),
    "ProgressRes": base_response(0) + i64(7) + f64(0.5),
    "ProgressRes-short": base_response(0) + i64(7) + b"\x3f",
    "LogRes": base_response(0) + i64(7) + text("line 1\nline 2 \u00e9"),
    "LogRes-invalid_utf8": base_response(0) + i64(7) + text(b"\xff"),
    # The storage master's history bodies.
    "NetBaseRequest": base_request(31) + i64(9) + u32(1),
    "NetBaseResponse": base_response(31) + i64(9) + u32(1),
    "NetBaseResponse-short": base_response(31) + i64(9),
    "NetRequest": base_request(32) + i64(9) + u32(2) + b"\x00" + struct.pack(">IHI", 17, 0, 60)
        + i64(1_700_000_000_000) + i64(1_700_086_400_000) + u32(500) + u64(1000) + u32(2) + u32(0) + u32(2)
        + u32(2) + text("SH") + texts(["600000", "600001"]) + text("SZ") + texts([]),
    "NetRequest-lying_fields": base_request(32) + i64(9) + u32(2) + b"\x00" + struct.pack(">IHI", 17, 0, 60)
        + i64(0) + i64(0) + u32(0) + u64(0) + u32(5) + u32(1),
    "NetResponse": net_response(BLOB),
    "NetResponse-two_metas": net_response(TWO_GROUPS, has_more=0),
    "NetResponse-unknown_meta": net_response(UNKNOWN_META),
    "NetResponse-bad_blob": net_response(b"\x05\x00"),
    "NetResponse-short_time_data": base_response(33) + i64(9) + u32(3) + b"\x00" + u64(0) * 2 + u32(0) + u32(2)
        + struct.pack("<q", 1),
    "HistoryErrorResponse": base_response(34, 0, 5) + i64(9) + u32(3) + text("no such range"),
    "HistoryErrorResponse-no_reason": base_response(34, 0, 5) + i64(9) + u32(3),
    # The Arrow export: a byte moving the catalog's Double and VDouble precisions (odd: an empty meta), a set.
    "arrow.export_stream": b"\x00" + BLOB,
    "arrow.export_stream-all_kinds": b"\x00" + snappy(batch_set(ALL_KINDS_BATCH)),
    "arrow.export_stream-two_batches": b"\x00" + snappy(batch_set(BARS_BATCH, BARS_BATCH)),
    "arrow.export_stream-large_scaled": b"\x05" + snappy(batch_set(LARGE_SCALED)),
    "arrow.export_stream-unscaled": b"\x08" + snappy(batch_set(UNSCALED)),
    "arrow.export_stream-empty_group_of_another_meta": b"\x00" + snappy(batch_set(BARS_BATCH, batch(1, 5, KINDS, []))),
    "arrow.export_stream-two_metas": b"\x00" + TWO_GROUPS,
    "arrow.export_stream-unknown_meta": b"\x00" + UNKNOWN_META,
    "arrow.export_stream-bad_blob": b"\x00\x05\x00",
    "arrow.export_stream-no_rows": b"\x01" + snappy(batch_set()),
    "arrow.export_stream-empty_blob": b"\x00",
}


def main():
    out = HERE / "corpus" / "messages"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    for name, body in SEEDS.items():
        (out / name).write_bytes(bytes([selector(name)]) + body)
    print(f"{out.relative_to(HERE.parent)}: {len(SEEDS)} files")
    regressions = sorted((HERE / "regressions" / "messages").iterdir())
    for path in regressions:
        data = path.read_bytes()
        path.write_bytes(bytes([selector(path.name)]) + data[1:])
    print(f"fuzz/regressions/messages: {len(regressions)} files re-pointed")


if __name__ == "__main__":
    main()
