#!/usr/bin/env python3
"""Regenerates the seeds of the messages harness in fuzz/corpus/messages/.

Each seed is a selector byte (the decoder's index in harnesses_messages.cc)
and a body built with struct from the message tables; row blobs use the
harness's fixed catalog (see harnesses.h) and make_seeds.py's batch writer.
Run from anywhere: python3 fuzz/make_message_seeds.py
"""
import shutil
import struct

from make_seeds import ALL_KINDS_BATCH, HERE, batch, batch_set, snappy, text

(KEEPALIVE, UNIVERSE_REQ, UNIVERSE_RES, SEEDS_REQ, SEEDS_RES, SUBSCRIBE_REQ, UNSUBSCRIBE_REQ, FETCH_BY_CODE_REQ,
 FETCH_BY_TIME_REQ, FETCH_SV_RES, PUSH_SESSION_RES, DR_MARKET_STATUS, LANTERFOLD_CATEGORY, TC_DATA_DECODE,
 TC_DATA_JSON) = range(15)


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


def seed(selector, body):
    return bytes([selector]) + body


SUCCESS_TRAILER = text("global") + texts(["c0", "c1", "c2", "c3"]) + text(BLOB)

SEEDS = {
    "keepalive": seed(KEEPALIVE, struct.pack("<i", 1_700_000_000) + b"\xff"),
    "keepalive_short": seed(KEEPALIVE, b"\x01\x00\x00"),
    "universe_req": seed(UNIVERSE_REQ, base_request(7, "t")),
    "universe_res_two_namespaces": seed(
        UNIVERSE_RES, base_response(3) + u32(3) + text("global") + text(BLOB) + text("kinds") + text(TWO_GROUPS)
        + text("global") + text(snappy(batch_set()))),
    "universe_res_stray_bytes": seed(UNIVERSE_RES, base_response(3) + b"\x00\x00\x01"),
    "universe_res_lying_count": seed(UNIVERSE_RES, base_response(3) + u32(2) + text("global") + text(BLOB)),
    "universe_res_bad_blob": seed(UNIVERSE_RES, base_response(3) + u32(1) + text("global") + text(b"\x05\x00")),
    "seeds_req": seed(SEEDS_REQ, base_request(9) + u32(4) + text("global") + text("global::bars") + text("SH")
                      + i32(20240102)),
    "seeds_res": seed(SEEDS_RES, base_response(9) + text("global") + text(TWO_GROUPS)),
    "seeds_res_unsolicited": seed(SEEDS_RES, base_response(-2) + text("global") + text(BLOB)),
    "seeds_res_error_with_trailer": seed(SEEDS_RES, base_response(9, 5, 0, "no seed") + text("global") + text(BLOB)),
    "seeds_res_unknown_meta": seed(SEEDS_RES, base_response(9) + text("global") + text(UNKNOWN_META)),
    "subscribe_req": seed(SUBSCRIBE_REQ, base_request(11) + text("uuid-1") + texts(["SH", "SZ"])
                          + texts(["600000", "000001"]) + u32(2) + u32(60) + u32(86400) + texts(["global::bars"])
                          + u32(2) + texts(["c0", "c1"]) + texts([]) + i32(-1) + i32(100) + texts(["time_tag"])
                          + u32(2) + b"\x00\x01" + u32(0)),
    "subscribe_req_filters": seed(SUBSCRIBE_REQ, base_request(11) + text("") + texts([]) * 2 + u32(0) + texts([])
                                  + u32(0) + i32(0) + i32(0) + texts([]) + u32(0) + u32(1)),
    "unsubscribe_req": seed(UNSUBSCRIBE_REQ, base_request(12) + text("uuid-1")),
    "fetch_by_code_req": seed(FETCH_BY_CODE_REQ, base_request(13) + text("global") + text("global::bars") + u32(2)
                              + text("SH") + text("600000") + u64(1_700_000_000_000) + u64(1_700_086_400_000)
                              + u32(60) + texts(["c0", "c2"]) + b"trailing"),
    "fetch_by_code_req_invalid_utf8": seed(FETCH_BY_CODE_REQ, base_request(13) + text(b"\xc3")),
    "fetch_by_time_req": seed(FETCH_BY_TIME_REQ, base_request(14) + text("global") + text("global::bars") + u32(2)
                              + texts(["A", "B"]) + texts(["1"]) + u64(1_700_000_000_000) + u32(60) + texts([])),
    "fetch_sv_res": seed(FETCH_SV_RES, base_response(15) + SUCCESS_TRAILER),
    "fetch_sv_res_all_kinds": seed(FETCH_SV_RES, base_response(15) + text("global") + texts([])
                                   + text(snappy(batch_set(ALL_KINDS_BATCH)))),
    "fetch_sv_res_two_metas": seed(FETCH_SV_RES, base_response(15) + text("global") + texts([]) + text(TWO_GROUPS)),
    "fetch_sv_res_error_with_trailer": seed(FETCH_SV_RES, base_response(15, 3, 0, "bad code") + SUCCESS_TRAILER),
    "fetch_sv_res_truncated_trailer": seed(FETCH_SV_RES, base_response(15) + SUCCESS_TRAILER[:-7]),
    "fetch_sv_res_six_bytes": seed(FETCH_SV_RES, i32(15) + b"\x00\x00"),
    "fetch_sv_res_empty_blob": seed(FETCH_SV_RES, base_response(15) + text("global") + texts(["c0"]) + text(b"")),
    "push_session_res": seed(PUSH_SESSION_RES, struct.pack(">IiI", 20240102, 1, 7)),
    "push_session_res_short": seed(PUSH_SESSION_RES, struct.pack(">Ii", 20240102, 1)),
    "dr_market_status": seed(DR_MARKET_STATUS, struct.pack(">BIqii", 1, 1, 5, 0, 0) + text("")
                             + struct.pack(">iQ", 4, 1_700_000_000_000) + texts(["SH", "HK"])
                             + u32(2) + struct.pack("<ii", 20240102, 20240103)),
    "dr_market_status_lying_days": seed(DR_MARKET_STATUS, struct.pack(">BIqii", 0, 0, 0, 0, 0) + text("")
                                        + struct.pack(">iQ", 0, 0) + texts([]) + u32(3) + struct.pack("<i", 1)),
    "lanterfold_category": seed(LANTERFOLD_CATEGORY, struct.pack(">h", 2) + text(b"ab\xff")),
    "lanterfold_category_short_identify": seed(LANTERFOLD_CATEGORY, struct.pack(">h", 1) + u32(5) + b"abc"),
    "tc_data": seed(TC_DATA_DECODE, calculator_prefix(session_id=-1) + text(TWO_GROUPS)),
    "tc_data_empty_blob": seed(TC_DATA_DECODE, calculator_prefix(status=2) + u32(0)),
    "tc_data_unknown_meta": seed(TC_DATA_DECODE, calculator_prefix() + text(UNKNOWN_META)),
    "tc_data_short_prefix": seed(TC_DATA_DECODE, calculator_prefix()[:11]),
    "tc_data_json": seed(TC_DATA_JSON, calculator_prefix(1, 1, 9, 0, 3, 'bad "row"\n') + text(TWO_GROUPS)),
    "tc_data_json_keys_out_of_order": seed(TC_DATA_JSON, calculator_prefix() + text(
        snappy(batch_set(ALL_KINDS_BATCH, BARS_BATCH, ALL_KINDS_BATCH)))),
    "tc_data_json_no_rows": seed(TC_DATA_JSON, calculator_prefix() + text(snappy(batch_set()))),
}


def main():
    out = HERE / "corpus" / "messages"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)
    print(f"{out.relative_to(HERE.parent)}: {len(SEEDS)} files")


if __name__ == "__main__":
    main()
