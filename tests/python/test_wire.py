"""Ring frames: NetHeader, encode_raw_frame, NetPackage and RawFrameReader."""

import random
import resource
import struct
import time

import cramjam
import pytest

from pyostrel import NetHeader, NetPackage, RawFrameReader, encode_raw_frame

MAGIC = 0x75F4C465


def frame(cmd, seq, body, version=4, flag=0, magic=MAGIC, total_len=None):
    """Independent encoder, so the tests never check the module against itself."""
    total = 8 + len(body) if total_len is None else total_len
    return struct.pack(">IIBIBH", magic, total, version, seq, flag, cmd) + body


def compressed(raw):
    return bytes(cramjam.snappy.compress_raw(raw))


def raises_exactly(fn, message, prefix_only=False):
    """Native failures raise the built-in Exception itself, never a subclass."""
    with pytest.raises(Exception) as info:
        fn()
    assert type(info.value) is Exception
    assert str(info.value).startswith(message) if prefix_only else str(info.value) == message


HEADER, PACKAGE = ("version", "seq", "flag", "cmd"), ("cmd", "seq", "length", "content")


def make(cls, *values):
    obj = cls()
    for name, value in zip(HEADER if cls is NetHeader else PACKAGE, values):
        getattr(obj, "set_" + name)(value)
    return obj


def fields(obj):
    return tuple(getattr(obj, "get_" + name)() for name in (HEADER if type(obj) is NetHeader else PACKAGE))


# ---- NetHeader ----------------------------------------------------------------

@pytest.mark.parametrize("values", [(0, 0, 0, 0), (4, 7, 0, 0x5001), (0xFF, 0xFFFFFFFF, 0xFF, 0xFFFF),
                                    (1, 0x01020304, 0x80, 0x8001)])
def test_header_encode_layout_and_round_trip(values):
    h = make(NetHeader, *values)
    assert fields(h) == values
    wire = struct.pack(">BIBH", *values)
    assert h.encode() == h.encode_string() == wire
    for decode in (lambda g: g.decode(wire, len(wire)), lambda g: g.decode_string(wire + b"tail")):
        g = NetHeader()
        assert decode(g) == 8
        assert fields(g) == values


def test_header_defaults_and_empty_decode_change_nothing():
    assert fields(NetHeader()) == (0, 0, 0, 0)
    h = make(NetHeader, 1, 2, 3, 4)
    assert h.decode(b"\x09" * 8, 0) == 0
    assert h.decode_string(b"") == 0
    assert fields(h) == (1, 2, 3, 4)


@pytest.mark.parametrize("call, needed", [
    # Read field by field: the shortfall is that of the field that ran out.
    (lambda h: h.decode(b"\x01\x02", 2), 3),
    (lambda h: h.decode_string(b"\x01\x00\x00\x00\x00\x00\x00"), 1),
    # A len beyond the buffer must not read past its end.
    (lambda h: h.decode(b"\x01\x02\x03", 100), 2),
])
def test_header_short_decode_raises_and_keeps_fields(call, needed):
    h = make(NetHeader, 1, 2, 3, 4)
    raises_exactly(lambda: call(h), f"NetHeader decode: unexpected end of input: needed {needed} more bytes")
    assert fields(h) == (1, 2, 3, 4)


def test_header_clone_is_independent():
    h = make(NetHeader, 4, 9, 1, 0x5001)
    c = h.clone()
    assert type(c) is NetHeader and c is not h and fields(c) == fields(h)
    c.set_seq(10)
    h.set_cmd(1)
    assert (h.get_seq(), c.get_cmd()) == (9, 0x5001)


# ---- encode_raw_frame -----------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, expected", [
    ((0x5001, 7, b""), {}, bytes.fromhex("75F4C465 00000008 04 00000007 00 5001")),
    ((0x5002, 1, b"ab"), {}, frame(0x5002, 1, b"ab")),
    ((1, 2, b"x", 9, 3), {}, frame(1, 2, b"x", 9, 3)),
    ((), dict(cmd=0xFFFF, seq=0xFFFFFFFF, body=b"\0" * 300, flag=0xFF),
     frame(0xFFFF, 0xFFFFFFFF, b"\0" * 300, flag=0xFF)),
    ((5, 6), dict(body=b"zz", version=0), frame(5, 6, b"zz", 0)),
])
def test_encode_raw_frame_fields_defaults_and_keywords(args, kwargs, expected):
    assert encode_raw_frame(*args, **kwargs) == expected


