"""Wire foundation: binding call cost, RawFrameReader.feed, NetPackage Snappy."""

from __future__ import annotations

import random
import string
import struct

import cramjam

import pyostrel
from harness import FASTER, Bench, Stmt

MAGIC = pyostrel.network_magic_num
CHUNK = 64 * 1024
ENVELOPE = struct.Struct(">II")  # magic, total_len
HEADER = struct.Struct(">BIBH")  # version, seq, flag, cmd
FRAME_VERSION = 4


# ---- binding call cost -------------------------------------------------------

def call_cost() -> list[Bench]:
    h = pyostrel.NetHeader()
    h.set_seq(12345)
    loops = 200_000
    return [
        Bench("call NetHeader.get_seq()", Stmt("f()", f=h.get_seq), Stmt("f()", f=(12345).bit_length),
              target=1.5, number=loops, repeat=25, subtract_empty=True, base_label="(12345).bit_length()"),
        Bench("call NetHeader.set_seq(5)", Stmt("f(5)", f=h.set_seq), Stmt("f(5)", f={5: 1}.get),
              target=1.5, number=loops, repeat=25, subtract_empty=True, base_label="{5: 1}.get(5)"),
    ]


# ---- RawFrameReader.feed -----------------------------------------------------

class PyFrameReader:
    """The pure-Python reader the native one is measured against."""

    def __init__(self):
        self.buf = bytearray()

    def feed(self, data):
        buf = self.buf
        buf += data
        env = ENVELOPE.unpack_from
        hdr = HEADER.unpack_from
        out = []
        append = out.append
        pos = 0
        end = len(buf)
        with memoryview(buf) as mv:
            while end - pos >= 8:
                magic, total = env(buf, pos)
                if magic != MAGIC or total < 8:
                    raise ValueError(f"bad frame at {pos}")
                stop = pos + 8 + total
                if stop > end:
                    break
                version, seq, flag, cmd = hdr(buf, pos + 8)
                append((cmd, seq, version, flag, bytes(mv[pos + 16:stop])))
                pos = stop
        del buf[:pos]  # after the view is released, or the bytearray cannot shrink
        return out


def make_stream(sizes: list[int], seed: int) -> tuple[bytes, list[tuple]]:
    """Frames built here with struct (not by pyostrel), and the tuples they hold."""
    rng = random.Random(seed)
    parts = []
    frames = []
    for seq, n in enumerate(sizes):
        cmd = rng.randrange(1 << 16)
        flag = seq & 1
        body = rng.randbytes(n)
        parts.append(ENVELOPE.pack(MAGIC, HEADER.size + n) + HEADER.pack(FRAME_VERSION, seq, flag, cmd) + body)
        frames.append((cmd, seq, FRAME_VERSION, flag, body))
    return b"".join(parts), frames


def chunked(data: bytes, size: int = CHUNK) -> list[bytes]:
    return [data[i:i + size] for i in range(0, len(data), size)]


def feed_all(reader, chunks):
    feed = reader.feed
    for c in chunks:
        feed(c)


def check_readers(chunks: list[bytes], expected: list[tuple]) -> None:
    for reader in (pyostrel.RawFrameReader(), PyFrameReader()):
        got = [f for c in chunks for f in reader.feed(c)]
        if got != expected:
            raise AssertionError(f"{type(reader).__name__} cut different frames from the stream")


