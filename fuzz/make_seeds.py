#!/usr/bin/env python3
"""Regenerates the committed seed corpora in fuzz/corpus/<harness>/.

Built with struct and an independent Snappy (cramjam), so the seeds do not depend
on the encoders under test. Run from anywhere: python3 fuzz/make_seeds.py
"""
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