# ---- NetPackage -------------------------------------------------------------------

def test_package_encode_raw_and_decode_raw():
    p = make(NetPackage, 0x5002, 1, 999, b"ab")  # length is an output of decode, not an encode input
    raw = p.encode_raw()
    assert raw == frame(0x5002, 1, b"ab") and raw.endswith(bytes.fromhex("50026162"))
    assert struct.unpack_from(">I", raw, 4)[0] == 10
    q = make(NetPackage, 3, 4, 5, b"old")
    for cut in range(len(raw)):
        assert q.decode_raw(raw[:cut]) == 0
        assert fields(q) == (3, 4, 5, b"old")
    assert q.decode_raw(raw + b"next frame") == 18
    assert fields(q) == (0x5002, 1, 10, b"ab")
    assert NetPackage().decode_raw(frame(1, 2, b"v", version=9, flag=7)) == 17  # version and flag not checked


@pytest.mark.parametrize("data, message", [
    (frame(1, 1, b"", magic=0x75F4C466), "bad magic 0x75f4c466 (expected 0x75f4c465)"),
    (b"\0" * 8, "bad magic 0x00000000 (expected 0x75f4c465)"),
    (frame(1, 1, b"", total_len=7), "total_len 7 is smaller than header length (8)"),
    (frame(1, 1, b"", total_len=0)[:8], "total_len 0 is smaller than header length (8)"),
])
def test_package_decode_raw_frame_errors_keep_fields(data, message):
    p = make(NetPackage, 3, 4, 5, b"old")
    raises_exactly(lambda: p.decode_raw(data), "NetPackage frame: " + message)
    assert fields(p) == (3, 4, 5, b"old")


@pytest.mark.parametrize("content", [b"", b"ab", bytes(range(256)) * 40, b"\0" * (1 << 20)],
                         ids=["empty", "two", "10KiB", "1MiB-zeros"])
def test_package_snappy_round_trip_and_cross_check(content):
    p = make(NetPackage, 0x5003, 0xFFFFFFFF, 0, content)
    raw = p.encode_raw()
    assert p.encode() == p.encode_string()
    assert bytes(cramjam.snappy.decompress_raw(p.encode_string())) == raw
    for decode in (lambda q: q.decode_string(p.encode_string()), lambda q: q.decode_string(compressed(raw)),
                   lambda q: q.decode(compressed(raw), 123)):
        q = NetPackage()
        assert decode(q) is None
        assert fields(q) == (0x5003, 0xFFFFFFFF, 8 + len(content), content)


@pytest.mark.parametrize("data, message", [
    (b"garbage", "NetPackage snappy decompress: "),
    (b"", "NetPackage snappy decompress: "),
    (compressed(frame(0x5002, 1, b"ab")[:-1]), "NetPackage frame: incomplete body: need 18 bytes, got 17"),
    (compressed(frame(0x5002, 1, b"ab")[:5]), "NetPackage frame: envelope too short (need 8 bytes)"),
    (compressed(frame(1, 1, b"", magic=1)), "NetPackage frame: bad magic 0x00000001 (expected 0x75f4c465)"),
    (compressed(frame(1, 1, b"", total_len=3)), "NetPackage frame: total_len 3 is smaller than header length (8)"),
])
def test_package_decode_string_errors_keep_fields(data, message):
    p = make(NetPackage, 3, 4, 5, b"old")
    for call in (lambda: p.decode_string(data), lambda: p.decode(data, 0)):
        raises_exactly(call, message, prefix_only=True)
        assert fields(p) == (3, 4, 5, b"old")


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out + bytes([n]))


@pytest.mark.parametrize("declared", [0xFFFFFFFF, 1 << 31, 1 << 28])
def test_package_refuses_decompression_bomb_without_allocating(declared):
    # A tiny block whose preamble claims gigabytes: must fail before the output buffer exists.
    bomb = varint(declared) + b"\x00a" + b"\xfe\x01\x00" * 4
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    raises_exactly(lambda: NetPackage().decode_string(bomb), "NetPackage snappy decompress: ", prefix_only=True)
    assert time.perf_counter() - start < 0.2
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak < 64 * 1024  # KiB