def feed_benches() -> list[Bench]:
    rng = random.Random(1)
    mixed_sizes = rng.choices([16, 64, 1024], k=100_000)
    mixed, mixed_frames = make_stream(mixed_sizes, seed=2)
    big, big_frames = make_stream([64 * 1024] * 256, seed=3)
    if pyostrel.encode_raw_frame(mixed_frames[0][0], 0, mixed_frames[0][4], 4, 0) != mixed[:16 + mixed_sizes[0]]:
        raise AssertionError("encode_raw_frame disagrees with the struct-built stream")
    mixed_chunks, big_chunks = chunked(mixed), chunked(big)
    check_readers(mixed_chunks, mixed_frames)
    check_readers(big_chunks, big_frames)
    print(f"feed streams checked: {len(mixed_frames):,} frames / {len(mixed):,} bytes (bodies 16/64/1024), "
          f"{len(big_frames)} frames / {len(big):,} bytes (bodies 64 KiB); {CHUNK // 1024} KiB chunks")
    label = "bytearray + struct.unpack_from + memoryview slices, prefix deleted once per chunk"
    return [
        Bench("RawFrameReader.feed 100k mixed", lambda: feed_all(pyostrel.RawFrameReader(), mixed_chunks),
              lambda: feed_all(PyFrameReader(), mixed_chunks), target=5, direction=FASTER, repeat=15,
              nbytes=len(mixed), base_label=label),
        Bench("RawFrameReader.feed 64KiB bodies", lambda: feed_all(pyostrel.RawFrameReader(), big_chunks),
              lambda: feed_all(PyFrameReader(), big_chunks), direction=FASTER, repeat=15, nbytes=len(big),
              base_label=label),
    ]


# ---- NetPackage Snappy -------------------------------------------------------

def text_body(size: int, seed: int) -> bytes:
    """Sentences of words drawn (Zipf-weighted) from a fixed 1,000-word vocabulary."""
    rng = random.Random(seed)
    vocab = ["".join(rng.choices(string.ascii_lowercase, k=rng.randint(2, 11))) for _ in range(1000)]
    weights = [1 / (i + 1) for i in range(len(vocab))]
    out = []
    n = 0
    while n < size:
        s = " ".join(rng.choices(vocab, weights, k=rng.randint(4, 16))).capitalize()
        s += rng.choice([". ", ", ", ".\n", "; "])
        out.append(s)
        n += len(s)
    return "".join(out).encode()[:size]


def snappy_benches(kind: str, body: bytes, target) -> list[Bench]:
    pkg = pyostrel.NetPackage()
    pkg.set_cmd(0x1234)
    pkg.set_seq(77)
    pkg.set_content(body)
    raw = pkg.encode_raw()
    ours_block = pkg.encode_string()
    base_block = bytes(cramjam.snappy.compress_raw(raw))
    # Two Snappy encoders may choose different copies; each must read the other's.
    if bytes(cramjam.snappy.decompress_raw(ours_block)) != raw:
        raise AssertionError("cramjam does not read pyostrel's block back to the raw frame")
    back = pyostrel.NetPackage()
    back.decode_string(base_block)
    if (back.get_cmd(), back.get_seq(), back.get_content()) != (0x1234, 77, body):
        raise AssertionError("pyostrel does not read cramjam's block back to the package")
    ratio = len(raw) / len(ours_block)
    print(f"snappy {kind}: frame {len(raw):,} bytes -> pyostrel {len(ours_block):,} bytes ({ratio:.2f}x), "
          f"cramjam {len(base_block):,} bytes ({len(raw) / len(base_block):.2f}x); "
          f"blocks {'identical' if ours_block == base_block else 'differ, each decodes the other'}")
    if kind == "text" and not 2.0 <= ratio <= 4.0:
        raise AssertionError(f"text body compresses {ratio:.2f}x, outside 2x..4x")
    dest = pyostrel.NetPackage()
    return [
        Bench(f"NetPackage.encode_string 1MiB {kind}", Stmt("f()", f=pkg.encode_string),
              Stmt("f(raw)", f=cramjam.snappy.compress_raw, raw=raw), target=target, number=5, repeat=15,
              nbytes=len(raw), base_label="cramjam.snappy.compress_raw(pkg.encode_raw())"),
        Bench(f"NetPackage.decode_string 1MiB {kind}", Stmt("f(block)", f=dest.decode_string, block=ours_block),
              Stmt("f(block)", f=cramjam.snappy.decompress_raw, block=ours_block), target=target, number=5,
              repeat=15, nbytes=len(raw), base_label="cramjam.snappy.decompress_raw(block)"),
    ]


def benchmarks() -> list[Bench]:
    return [
        *call_cost(),
        *feed_benches(),
        *snappy_benches("text", text_body(1 << 20, seed=4), target=1.2),
        *snappy_benches("random", random.Random(5).randbytes(1 << 20), target=None),
    ]
