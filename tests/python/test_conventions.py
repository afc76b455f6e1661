"""Conversion and error conventions at the Python boundary, through the frame classes."""

import ctypes
import gc
import operator
import sys

import pytest

from pyostrel import NetHeader, NetPackage, RawFrameReader, encode_raw_frame
from refcounts import extra_references, reference_counts

OVERFLOW = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize("field, top", [("version", 0xFF), ("flag", 0xFF), ("cmd", 0xFFFF), ("seq", 0xFFFFFFFF)])
def test_integer_bounds(field, top):
    h = NetHeader()
    get, set_ = getattr(h, "get_" + field), getattr(h, "set_" + field)
    # Ints on both sides of the interpreter's one-digit limit (2**30) convert alike.
    for ok in (0, top, Index(top), True, *(v for v in (2**30 - 1, 2**30) if v <= top)):
        set_(ok)
        assert get() == operator.index(ok) and type(get()) is int
    set_(7)
    for bad in (top + 1, -1, -(2**30), 2**63, 2**64, -(2**63) - 1, 2**200, Index(top + 1)):
        with pytest.raises(OverflowError) as info:
            set_(bad)
        assert type(info.value) is OverflowError and str(info.value) == OVERFLOW
        assert get() == 7  # a failed conversion leaves the field alone


@pytest.mark.parametrize("bad", [1.5, "1", b"1", None, 1j, Index("1"), NetHeader()])
def test_non_integer_is_type_error_with_cause(bad):
    with pytest.raises(TypeError) as expected:
        operator.index(bad)
    h = NetHeader()
    h.set_seq(7)
    with pytest.raises(TypeError) as info:
        h.set_seq(bad)
    assert str(info.value) == "argument 'v': " + str(expected.value)
    assert type(info.value.__cause__) is TypeError and str(info.value.__cause__) == str(expected.value)
    assert h.get_seq() == 7


def test_non_type_errors_from_index_pass_through_unchanged():
    with pytest.raises(ValueError) as info:
        NetHeader().set_cmd(Index(ValueError("mine")))
    assert str(info.value) == "mine" and info.value.__cause__ is None


@pytest.mark.parametrize("call, name", [
    (lambda v: NetPackage().set_content(v), "v"),
    (lambda v: NetPackage().decode_string(v), "buf"),
    (lambda v: NetPackage().decode_raw(v), "buf"),
    (lambda v: NetHeader().decode(v, 8), "buf"),
    (lambda v: RawFrameReader().feed(v), "data"),
    (lambda v: encode_raw_frame(1, 2, v), "body"),
])
@pytest.mark.parametrize("bad, type_name", [
    ("ab", "str"), (bytearray(b"ab"), "bytearray"), (memoryview(b"ab"), "memoryview"), (None, "NoneType"),
    (NetHeader(), "NetHeader"),
])
def test_bytes_argument_of_wrong_type(call, name, bad, type_name):
    with pytest.raises(TypeError) as info:
        call(bad)
    assert str(info.value) == f"argument '{name}': '{type_name}' object cannot be converted to 'bytes'"


def test_bytes_subclass_accepted_and_blobs_are_not_utf8_checked():
    p = NetPackage()
    child = type("BytesChild", (bytes,), {})
    p.set_content(child(b"\xff\xfe"))
    assert p.get_content() == b"\xff\xfe" and type(p.get_content()) is bytes
    assert encode_raw_frame(1, 2, child(b"\xff")).endswith(b"\xff")
    p.set_content(b"keep")
    with pytest.raises(TypeError):
        p.set_content("str")
    assert p.get_content() == b"keep"


@pytest.mark.parametrize("call, message", [
    (lambda: NetHeader().set_seq(), "NetHeader.set_seq() missing 1 required positional argument: 'v'"),
    (lambda: NetHeader().decode(), "NetHeader.decode() missing 2 required positional arguments: 'buf' and 'len'"),
    (lambda: encode_raw_frame(1), "encode_raw_frame() missing 2 required positional arguments: 'seq' and 'body'"),
    (lambda: NetHeader().set_seq(w=1), "NetHeader.set_seq() got an unexpected keyword argument 'w'"),
    (lambda: NetHeader().set_seq(1, v=2), "NetHeader.set_seq() got multiple values for argument 'v'"),
    (lambda: encode_raw_frame(1, 2, b"", 4, cmd=1), "encode_raw_frame() got multiple values for argument 'cmd'"),
    (lambda: NetHeader().set_seq(1, 2), "NetHeader.set_seq() takes 1 positional argument but 2 were given"),
    (lambda: NetHeader().get_seq(1), "NetHeader.get_seq() takes no arguments (1 given)"),
    (lambda: encode_raw_frame(1, 2, b"", 4, 0, 0),
     "encode_raw_frame() takes from 3 to 5 positional arguments but 6 were given"),
    # Parsing fails before any conversion runs.
    (lambda: encode_raw_frame("x", 2), "encode_raw_frame() missing 1 required positional argument: 'body'"),
])
def test_argument_parsing_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_and_first_failing_argument_named():
    h = NetHeader()
    h.set_seq(v=5)
    assert h.get_seq() == 5
    assert h.decode(len=8, buf=b"\x04\0\0\0\x07\0\x50\x01") == 8 and h.get_cmd() == 0x5001
    assert NetPackage().decode_raw(buf=encode_raw_frame(flag=0, body=b"", seq=1, cmd=2)) == 16
    with pytest.raises(TypeError, match=r"^argument 'seq': "):
        encode_raw_frame(1, 2.0, "also bad")
    with pytest.raises(TypeError, match=r"^argument 'flag': "):
        encode_raw_frame(1, 2, b"", flag="0")
    with pytest.raises(TypeError, match=r"^argument '_len': "):
        NetPackage().decode(b"", "x")


