"""docs/protocol.md against the module: every class table's accessors, wire kinds and defaults, and the
bytes of every body, packed here with struct from the documented Wire column in the documented order."""

import inspect
import itertools
import re
import struct
from pathlib import Path

import pytest

import pyostrel

DOC = (Path(__file__).resolve().parents[2] / "docs" / "protocol.md").read_text()
HEADER = "| # | Field | Wire | Python | Default | Access |"


def parse(doc):
    """{class: (command line, [(number, field, wire, python, default, [accessors])], [operations])}"""
    out = {}
    for section in re.split(r"^### ", doc, flags=re.M)[1:]:
        name, text = section.split("\n", 1)
        text = text.split("\n## ")[0]
        lines = text.splitlines()
        at = lines.index(HEADER)
        rows = []
        for line in itertools.takewhile(lambda s: s.startswith("|"), lines[at + 2:]):
            num, field, wire, python, default, access = (c.strip() for c in line.strip("|").split("|"))
            rows.append((num, field.strip("`"), wire.strip("`"), python, default, re.findall(r"`(\w+)`", access)))
        prose = "\n".join(lines[at + 2 + len(rows):])
        out[name] = (re.search(r"^Command: (.*)$", text, re.M).group(1), rows, re.findall(r"`(\w+)\(", prose))
    return out


CLASSES = parse(DOC)
# Their trailer is read only when error_code is 0, so their decoded samples keep error_code 0.
TRAILER_ON_SUCCESS = {"ATFetchSVRes", "ATUniverseSeedsRes"}
# Accessors written by hand for a field without generated ones: their docstrings state no wire kind, and they
# take or return other shapes than the field's (a filter list that must be empty, (market, symbol) pairs).
HANDWRITTEN = {("ATSubscribeReq", "set_filters"), ("NetResponse", "get_symbol_data")}
# Bodies whose bytes cannot be built from setters alone, with the reason.
ENCODE_SKIP = {
    "TCDataCommunication": "encode_string(compressor) always writes a Snappy block of the stored rows",
}
INT = re.compile(r"(little-endian )?([iu])(8|16|32|64)(?: in (\d+)\.\.(\d+))?")
FMT = {"8": "b", "16": "h", "32": "i", "64": "q"}


def wire_rows(name):
    return [r for r in CLASSES[name][1] if r[0].isdigit()]


def int_format(m):
    fmt = FMT[m[3]]
    return ("<" if m[1] else ">") + (fmt.upper() if m[2] == "u" else fmt)


def text(b):
    return struct.pack(">I", len(b)) + b


def zero(kind):
    """The bytes of a field left at its default."""
    if m := INT.fullmatch(kind):
        return struct.pack(int_format(m), 0)
    if kind in ("bool", "f64") or kind.startswith(("union", "optional")):
        return bytes(8 if kind == "f64" else 1)
    assert kind.startswith(("string", "bytes", "vec<", "map<", "rawvec<", "u32 count")), kind
    return bytes(4)


def make(kind, counter, alias=None):
    """(a distinct sample value for the setter, its expected bytes) from the wire notation alone."""
    n = next(counter)
    if m := INT.fullmatch(kind):
        bits = int(m[3])
        if m[4]:
            v = int(m[4]) + n % (int(m[5]) - int(m[4]) + 1)
        else:  # past the next narrower width, and past the signed range for unsigned kinds
            v = -(1 << (bits - 2)) - n if m[2] == "i" else (1 << (bits - 1)) + n % 100
        return v, struct.pack(int_format(m), v)
    if kind == "f64":
        return n + 0.25, struct.pack(">d", n + 0.25)
    if kind == "bool":
        return n % 2 == 1, bytes([n % 2])
    if kind in ("string", "bytes"):
        v = b"t%d" % n if kind == "string" else b"\xff\x00%d" % n
        return v, text(v)
    if m := re.fullmatch(r"(raw)?vec<(.+)>", kind):
        items = [make(m[2], counter) for _ in range(2)]
        values = [v for v, _ in items]
        packed = struct.pack("<" + int_format(INT.fullmatch(m[2]))[1] * 2, *values) if m[1] else \
            b"".join(b for _, b in items)
        return (getattr(pyostrel, alias)(values) if alias else values), struct.pack(">I", 2) + packed
    if m := re.fullmatch(r"map<string, (.+)>", kind):
        entries = [(b"k%06d" % next(counter), make(m[1], counter)) for _ in range(2)]
        value = dict((k, v) for k, (v, _) in reversed(entries))  # inserted out of key order
        packed = b"".join(text(k) + b for k, (_, b) in sorted(entries))
        return (getattr(pyostrel, alias)(value) if alias else value), struct.pack(">I", 2) + packed
    if m := re.fullmatch(r"optional<(\w+)>", kind):
        v, b = make(m[1], counter)
        return v, b"\x01" + b
    assert kind in CLASSES, kind  # a nested record, filled through its own table
    record = getattr(pyostrel, kind)()
    return record, fill(record, kind, counter)


