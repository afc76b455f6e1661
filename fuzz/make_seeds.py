#!/usr/bin/env python3
"""Regenerates the committed seed corpora in fuzz/corpus/<harness>/.

Built with struct and an independent Snappy (cramjam), so the seeds do not depend
on the encoders under test. Run from anywhere: python3 fuzz/make_seeds.py
"""
import datetime
import math
import pathlib
import shutil
import struct

import cramjam

MAGIC = 0x75F4C465
HERE = pathlib.Path(__file__).resolve().parent


def header(cmd, seq, version=4, flag=0):
    return struct.pack(">BIBH", version, seq, flag, cmd)


def frame(cmd, seq, body=b"", version=4, flag=0, total_len=None):
    if total_len is None:
        total_len = 8 + len(body)
    return struct.pack(">II", MAGIC, total_len) + header(cmd, seq, version, flag) + body


def snappy(data):
    return bytes(cramjam.snappy.compress_raw(data))


def split_seed(seed):
    """The raw_frame_reader harness takes its split sizes from a 2-byte prefix."""
    return struct.pack(">H", seed)


A = frame(0x5006, 1, b"fetch by code")
B = frame(0x5022, 2, b"\x00" * 300)
C = frame(0x6001, 3)  # empty body
STREAM = A + B + C
BAD_MAGIC = struct.pack(">II", 0xDEADBEEF, 8) + header(1, 1)
SHORT_LEN = frame(0x5006, 4, total_len=7)


def text(value):
    data = value.encode() if isinstance(value, str) else value
    return struct.pack(">I", len(data)) + data


# Schema binaries.


def column(pos, name, code, precision=0, multiple=1, sample_type=0):
    return struct.pack(">I", pos) + text(name) + struct.pack(">BIiB", code, precision, multiple, sample_type)


def meta(ns, meta_id, name, columns, revision=1, key=None, granularities=((60, 240), (86400, 1)), strings=("b", "a")):
    key_ns, key_id = key or (ns, meta_id)
    out = struct.pack(">HIIH", key_ns, key_id, meta_id, ns) + text(name) + text(name.upper())
    out += struct.pack(">I", len(granularities)) + b"".join(struct.pack(">ii", g, n) for g, n in granularities)
    out += struct.pack(">BI", 7, len(strings)) + b"".join(text(s) for s in strings)
    out += text("bar") + struct.pack(">I", revision) + text("uuid-1")
    return out + struct.pack(">I", len(columns)) + b"".join(columns)


def schema(*metas):
    return struct.pack(">I", len(metas)) + b"".join(metas)


COLUMNS = [column(0, "open", 2, 2), column(1, "volume", 7), column(2, "name", 3)]
ALL_KINDS = [column(i, "k%d" % code, code, 3) for i, code in enumerate([1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 255])]
ONE_META = schema(meta(0, 17, "bars", COLUMNS))

# Batches (the rows harnesses take a schema prefix, see harnesses.h).


def prefix(columns, registered=True):
    """columns: (kind code 0..15, precision 0..12) pairs."""
    return bytes([len(columns) | (0 if registered else 0x80)] + [code << 4 | p for code, p in columns])


def scaled(v, p):
    x = v * (10 ** p if p < 10 else 1)
    if math.isnan(x):
        return 0
    if x >= 2.0 ** 63:
        return 2 ** 63 - 1
    if x < -(2.0 ** 63):
        return -(2 ** 63)
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


def value(code, p, v):
    if code == 1:
        return struct.pack(">i", v)
    if code == 2:
        return struct.pack(">q", scaled(v, p))
    if code == 3:
        return text(v)
    if code == 4:
        return struct.pack(">I", len(v)) + b"".join(struct.pack("<i", x) for x in v)
    if code == 5:
        return struct.pack(">I", len(v)) + b"".join(struct.pack("<q", scaled(x, p)) for x in v)
    if code == 6:
        return struct.pack(">I", len(v)) + b"".join(text(x) for x in v)
    if code == 7:
        return struct.pack(">q", v)
    if code == 8:
        return struct.pack(">I", len(v)) + b"".join(struct.pack("<q", x) for x in v)
    return b""  # Other: nothing on the wire