@pytest.mark.parametrize("cls", [NetHeader, NetPackage, RawFrameReader])
def test_constructor_and_attribute_rules(cls):
    for args, kwargs in (((1,), {}), ((), {"x": 1})):
        with pytest.raises(TypeError, match="takes no arguments"):
            cls(*args, **kwargs)
    obj = cls()
    for name in ("anything", "feed" if cls is RawFrameReader else "get_seq"):  # no shadowing a method either
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    with pytest.raises(AttributeError):
        obj.__dict__


# ---- borrow flags --------------------------------------------------------------

EMPTY_FRAME = NetPackage().encode()


@pytest.mark.parametrize("make, call, reenter, message", [
    (NetHeader, lambda o, i: o.set_seq(i), lambda o: o.get_seq(), "Already mutably borrowed"),
    (NetHeader, lambda o, i: o.set_version(i), lambda o: o.clone(), "Already mutably borrowed"),
    (NetHeader, lambda o, i: o.decode(b"\4\0\0\0\5\0\0\6", i), lambda o: o.encode(), "Already mutably borrowed"),
    (NetHeader, lambda o, i: o.set_seq(i), lambda o: o.set_cmd(3), "Already borrowed"),
    (NetHeader, lambda o, i: o.set_flag(i), lambda o: o.decode(b"\0" * 8, 8), "Already borrowed"),
    (NetPackage, lambda o, i: o.decode(EMPTY_FRAME, i), lambda o: o.get_content(), "Already mutably borrowed"),
    (NetPackage, lambda o, i: o.set_cmd(i), lambda o: o.set_content(b""), "Already borrowed"),
])
def test_reentrant_use_while_converting_an_argument(make, call, reenter, message):
    obj, seen = make(), []

    class Reenters:
        def __index__(self):
            with pytest.raises(RuntimeError) as info:
                reenter(obj)
            seen.append(str(info.value))
            make().encode()  # other instances are unaffected
            return 8

    call(obj, Reenters())
    assert seen == [message]

    class Raises:
        def __index__(self):
            reenter(obj)

    with pytest.raises(RuntimeError, match=f"^{message}$"):
        call(obj, Raises())
    # The flag is released on every path: the instance works normally afterwards.
    reenter(obj)
    call(obj, 8)


# ---- reference counts and leaks --------------------------------------------------

def test_reference_counts_of_arguments_and_results():
    body, big, bad, h, p = b"x" * 100, 0xFFFFFFFF, 1.5, NetHeader(), NetPackage()
    frame = encode_raw_frame(1, 2, body)
    watched = (body, big, bad, frame, NetHeader)  # instances hold their heap type: dealloc must drop it
    before = reference_counts(watched)
    for _ in range(1000):
        h.clone()
        h.set_seq(big)
        p.set_content(body)
        encode_raw_frame(1, big, body)
        RawFrameReader().feed(frame)
        p.decode_raw(frame)
        try:
            h.set_seq(bad)
        except TypeError:
            pass
    assert reference_counts(watched) == before
    for make in (h.get_seq, p.get_content, h.encode, lambda: encode_raw_frame(1, 2, body), h.clone):
        assert extra_references(make) == (0, 0)
    fed = extra_references(lambda: RawFrameReader().feed(frame)[0], items=lambda t: [x for x in t if type(x) is bytes])
    assert fed == (0, 0)


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks".split()]


def native_heap_in_use():
    """Bytes the C allocator has handed out: native leaks are invisible to the interpreter's counters."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return 0
    mallinfo2.restype = MallInfo2
    return mallinfo2().uordblks


def workload(n):
    h, p, good = NetHeader(), NetPackage(), NetPackage()
    good.set_content(b"payload" * 20)
    packed, raw = good.encode_string(), good.encode_raw()
    for i in range(n):
        h.set_seq(i)
        h.decode(h.encode(), 8)
        p.decode_string(packed)
        p.decode_raw(raw)
        reader = RawFrameReader()
        reader.feed(raw + raw[:20])
        reader.feed(raw[20:] + raw + b"\0" * 16)  # frames returned, the error deferred
        for call in (lambda: reader.feed(b""), lambda: RawFrameReader().feed(b"\0" * 8),
                     lambda: h.decode(b"\1", 1), lambda: p.decode_string(b"junk"),
                     lambda: p.decode_string(packed[:-3]), lambda: p.decode_raw(b"\0" * 16),
                     lambda: h.set_seq("x"), lambda: h.set_seq(-1), lambda: h.set_seq()):
            try:
                call()
            except Exception:
                pass


def test_no_growth_over_many_calls_including_failures():
    workload(2000)  # warm caches and free lists
    gc.collect()
    blocks, heap = sys.getallocatedblocks(), native_heap_in_use()
    workload(10000)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 200
    assert native_heap_in_use() - heap < 64 * 1024