def alias_of(python):
    m = re.search(r"\((\w+(?:Map|Vector))\)", python)
    return m and m[1]


def fill(obj, name, counter):
    """Sets every field that has a set_<field> accessor; returns the body the documented table predicts."""
    body = b""
    for num, field, wire, python, _, access in CLASSES[name][1]:
        setter = "set_" + field if (name, "set_" + field) not in HANDWRITTEN else None
        if not num.isdigit():  # on the record only
            if setter in access:
                getattr(obj, setter)(make(re.match(r"— \((\w+)", wire)[1], counter)[0])
            continue
        if setter in access:
            value, packed = make(wire, counter, alias_of(python))
            getattr(obj, setter)(value)
        else:
            packed = zero(wire)
        body += packed
    return body


def has(name, method):
    return hasattr(getattr(pyostrel, name), method)


def test_commands_are_the_exported_constants():
    named = re.findall(r"`((?:net_)?cmd_\w+)`(?: \(| \| )(0x[0-9A-F]+)", DOC)
    assert len(named) > 40
    assert [(n, getattr(pyostrel, n)) for n, _ in named] == [(n, int(v, 16)) for n, v in named]


@pytest.mark.parametrize("name", CLASSES)
def test_table_matches_the_class(name):
    cls = getattr(pyostrel, name)
    _, rows, ops = CLASSES[name]
    assert [r[0] for r in rows if r[0].isdigit()] == [str(i) for i in range(1, len(wire_rows(name)) + 1)]
    documented = {a for r in rows for a in r[5]} | set(ops)
    methods = {m for m, v in vars(cls).items() if not m.startswith("_") and callable(v)}
    assert methods == documented
    for num, field, wire, _, default, access in rows:
        for accessor in access:
            if not num.isdigit() or accessor not in ("get_" + field, "set_" + field):
                continue
            doc = getattr(cls, accessor).__doc__.splitlines()[-1]
            m = re.fullmatch(r"(?:Returns|Sets) the (.+) field (\w+)\.", doc)
            if m is None:
                assert (name, accessor) in HANDWRITTEN, doc
                continue
            kind = re.sub(r"\b[A-Z]\w*", "record", re.sub(r"optional<(\w+)>", r"optional \1", wire))
            assert (m[1], m[2]) == (kind, field)
        if "get_" + field in access:
            value = getattr(cls(), "get_" + field)()
            expected = {"0": 0, "1": 1, "0.0": 0.0, "false": False, "true": True}.get(default)
            if default == "empty":
                expected = b"" if wire in ("string", "bytes") else []
            assert (type(value), value) == (type(expected), expected), field


@pytest.mark.parametrize("name", [n for n in CLASSES if (has(n, "encode") or has(n, "encode_string"))
                                  and n not in ENCODE_SKIP])
def test_encode_is_the_documented_layout(name):
    obj = getattr(pyostrel, name)()
    expected = fill(obj, name, itertools.count(1))
    assert (obj.encode() if has(name, "encode") else obj.encode_string()) == expected


@pytest.mark.parametrize("name", [n for n in CLASSES if has(n, "decode") or has(n, "decode_string")])
def test_decode_reads_the_documented_layout(name):
    counter, body, expected = itertools.count(1), b"", {}
    for _, field, wire, *_, access in wire_rows(name):
        if "get_" + field not in access or (name, "get_" + field) in HANDWRITTEN:
            body += zero(wire)
        elif field == "error_code" and name in TRAILER_ON_SUCCESS:
            expected[field], body = 0, body + zero(wire)
        else:
            expected[field], packed = make(wire, counter)
            body += packed
    obj = getattr(pyostrel, name)()
    decode = getattr(obj, "decode" if has(name, "decode") else "decode_string")
    extra = [pyostrel.IndexSerializer()] if "compressor" in inspect.signature(decode).parameters else []
    decode(body, *extra)
    assert {f: getattr(obj, "get_" + f)() for f in expected} == expected


def test_every_message_class_is_documented():
    generated = re.compile(r"(?:Returns|Sets) the .+ field \w+\.$")
    messages = {n for n, t in vars(pyostrel).items() if isinstance(t, type)
                and any(generated.search(getattr(v, "__doc__", None) or "") for v in vars(t).values())}
    assert len(messages) > 50 and messages == set(CLASSES) and set(ENCODE_SKIP) <= set(CLASSES)