def batch(ns, meta_id, columns, rows, aux=None, row_count=None, word_count=None):
    """rows: lists of values (None for an empty slot); aux: a dict {bit: value} per row."""
    n, f = len(rows), len(columns)
    aux = aux or [{}] * n
    mask = sum(1 << i for i, v in aux[0].items() if v) if n else 0
    out = struct.pack(">HiHQ", ns, meta_id, mask, n if row_count is None else row_count)
    out += b"".join(struct.pack(">Q", 1_700_000_000_000 + r) for r in range(n))
    out += b"".join(struct.pack(">i", 60) for _ in range(n))
    out += b"".join(text("SH") for _ in range(n)) + b"".join(text("60%04d" % r) for r in range(n))
    for r in range(n):
        out += b"".join(struct.pack(">i", aux[r].get(i, 0)) for i in range(12) if mask >> i & 1)
    bits = 0
    for c in range(f):
        for r in range(n):
            if rows[r][c] is not None:
                bits |= 1 << (c * n + r)
    words = (n * f + 63) // 64
    out += struct.pack(">I", words if word_count is None else word_count)
    out += b"".join(struct.pack(">Q", bits >> (64 * i) & (2 ** 64 - 1)) for i in range(words))
    for c, (code, p) in enumerate(columns):
        out += b"".join(value(code, p, rows[r][c]) for r in range(n) if rows[r][c] is not None)
    return out


def batch_set(*batches):
    return struct.pack(">I", len(batches)) + b"".join(text(b) for b in batches)


SIMPLE = [(1, 0), (2, 2), (3, 0)]
SIMPLE_ROW = [7, 1.005, "x"]
OTHERS = [(9, 0), (1, 0), (0, 0), (15, 12)]  # Other(9), Int, Other(0), Other(15)
KINDS = [(1, 0), (2, 4), (3, 0), (4, 0), (5, 2), (6, 0), (7, 0), (8, 0)]
KIND_ROWS = [
    [-1, 2.5, "é", [1, 2], [0.5, -1.25], ["a", ""], -(2 ** 63), [2 ** 63 - 1, 0]],
    [2 ** 31 - 1, None, "", [], [1e300], [], 5, [-1]],
]
KIND_AUX = [{3: 5, 11: -1}, {3: 0, 4: 9}]
ALL_KINDS_BATCH = batch(1, 5, KINDS, KIND_ROWS, KIND_AUX)
# Doubles whose scaled integers lie near and above 2^51, where a round trip may drift.
BIG_DOUBLES = [(2, 3), (5, 9)]
BIG_ROWS = [[2.0 ** 51 / 1e3 + 0.125, [2.0 ** 52 / 1e9, -(2.0 ** 60) / 1e9]], [9.3e15, [1e10, -1e10]]]

# Market-time inputs: i32 time zone, flags, sections per policy, holidays, then calls.
TRADING, AFTER_WEEKEND, AFTER_HOLIDAY = 2, 4, 8
I32_MIN, I32_MAX = -(2 ** 31), 2 ** 31 - 1


def calendar(tz, policies, holidays=(), ignore_weekend=False):
    """policies: {flag bit: [(start, end), ...]} in the order trading_period, after_weekend, after_holiday."""
    assert len(holidays) < 16 and all(len(sections) < 4 for sections in policies.values())
    flags = (1 if ignore_weekend else 0) | sum(policies) | len(holidays) << 4
    out = struct.pack(">iB", tz, flags)
    for bit in (TRADING, AFTER_WEEKEND, AFTER_HOLIDAY):
        if bit in policies:
            out += bytes([len(policies[bit])]) + b"".join(struct.pack(">ii", a, b) for a, b in policies[bit])
    return out + b"".join(struct.pack(">i", h) for h in holidays)


OPS = dict(status=0, resolve=1, current=2, tradeday=3, begin=4, bound=5, brk=6, cont=7, equiv=8, local=9)
FLOOR, CEIL, ROUND = 0, 1, 2


