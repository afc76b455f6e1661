"""Storage-master client records: KestrinConfig (with load_from_json) and KestrinStructValueKey."""

import collections
import errno
import json
import os

import pytest
from test_rows import OVERFLOW, raises_exactly

import pyostrel
from pyostrel import KestrinConfig, KestrinStructValueKey
from refcounts import extra_references, reference_counts

KEY_DEFAULTS = {"ns": 0, "meta_name": b"", "revision": 0xFFFFFFFF, "granularity": 0, "from_tm": 0, "to_tm": 0,
                "markets": [], "symbols": [], "mask": 0, "wait_io_completion": False}
CONFIG_DEFAULTS = {"log_path": b"", "masters": [], "singularity_alike_markets": []}
Master = collections.namedtuple("Master", "host port")


def state(obj):
    fields = CONFIG_DEFAULTS if isinstance(obj, KestrinConfig) else KEY_DEFAULTS
    return {name: getattr(obj, name) for name in fields}


@pytest.mark.parametrize("cls, defaults", [(KestrinConfig, CONFIG_DEFAULTS), (KestrinStructValueKey, KEY_DEFAULTS)])
def test_defaults_and_no_other_attributes(cls, defaults):
    obj = cls()
    assert state(obj) == defaults
    assert sorted(n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor") == sorted(defaults)
    with pytest.raises(AttributeError):
        obj.unknown = 1
    with pytest.raises(TypeError):
        cls(1)


# Per property: values stored as given (value in, value read back) and refused values (value, error, message).
U16, U32, I16 = (0, 0xFFFF), (0, 0xFFFFFFFF), (-0x8000, 0x7FFF)


def int_cases(low, high):
    good = [(low, low), (high, high), (True, 1)]
    bad = [(high + 1, OverflowError, OVERFLOW), (low - 1, OverflowError, OVERFLOW),
           (1.0, TypeError, "argument 'v': 'float' object cannot be interpreted as an integer"),
           (b"1", TypeError, "argument 'v': 'bytes' object cannot be interpreted as an integer")]
    return good, bad


def text_cases():
    good = [(b"a\xe4\xb8\xad", b"a\xe4\xb8\xad"), (b"", b""), (type("B", (bytes,), {})(b"sub"), b"sub")]
    bad = [("abc", TypeError, "argument 'v': 'str' object cannot be converted to 'bytes'"),
           (b"\xff", Exception, "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"),
           (b"ab\xe4\xb8", Exception, "invalid utf-8: incomplete utf-8 byte sequence from index 2"),
           (None, TypeError, "argument 'v': 'NoneType' object cannot be converted to 'bytes'")]
    return good, bad


def texts_cases():
    good = [([b"SH", b"SZ"], [b"SH", b"SZ"]), ((b"x",), [b"x"]), (pyostrel.StringVector([b"y"]), [b"y"]), ([], [])]
    bad = [("ab", TypeError, "argument 'v': 'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)"),
           ([b"a", "b"], TypeError, "argument 'v': 'str' object cannot be converted to 'bytes'"),
           ([b"a", b"\xff"], Exception, "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"),
           (5, TypeError, "argument 'v': 'int' object cannot be converted to 'Sequence'"),
           ({b"a"}, TypeError, "argument 'v': 'set' object cannot be converted to 'Sequence'")]
    return good, bad


def u64_cases():
    good = [(0, 0), (2**64 - 1, 2**64 - 1), (2**63, 2**63)]
    bad = [(2**64, OverflowError, OVERFLOW), (-1, OverflowError, "can't convert negative int to unsigned"),
           (1.5, TypeError, "argument 'v': 'float' object cannot be interpreted as an integer")]
    return good, bad


MASTERS_GOOD = [([(b"h1", 9000), (b"h2", 0)], [(b"h1", 9000), (b"h2", 0)]),
                (((b"h", 65535),), [(b"h", 65535)]),
                ([Master(b"n", 1)], [(b"n", 1)]),  # a tuple subclass
                ([], [])]
MASTERS_BAD = [
    ([(b"h", 65536)], OverflowError, OVERFLOW), ([(b"h", -1)], OverflowError, OVERFLOW),
    ([(b"h", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([(b"h",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ([[b"h", 1]], TypeError, "argument 'v': 'list' object cannot be converted to 'tuple'"),
    ([("h", 1)], TypeError, "argument 'v': 'str' object cannot be converted to 'bytes'"),
    ([(b"\xff", 1)], Exception, "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"),
    ([(b"h", "1")], TypeError, "argument 'v': 'str' object cannot be interpreted as an integer"),
    ("ab", TypeError, "argument 'v': 'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)"),
    ((b"h", 1), TypeError, "argument 'v': 'bytes' object cannot be converted to 'tuple'"),
]

PROPERTIES = {
    (KestrinConfig, "log_path"): text_cases(),
    (KestrinConfig, "masters"): (MASTERS_GOOD, MASTERS_BAD),
    (KestrinConfig, "singularity_alike_markets"): texts_cases(),
    (KestrinStructValueKey, "ns"): int_cases(*U16),
    (KestrinStructValueKey, "meta_name"): text_cases(),
    (KestrinStructValueKey, "revision"): int_cases(*U32),
    (KestrinStructValueKey, "granularity"): int_cases(*U32),
    (KestrinStructValueKey, "from_tm"): u64_cases(),
    (KestrinStructValueKey, "to_tm"): u64_cases(),
    (KestrinStructValueKey, "markets"): texts_cases(),
    (KestrinStructValueKey, "symbols"): texts_cases(),
    (KestrinStructValueKey, "mask"): int_cases(*I16),
    (KestrinStructValueKey, "wait_io_completion"): (
        [(True, True), (False, False)],
        [(1, TypeError, "argument 'v': 'int' object cannot be converted to 'bool'"),
         (None, TypeError, "argument 'v': 'NoneType' object cannot be converted to 'bool'")]),
}


@pytest.mark.parametrize("cls, name", list(PROPERTIES), ids=[n for _, n in PROPERTIES])
def test_property_values_and_refusals(cls, name):
    good, bad = PROPERTIES[(cls, name)]
    obj = cls()
    for given, read in good:
        setattr(obj, name, given)
        value = getattr(obj, name)
        assert value == read and type(value) is type(read)
    others = {k: v for k, v in state(obj).items() if k != name}
    kept = getattr(obj, name)
    for given, error, message in bad:
        with pytest.raises(error) as info:
            setattr(obj, name, given)
        assert type(info.value) is error and str(info.value) == message, given
        if error is TypeError:
            assert type(info.value.__cause__) is TypeError and message.endswith(str(info.value.__cause__))
        assert getattr(obj, name) == kept  # a refused value changes nothing
    assert {k: v for k, v in state(obj).items() if k != name} == others


@pytest.mark.parametrize("cls, name", list(PROPERTIES), ids=[n for _, n in PROPERTIES])
def test_deleting_a_property_is_refused(cls, name):
    obj = cls()
    before = getattr(obj, name)
    with pytest.raises(AttributeError) as info:
        delattr(obj, name)
    assert str(info.value) == "can't delete attribute"
    assert getattr(obj, name) == before


def test_reads_are_copies():
    c = KestrinConfig()
    c.masters = [(b"h", 1)]
    c.singularity_alike_markets = [b"SH"]
    got = c.masters
    got.append((b"x", 2))
    c.singularity_alike_markets.append(b"SZ")
    assert c.masters == [(b"h", 1)] and c.singularity_alike_markets == [b"SH"]
    assert c.masters is not c.masters
    k = KestrinStructValueKey()
    src = [b"a"]
    k.symbols = src
    src.append(b"b")
    assert k.symbols == [b"a"]


# ---- load_from_json ---------------------------------------------------------------------------

def write(tmp_path, content, name="config.json"):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else json.dumps(content).encode())
    return os.fsencode(path)


def loaded_config(**fields):
    c = KestrinConfig()
    for k, v in fields.items():
        setattr(c, k, v)
    return c


PREVIOUS = {"log_path": b"/var/log/old", "masters": [(b"old", 1)], "singularity_alike_markets": [b"OLD"]}


def test_load_from_json_copies_the_three_keys(tmp_path):
    c = KestrinConfig()
    path = write(tmp_path, {"log_path": "/var/log/q\u00e9", "masters": [["10.0.0.1", 9000]],
                            "singularity_markets": ["SH"], "other": {"x": 1}})
    assert c.load_from_json(path) is None
    assert state(c) == {"log_path": "/var/log/q\u00e9".encode(), "masters": [(b"10.0.0.1", 9000)],
                        "singularity_alike_markets": [b"SH"]}


@pytest.mark.parametrize("content, changed", [
    ({}, {}),
    ({"log_path": 5, "masters": {"a": 1}, "singularity_markets": "SH"}, {}),  # mistyped keys are skipped
    ({"singularity_alike_markets": ["X"], "Masters": []}, {}),  # only the file's own key names count
    ({"masters": []}, {"masters": []}),
    ({"masters": [["a", 1, "extra", None], ["b", 65535]]}, {"masters": [(b"a", 1), (b"b", 65535)]}),
    ({"singularity_markets": []}, {"singularity_alike_markets": []}),
    ({"log_path": ""}, {"log_path": b""}),
    ({"log_path": "a", "log_path": "b"}, {"log_path": b"b"}),
    ([1, 2], {}), ("text", {}), (None, {}),
    (b"not json at all", {}), (b"", {}), (b'{"log_path": "x"', {}), (b'{"log_path": "x"} trailing', {}),
])
def test_load_from_json_changes_only_what_the_file_holds(tmp_path, content, changed):
    c = loaded_config(**PREVIOUS)
    assert c.load_from_json(write(tmp_path, content)) is None
    assert state(c) == {**PREVIOUS, **changed}


# An entry the loader refuses, after keys it would otherwise have taken.
REFUSED = [
    ({"a": 1}, "load_from_json: master entry not an array"),
    ("h:1", "load_from_json: master entry not an array"),
    ([1, 9000], "load_from_json: master[0] not a string"),
    ([], "load_from_json: master[0] not a string"),
    (["h"], "load_from_json: master[1] not a uint"),
    (["h", -1], "load_from_json: master[1] not a uint"),
    (["h", 1.5], "load_from_json: master[1] not a uint"),
    (["h", 9000.0], "load_from_json: master[1] not a uint"),
    (["h", "9000"], "load_from_json: master[1] not a uint"),
    (["h", None], "load_from_json: master[1] not a uint"),
    (["h", 65536], "load_from_json: master entry 1: port 65536 above 65535"),
    (["h", 2**64 - 1], "load_from_json: master entry 1: port 18446744073709551615 above 65535"),
]


@pytest.mark.parametrize("entry, message", REFUSED, ids=[m for _, m in REFUSED])
def test_a_refused_master_entry_changes_nothing(tmp_path, entry, message):
    c = loaded_config(**PREVIOUS)
    path = write(tmp_path, {"log_path": "/new", "singularity_markets": ["NEW"], "masters": [["ok", 1], entry]})
    raises_exactly(lambda: c.load_from_json(path), message)
    assert state(c) == PREVIOUS


@pytest.mark.parametrize("markets, message", [
    (["SH", 1], "load_from_json: singularity_markets entry 1 not a string"),
    ([None], "load_from_json: singularity_markets entry 0 not a string"),
    ([["SH"]], "load_from_json: singularity_markets entry 0 not a string"),
])
def test_a_refused_singularity_market_changes_nothing(tmp_path, markets, message):
    c = loaded_config(**PREVIOUS)
    path = write(tmp_path, {"log_path": "/new", "masters": [["new", 2]], "singularity_markets": markets})
    raises_exactly(lambda: c.load_from_json(path), message)
    assert state(c) == PREVIOUS


def test_read_failures(tmp_path):
    c = loaded_config(**PREVIOUS)
    missing = os.fsencode(tmp_path / "missing.json")
    raises_exactly(lambda: c.load_from_json(missing),
                   "load_from_json read " + os.fsdecode(missing) + ": " + os.strerror(errno.ENOENT))
    raises_exactly(lambda: c.load_from_json(os.fsencode(tmp_path)),
                   "load_from_json read " + str(tmp_path) + ": " + os.strerror(errno.EISDIR))
    bad_text = write(tmp_path, b'{"log_path": "\xff"}')
    raises_exactly(lambda: c.load_from_json(bad_text),
                   "load_from_json read " + os.fsdecode(bad_text) + ": stream did not contain valid UTF-8")
    raises_exactly(lambda: c.load_from_json(b"a\0b"), "load_from_json read a\ufffdb: path contains a NUL byte")
    raises_exactly(lambda: c.load_from_json(b""), "load_from_json read : " + os.strerror(errno.ENOENT))
    # A path that is not UTF-8 still opens; a message shows it with U+FFFD.
    odd = tmp_path / os.fsdecode(b"\xffodd.json")
    odd.write_bytes(b'{"log_path": "odd"}')
    c.load_from_json(os.fsencode(odd))
    assert c.log_path == b"odd"
    raises_exactly(lambda: c.load_from_json(os.fsencode(tmp_path) + b"/\xffnone"),
                   "load_from_json read " + str(tmp_path) + "/\ufffdnone: " + os.strerror(errno.ENOENT))
    assert {k: v for k, v in state(c).items() if k != "log_path"} == {k: v for k, v in PREVIOUS.items()
                                                                        if k != "log_path"}


def test_load_from_json_argument():
    c = KestrinConfig()
    with pytest.raises(TypeError) as info:
        c.load_from_json("/tmp/x.json")
    assert str(info.value) == "argument 'file_path': 'str' object cannot be converted to 'bytes'"
    with pytest.raises(TypeError, match="missing"):
        c.load_from_json()


def test_reference_counts_stay_put(tmp_path):
    good = write(tmp_path, {"log_path": "/l", "masters": [["h", 1]], "singularity_markets": ["SH"]})
    bad = write(tmp_path, {"masters": [["h", 70000]]}, "bad.json")
    c, k = KestrinConfig(), KestrinStructValueKey()
    masters, texts, host, big = [(b"h", 1), (b"g", 2)], [b"a", b"b"], b"h" * 40, 2**70
    watched = (good, bad, masters, texts, host, big, *masters, *texts)
    before = reference_counts(watched)
    for _ in range(300):
        c.load_from_json(good)
        c.masters, c.singularity_alike_markets, c.log_path = masters, texts, host
        k.markets, k.symbols, k.meta_name = texts, texts, host
        c.masters, c.log_path, k.markets, k.from_tm  # noqa: B018 (reads)
        for fail in (lambda: c.load_from_json(bad), lambda: setattr(c, "masters", [(host, big)]),
                     lambda: setattr(k, "from_tm", big), lambda: setattr(k, "markets", texts + ["s"])):
            with pytest.raises(Exception):
                fail()
    assert reference_counts(watched) == before
    assert extra_references(lambda: c.masters, items=list) == (0, 0)