# ---- RawFrameReader -------------------------------------------------------------

def random_frames(rng, count):
    out = []
    for _ in range(count):
        body = rng.randbytes(rng.choice([0, 1, 7, 8, 15, 16, 100, 4000]))
        out.append((rng.randrange(0x10000), rng.choice([0, 0xFFFFFFFF, rng.randrange(1 << 32)]),
                    rng.randrange(256), rng.randrange(256), body))
    return out


@pytest.mark.parametrize("seed", range(8))
def test_reader_random_splits_match_one_feed(seed):
    rng = random.Random(seed)
    tuples = random_frames(rng, 700)  # more than one feed keeps on the stack
    stream = b"".join(frame(cmd, seq, body, version, flag) for cmd, seq, version, flag, body in tuples)
    whole = RawFrameReader()
    assert whole.feed(stream) == tuples and whole.pending() == 0

    reader, got, pos = RawFrameReader(), [], 0
    while pos < len(stream):
        step = rng.choice([0, 1, 2, 5, 8, 15, 16, 17, 300, 5000, 20000])
        piece = stream[pos:pos + step]
        pos += len(piece)
        out = reader.feed(piece)
        assert all(type(t) is tuple and type(t[4]) is bytes for t in out)
        got += out
        assert reader.pending() == pos - sum(16 + len(t[4]) for t in got)
    assert got == tuples and reader.pending() == 0


def test_reader_bad_magic_breaks_for_good():
    reader = RawFrameReader()
    assert reader.feed(b"abc") == [] and reader.pending() == 3
    pending = []
    for piece in (b"defgh", b"", encode_raw_frame(1, 1, b"")):
        raises_exactly(lambda: reader.feed(piece), "RawFrameReader: bad magic 0x61626364 (expected 0x75f4c465)")
        pending.append(reader.pending())
    assert pending[1:] == pending[:-1]  # once broken, a feed takes nothing in


@pytest.mark.parametrize("bad, message", [
    (b"\0" * 8, "bad magic 0x00000000 (expected 0x75f4c465)"),
    (frame(1, 1, b"", total_len=2), "total_len 2 is smaller than header length (8)"),
])
@pytest.mark.parametrize("buffered", [False, True])
def test_reader_returns_good_frames_before_the_error(bad, message, buffered):
    good = [encode_raw_frame(1, 2, b"x"), encode_raw_frame(3, 4, b"")]
    reader = RawFrameReader()
    if buffered:  # the cut happens in the reader's own buffer rather than the caller's bytes
        assert reader.feed(good[0][:5]) == []
        stream = good[0][5:] + good[1] + bad
    else:
        stream = good[0] + good[1] + bad
    assert reader.feed(stream) == [(1, 2, 4, 0, b"x"), (3, 4, 4, 0, b"")]
    for _ in range(2):
        raises_exactly(lambda: reader.feed(b""), "RawFrameReader: " + message)


def test_reader_failed_result_loses_no_frame():
    """Each allocation of a three-frame feed fails in turn: the frames cut before
    the failure come out of the next feed, in order, none twice."""
    _testcapi = pytest.importorskip("_testcapi")
    frames = [frame(0x10 + i, i, bytes([i]) * (3 + i)) for i in range(3)]
    expected = [(0x10 + i, i, 4, 0, bytes([i]) * (3 + i)) for i in range(3)]
    failures = 0
    for k in range(1, 200):
        reader = RawFrameReader()
        reader.feed(frames[0][:5])  # the first frame straddles two feeds
        data = frames[0][5:] + frames[1] + frames[2]
        got = []
        _testcapi.set_nomemory(k, k + 1)
        try:
            got = reader.feed(data)
        except MemoryError:
            failures += 1
        finally:
            _testcapi.remove_mem_hooks()
        got = got + reader.feed(b"")
        assert got == expected, k
        assert reader.pending() == 0
        if failures == 0 and k > 20:
            break
    assert failures > 0


def test_package_decode_ignores_any_int_length():
    pkg = NetPackage()
    wire = compressed(frame(7, 1, b"x"))
    for n in (0, -1, 2**63, 2**64 + 5, -(2**100)):
        pkg.decode(wire, n)
        assert pkg.get_content() == b"x"
    with pytest.raises(TypeError):
        pkg.decode(wire, "3")