def call(op, now, arg=300, pattern=FLOOR, eod=True):
    return struct.pack(">BqI", OPS[op] | pattern << 4 | (0x40 if eod else 0), now, arg & 0xFFFFFFFF)


def utc_ms(tz_hours, y, mo, d, h, mi, s=0):
    days = (datetime.date(y, mo, d) - datetime.date(1970, 1, 1)).days
    return ((days * 24 + h - tz_hours) * 3600 + mi * 60 + s) * 1000


DAY = calendar(8, {TRADING: [(930, 1130), (1300, 1500)]})
NIGHT = calendar(
    8,
    {
        TRADING: [(-300, -30), (900, 1130), (1330, 1500)],
        AFTER_WEEKEND: [(-5100, -4830), (900, 1130), (1330, 1500)],
        AFTER_HOLIDAY: [(-300, -30), (900, 1130), (1330, 1500)],
    },
    holidays=(20240209, 20240212, 20240213, 20240214, 20240215, 20240216),
)
US = calendar(-5, {TRADING: [(930, 1600)]}, holidays=(20240101, 20240704))


def local(y, mo, d, h, mi, s=0):
    return utc_ms(8, y, mo, d, h, mi, s)


SEEDS = {
    "frame_parse": {
        "one_frame": A,
        "empty_body": C,
        "old_version_flagged": frame(0x1006, 9, b"xy", version=3, flag=1),
        "stream": STREAM,
        "truncated_envelope": A[:6],
        "truncated_body": A[:-3],
        "bad_magic": BAD_MAGIC,
        "total_len_below_header": SHORT_LEN,
        "frame_then_bad_magic": A + BAD_MAGIC,
    },
    "raw_frame_reader": {
        "stream_large_pieces": split_seed(7) + STREAM,
        "stream_bytewise": split_seed(0) + STREAM,
        "stream_small_pieces": split_seed(3) + STREAM,
        "stream_truncated_tail": split_seed(5) + STREAM + A[:20],
        "frames_then_bad_magic": split_seed(4) + A + C + BAD_MAGIC + B,
        "bad_magic_first": split_seed(1) + BAD_MAGIC,
        "total_len_below_header": split_seed(2) + A + SHORT_LEN,
    },
    "package_decode": {
        "one_frame": snappy(A),
        "repetitive_body": snappy(B),
        # Near the densest a block gets, where the bomb guard's bound is tight.
        "long_run": snappy(frame(0x5022, 5, b"\x00" * 16384)),
        "empty_body": snappy(C),
        "frame_with_trailing_bytes": snappy(STREAM),
        "truncated_frame": snappy(A[:-1]),
        "bad_magic": snappy(BAD_MAGIC),
        "truncated_block": snappy(B)[:-2],
        "not_snappy": A,
        # A 5-byte preamble declaring 4 GiB - 1 over a tiny block.
        "length_bomb": b"\xff\xff\xff\xff\x0f\x00\x00",
    },
    "header_decode": {
        "one_header": header(0x5006, 1),
        "two_headers": header(0x5006, 0xFFFFFFFF) + header(0xFFFF, 0, 255, 255),
        "header_and_part": header(0x5020, 5) + b"\x04\x00\x00",
        "empty": b"",
        "four_bytes": b"\x04\x00\x00\x01",
    },
    "schema_load": {
        "empty": b"",
        "empty_catalog": snappy(schema()),
        "one_meta": snappy(ONE_META),
        "all_kinds_and_other_codes": snappy(schema(meta(1, 2, "kinds", ALL_KINDS))),
        "same_name_revisions": snappy(
            schema(meta(0, 1, "n", COLUMNS, 3), meta(0, 2, "n", [], 5), meta(0, 3, "n", [], 5), meta(2, 1, "m", [], 0))
        ),
        "descending_and_repeated_keys": snappy(
            schema(meta(9, 9, "z", COLUMNS), meta(0, 1, "a", []), meta(5, 5, "dup", []), meta(5, 5, "dup2", COLUMNS))
        ),
        "own_ids_differ_from_key": snappy(schema(meta(3, 4, "x", COLUMNS, key=(1, 2)))),
        "trailing_bytes": snappy(ONE_META + b"\x00\x01"),
        "truncated_in_last_column": snappy(ONE_META[:-3]),
        "lying_field_count": snappy(ONE_META[: -sum(map(len, COLUMNS)) - 4] + b"\xff\xff\xff\xff"),
        "lying_meta_count": snappy(b"\x7f\xff\xff\xff" + ONE_META[4:]),
        "invalid_utf8_name": snappy(schema(meta(0, 1, "ok", [column(0, b"\xc3\x28", 1)]))),
        "not_snappy": ONE_META,
    },
    "batch_deserialize": {
        "int_double_string": prefix(SIMPLE) + batch(0, 17, SIMPLE, [SIMPLE_ROW]),
        "all_kinds_aux_and_empty_slot": prefix(KINDS) + ALL_KINDS_BATCH,
        "other_columns": prefix(OTHERS) + batch(2, -1, OTHERS, [[1, 2, 3, 4]]),
        "sixty_five_rows": prefix([(1, 0)]) + batch(3, 3, [(1, 0)], [[r] for r in range(65)]),
        "no_columns": prefix([]) + batch(0, 0, [], [[], []]),
        "zero_rows": prefix(SIMPLE) + batch(0, 17, SIMPLE, []),
        "big_doubles": prefix(BIG_DOUBLES) + batch(4, 4, BIG_DOUBLES, BIG_ROWS),
        "unscaled_precision": prefix([(2, 12), (5, 10)]) + batch(4, 5, [(2, 12), (5, 10)], [[2.5, [-2.5, 1e18]]]),
        "unknown_schema": prefix(SIMPLE, registered=False) + batch(0, 17, SIMPLE, [SIMPLE_ROW]),
        "truncated": prefix(KINDS) + ALL_KINDS_BATCH[:-5],
        "lying_row_count": prefix(SIMPLE) + batch(0, 17, SIMPLE, [SIMPLE_ROW], row_count=2 ** 63),
        "lying_word_count": prefix(SIMPLE) + batch(0, 17, SIMPLE, [SIMPLE_ROW], word_count=0x7FFFFFFF),
        # A VInt count of 2^30 with one element behind it.
        "lying_vint_count": prefix([(4, 0)]) + batch(0, 1, [(4, 0)], [[[1]]])[:-8] + b"\x40\0\0\0\x01\0\0\0",
    },
    "batch_set_decompress": {
        "two_groups": prefix(SIMPLE)
        + snappy(batch_set(batch(0, 9, SIMPLE, [SIMPLE_ROW]), batch(1, 5, SIMPLE, [SIMPLE_ROW, [1, None, "y"]]))),
        "groups_out_of_order_same_key": prefix(KINDS)
        + snappy(batch_set(ALL_KINDS_BATCH, batch(0, 2, KINDS, KIND_ROWS[:1]), ALL_KINDS_BATCH)),
        "zero_length_group": prefix(SIMPLE) + snappy(batch_set(b"", batch(0, 9, SIMPLE, [SIMPLE_ROW]))),
        "empty_set": prefix(SIMPLE) + snappy(batch_set()),
        "empty_blob": prefix(SIMPLE),
        "unknown_schema": prefix(SIMPLE, registered=False) + snappy(batch_set(batch(0, 9, SIMPLE, [SIMPLE_ROW]))),
        "batch_len_past_end": prefix(SIMPLE) + snappy(batch_set(batch(0, 9, SIMPLE, [SIMPLE_ROW]))[:-4]),
        "lying_group_count": prefix(SIMPLE) + snappy(b"\xff" * 4 + batch_set(batch(0, 9, SIMPLE, [SIMPLE_ROW]))[4:]),
        "truncated_block": prefix(SIMPLE) + snappy(batch_set(batch(0, 9, SIMPLE, [SIMPLE_ROW])))[:-3],
        "not_snappy": prefix(SIMPLE) + batch_set(batch(0, 9, SIMPLE, [SIMPLE_ROW])),
    },
    "market_time": {
        # Tuesday 2024-01-02, UTC+8, two sessions.
        "day_status": DAY
        + b"".join(call(op, local(2024, 1, 2, 12, 0), pattern=p) for op in ("status", "equiv") for p in (FLOOR, CEIL))
        + call("current", local(2024, 1, 2, 15, 30))
        + call("tradeday", 0, arg=20240102),
        "day_resolve": DAY + b"".join(call("resolve", local(2024, 1, 2, 15, 55), pattern=p) for p in range(3)),
        "day_intraday_bars": DAY
        + call("begin", local(2024, 1, 2, 9, 32))
        + call("begin", local(2024, 1, 2, 15, 10))
        + call("bound", local(2024, 1, 2, 9, 32) + 1)
        + call("bound", local(2024, 1, 2, 13, 2)),
        "day_long_bars": DAY
        + call("bound", local(2024, 1, 8, 10, 0), arg=86400)
        + call("begin", local(2024, 1, 2, 10, 0), arg=604800)
        + call("begin", local(2024, 1, 2, 10, 0), arg=2678400, eod=False)
        + call("bound", local(2024, 1, 2, 10, 0), arg=31622400),
        "day_edges": DAY
        + call("brk", local(2024, 1, 2, 11, 30))
        + call("cont", local(2024, 1, 6, 10, 0))
        + call("local", local(2024, 1, 2, 0, 30))
        + call("status", local(2024, 1, 6, 10, 0), pattern=ROUND),
        # Night sessions, a holiday week and the Friday evening before a Monday.
        "night_sessions": NIGHT
        + call("tradeday", 0, arg=20240219)
        + call("tradeday", 0, arg=20240205)
        + call("status", local(2024, 2, 8, 21, 30), pattern=CEIL)
        + call("current", local(2024, 2, 9, 22, 0)),
        "night_bars": NIGHT
        + call("begin", local(2024, 2, 18, 23, 0), arg=60)
        + call("bound", local(2024, 2, 19, 9, 0), arg=900)
        + call("equiv", local(2024, 2, 10, 10, 0), pattern=CEIL)
        + call("brk", local(2024, 2, 8, 23, 0)),
        "us_eastern_dst": US
        + call("local", utc_ms(0, 2024, 3, 10, 7, 0))
        + call("local", utc_ms(0, 2024, 11, 3, 5, 30))
        + call("local", utc_ms(0, 2006, 10, 29, 5, 59))
        + call("status", utc_ms(0, 2024, 3, 11, 14, 0))
        + call("bound", utc_ms(0, 2024, 11, 4, 15, 0), arg=1800)
        + call("tradeday", 0, arg=20240311),
        "extremes": calendar(
            I32_MAX, {TRADING: [(I32_MIN, I32_MAX), (0, -1)], AFTER_HOLIDAY: [(I32_MIN, 0)]}, (I32_MIN, I32_MAX), True
        )
        + call("status", 2 ** 63 - 1, pattern=ROUND)
        + call("begin", -(2 ** 63), arg=2 ** 32 - 1)
        + call("bound", 2 ** 62, arg=1)
        + call("equiv", -(2 ** 62), pattern=CEIL)
        + call("tradeday", 0, arg=-(2 ** 31))
        + call("local", 2 ** 63 - 1),
        "missing_trading_period": calendar(0, {AFTER_WEEKEND: [(900, 1500)], AFTER_HOLIDAY: []})
        + call("status", local(2024, 1, 8, 10, 0))
        + call("current", local(2024, 1, 2, 10, 0))
        + call("begin", local(2024, 1, 2, 10, 0), arg=0),
        # Sessions ending a century before their trade day: each search ends at its bound.
        "day_step_cap": calendar(8, {TRADING: [(-90000000, -89990000)]})
        + call("brk", local(2024, 1, 2, 10, 0))
        + call("bound", local(2024, 1, 2, 10, 0)),
    },
}


def main():
    for name, files in SEEDS.items():
        out = HERE / "corpus" / name
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        for fname, data in files.items():
            (out / fname).write_bytes(data)
        print(f"{out.relative_to(HERE.parent)}: {len(files)} files")


if __name__ == "__main__":
    main()
