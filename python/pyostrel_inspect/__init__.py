"""pyostrel-inspect: ring frames of a pcap/pcapng capture (or of a raw byte stream of one direction), one JSON
object per line.

Bodies are decoded by the module's own classes (their decode, then every getter) where a class has a decoder,
and otherwise from the generated layout table (layouts.py, the same table the Wireshark dissector is made from).
Rows decode through the catalog that the connection's data-definition reply delivered, or through --schema.
Nothing in a capture makes it raise: a body that does not decode is printed with the error text and its bytes.
"""

import argparse
import collections
import inspect
import json
import os
import re
import struct
import sys

import pyostrel

try:  # the same compact JSON, several times faster, where orjson is installed
    import orjson

    def _dumps(rec):
        return orjson.dumps(rec).decode()
except ImportError:
    _dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode

from .layouts import COMMANDS, LAYOUTS, MAGIC, TRAILERS

__all__ = ["Inspector", "read_capture", "main"]

MAGIC_BYTES = struct.pack(">I", MAGIC)
HEAD = struct.Struct(">IIBIBH")  # magic, total_len, version, seq, flag, cmd
MASK = 0xFFFFFFFF
# Out-of-order bytes held per direction before the missing ones are declared lost.
MAX_PENDING = 16 << 20
SYN, ACK = 0x02, 0x10
DATADEF = pyostrel.net_cmd_vask_route_datadef


# ----- captures ------------------------------------------------------------------------------------------------------

class CaptureError(Exception):
    pass


def _pcap(f, head):
    endian = {b"\xd4\xc3\xb2\xa1": "<", b"\xa1\xb2\xc3\xd4": ">", b"\x4d\x3c\xb2\xa1": "<",
              b"\xa1\xb2\x3c\x4d": ">"}[head[:4]]
    scale = 1e-9 if head[:4] in (b"\x4d\x3c\xb2\xa1", b"\xa1\xb2\x3c\x4d") else 1e-6
    rest = f.read(20)
    if len(rest) < 20:
        raise CaptureError("pcap header cut short")
    linktype = struct.unpack(endian + "I", rest[16:20])[0] & 0x0FFFFFFF
    rec = struct.Struct(endian + "IIII")
    while True:
        h = f.read(16)
        if len(h) < 16:
            return
        sec, frac, incl, _ = rec.unpack(h)
        data = f.read(incl)
        if len(data) < incl:
            return
        yield sec + frac * scale, linktype, data


def _pcapng(f, head):
    """Section header, interface descriptions and packet blocks; other blocks are passed over."""
    buf = head + f.read()
    pos, endian, links = 0, "<", []
    while pos + 12 <= len(buf):
        btype = struct.unpack_from(endian + "I", buf, pos)[0]
        if btype == 0x0A0D0D0A:
            endian = "<" if buf[pos + 8:pos + 12] == b"\x4d\x3c\x2b\x1a" else ">"
            links = []
        blen = struct.unpack_from(endian + "I", buf, pos + 4)[0]
        if blen < 12 or pos + blen > len(buf):
            return
        body = buf[pos + 8:pos + blen - 4]
        if btype == 1 and len(body) >= 8:  # interface: link type and timestamp resolution
            linktype = struct.unpack_from(endian + "H", body, 0)[0]
            tsres, opt = 1e-6, 8
            while opt + 4 <= len(body):
                code, olen = struct.unpack_from(endian + "HH", body, opt)
                if code == 0:
                    break
                if code == 9 and olen >= 1 and opt + 4 < len(body):
                    v = body[opt + 4]
                    tsres = 2.0 ** -(v & 0x7F) if v & 0x80 else 10.0 ** -v
                opt += 4 + (olen + 3) // 4 * 4
            links.append((linktype, tsres))
        elif btype == 6 and len(body) >= 20:  # enhanced packet
            iface, hi, lo, incl = struct.unpack_from(endian + "IIII", body, 0)
            if iface < len(links):
                linktype, tsres = links[iface]
                yield ((hi << 32) | lo) * tsres, linktype, body[20:20 + incl]
        elif btype == 3 and len(body) >= 4 and links:  # simple packet: no timestamp
            yield 0.0, links[0][0], body[4:]
        pos += blen


def read_capture(f):
    """(time, link type, bytes) of every packet of a pcap or pcapng file object."""
    head = f.read(4)
    if head == b"\x0a\x0d\x0d\x0a":
        return _pcapng(f, head)
    if head in (b"\xd4\xc3\xb2\xa1", b"\xa1\xb2\xc3\xd4", b"\x4d\x3c\xb2\xa1", b"\xa1\xb2\x3c\x4d"):
        return _pcap(f, head)
    raise CaptureError("not a pcap or pcapng file (use --raw for a byte stream)")


def _ip(linktype, data):
    """The IP packet inside a link-layer frame, or None."""
    if linktype == 1:  # Ethernet, with any VLAN tags
        off = 12
        while off + 2 <= len(data):
            etype = struct.unpack_from(">H", data, off)[0]
            if etype in (0x8100, 0x88A8):
                off += 4
                continue
            return data[off + 2:] if etype in (0x0800, 0x86DD) else None
        return None
    if linktype in (0, 108):  # BSD loopback: a 4-byte family
        return data[4:]
    if linktype == 113:  # Linux cooked
        return data[16:]
    if linktype == 276:  # Linux cooked v2
        return data[20:]
    if linktype in (101, 228, 229, 12, 14):  # raw IP
        return data
    return None


_V4, _ENDPOINTS = {}, {}


def _v4(raw):
    text = _V4[raw] = ".".join(map(str, raw))
    if len(_V4) > 65536:
        _V4.clear()
    return text


def _tcp(ip):
    """(src, dst, seq, flags, payload) of a TCP segment, or None."""
    if len(ip) < 20:
        return None
    version = ip[0] >> 4
    if version == 4:
        ihl = (ip[0] & 0x0F) * 4
        total = struct.unpack_from(">H", ip, 2)[0]
        if ip[9] != 6 or ihl < 20 or struct.unpack_from(">H", ip, 6)[0] & 0x3FFF:  # not TCP, or a fragment
            return None
        src, dst = _V4.get(ip[12:16]) or _v4(ip[12:16]), _V4.get(ip[16:20]) or _v4(ip[16:20])
        seg = ip[ihl:total] if total >= ihl else ip[ihl:]
    elif version == 6 and len(ip) >= 40:
        if ip[6] != 6:
            return None
        plen = struct.unpack_from(">H", ip, 4)[0]
        src = "[" + ":".join("%x" % w for w in struct.unpack_from(">8H", ip, 8)) + "]"
        dst = "[" + ":".join("%x" % w for w in struct.unpack_from(">8H", ip, 24)) + "]"
        seg = ip[40:40 + plen]
    else:
        return None
    if len(seg) < 20:
        return None
    seq = struct.unpack_from(">I", seg, 4)[0]
    doff = (seg[12] >> 4) * 4
    if doff < 20:
        return None
    key = (src, dst, seg[:4])
    ends = _ENDPOINTS.get(key)
    if ends is None:
        sport, dport = struct.unpack_from(">HH", seg, 0)
        if len(_ENDPOINTS) > 65536:
            _ENDPOINTS.clear()
        ends = _ENDPOINTS[key] = (f"{src}:{sport}", f"{dst}:{dport}")
    return ends[0], ends[1], seq, seg[13], seg[doff:]


# ----- body decoding -------------------------------------------------------------------------------------------------

GENERATED_DOC = re.compile(r"Returns the (.+) field (\w+)\.$")
ROW_METHODS = ("results", "seed_data", "revs", "rows")


def _text(b):
    return b.decode("utf-8", "backslashreplace")


def _value(v):
    """A hand-written getter's value as JSON: texts as str, records through their getters."""
    if isinstance(v, bytes):
        return _text(v)
    if isinstance(v, (list, tuple)):
        return [_value(x) for x in v]
    if isinstance(v, dict):
        return {(_text(k) if isinstance(k, bytes) else str(k)): _value(x) for k, x in v.items()}
    if isinstance(v, float) and v != v:
        return None
    if type(v).__module__ == "pyostrel" and not isinstance(v, (int, float, bool)):
        return _record(v)
    return v


def _nan(v):
    return None if v != v else v


def _texts(v):
    return [_text(x) for x in v]


# How a generated getter's value becomes JSON, by the wire kind its docstring names; integers, booleans and lists
# of them are taken as they come.
_CONVERT = {"f64": _nan, "string": _text, "bytes": bytes.hex, "vec<string>": _texts,
            "vec<bytes>": lambda v: [x.hex() for x in v]}
_PLANS = {}


def _plan(cls):
    """(key, unbound getter, converter or None) for every argument-free get_ method, in declaration order."""
    out = _PLANS.get(cls)
    if out is None:
        out = []
        for name, fn in vars(cls).items():
            if not name.startswith("get_") or not callable(fn):
                continue
            try:
                if list(inspect.signature(fn).parameters) != ["self"]:
                    continue
            except (TypeError, ValueError):
                continue
            m = GENERATED_DOC.search((fn.__doc__ or "").strip())
            if m is None:  # a hand-written getter: its value converted by what it holds
                out.append((name[4:], fn, _value))
            elif re.fullmatch(r"(u|i)\d+|bool|little-endian i32|u8 in .*|(raw)?vec<(u|i)\d+>", m[1]):
                out.append((m[2], fn, None))
            else:
                out.append((m[2], fn, _CONVERT.get(m[1], _value)))
        _PLANS[cls] = out
    return out


def _record(obj):
    return {key: fn(obj) if conv is None else conv(fn(obj)) for key, fn, conv in _plan(type(obj))}


class Catalog:
    """A schema catalog and what rendering its rows needs: per (namespace, meta id) the field names and getters."""

    GETTERS = {"integer": "get_int", "double": "get_double", "string": "get_string", "int_64": "get_int_64",
               "vinteger": "get_int_32_vector", "vdouble": "get_double_vector", "vstring": "get_string_vector",
               "vint_64": "get_int_64_vector"}

    def __init__(self, binary):
        self.serializer = pyostrel.IndexSerializer()
        self.serializer.update_schema_from_binary(binary)
        types = {getattr(pyostrel, "index_field_type_" + t): getattr(pyostrel.StructValue, g)
                 for t, g in self.GETTERS.items()}
        # Integers come as they are; doubles lose NaN (not JSON), texts become str.
        convert = {getattr(pyostrel, "index_field_type_" + t): c for t, c in
                   (("double", _nan), ("string", _text), ("vdouble", lambda v: [_nan(x) for x in v]),
                    ("vstring", _texts))}
        self.metas = {}
        for meta in self.serializer.schema().metas():
            cols = [(f.get_pos(), _text(f.get_name()), types.get(f.get_type()), convert.get(f.get_type()))
                    for f in meta.get_fields()]
            self.metas[(meta.get_namespace(), meta.get_id())] = (_text(meta.get_name()), cols)

    def names(self):
        return [name for name, _ in self.metas.values()]

    def row(self, sv):
        namespace, meta_id = sv.get_namespace(), sv.get_meta_id()
        name, cols = self.metas.get((namespace, meta_id), (None, ()))
        size = sv.size()
        values = {}
        for pos, col, getter, conv in cols:
            if pos >= size or getter is None or sv.is_empty(pos):
                values[col] = None
            else:
                v = getter(sv, pos)
                values[col] = v if conv is None else conv(v)
        return {"meta": name, "namespace": namespace, "meta_id": meta_id,
                "market": sv.get_market().decode("utf-8", "backslashreplace"),
                "code": sv.get_stock_code().decode("utf-8", "backslashreplace"),
                "time_tag": sv.get_time_tag(), "granularity": sv.get_granularity(), "values": values}

    def blob(self, blob):
        """The rows of a compressed batch set, decoded by the module: the set goes as the rows of an otherwise
        empty history page, whose strict decoder raises for a blob that does not decompress or decode."""
        if not blob:
            return []
        page = pyostrel.NetResponse()
        page.decode_string(bytes(53) + struct.pack(">I", len(blob)) + blob, self.serializer)
        return [self.row(sv) for sv in page.rows()]


class _Short(Exception):
    pass


class _Reader:
    """Reads a body from its layout, as the dissector does: ints, texts as str, opaque bytes as hex."""

    INTS = {"u8": ">B", "u16": ">H", "u32": ">I", "u64": ">Q", "i16": ">h", "i32": ">i", "i64": ">q",
            "f64": ">d", "bool": ">?", "le_i32": "<i"}

    def __init__(self, body):
        self.body, self.off, self.blobs = body, 0, []

    def need(self, n):
        left = len(self.body) - self.off
        if left < n:
            raise _Short(f"unexpected end of input: needed {n - left} more bytes")

    def record(self, cls):
        out, trailer = {}, TRAILERS.get(cls)
        for i, (field, kind) in enumerate(LAYOUTS[cls]):
            if trailer and i == trailer[0] and (len(self.body) - self.off < 4
                                                or (trailer[1] and out.get("error_code"))):
                break
            out[field] = self.read(kind)
        return out

    def read(self, kind):
        if isinstance(kind, str):
            fmt = self.INTS.get(kind)
            if fmt:
                size = struct.calcsize(fmt)
                self.need(size)
                v = struct.unpack_from(fmt, self.body, self.off)[0]
                self.off += size
                return None if v != v else v
            self.need(4)
            n = struct.unpack_from(">I", self.body, self.off)[0]
            self.off += 4
            self.need(n)
            b = bytes(self.body[self.off:self.off + n])
            self.off += n
            if kind == "rows":
                self.blobs.append(b)
            return _text(b) if kind == "string" else b.hex()
        op = kind[0]
        if op in ("vec", "map", "rawvec"):
            self.need(4)
            n = struct.unpack_from(">I", self.body, self.off)[0]
            self.off += 4
            if op == "rawvec":
                fmt = "<" + self.INTS[kind[1]][1]
                size = struct.calcsize(fmt)
                self.need(n * size)
                v = list(struct.unpack_from("<%d%s" % (n, fmt[1]), self.body, self.off))
                self.off += n * size
                return v
            if op == "map":
                out = {}
                for _ in range(n):
                    key = self.read("string")
                    out[key] = self.read(kind[1])
                return out
            return [self.read(kind[1]) for _ in range(n)]
        if op == "tuple":
            return [self.read(k) for k in kind[1]]
        if op == "rec":
            return self.record(kind[1])
        if op == "opt":
            tag = self.read("u8")
            if tag > 1:
                raise _Short(f"unknown enum value 0x{tag:02x}")
            return self.record(kind[1]) if tag else None
        if op == "union_f64_pair":
            return [self.read("f64"), self.read("f64")] if self.read("u8") else None
        raise _Short(f"unknown wire kind {kind!r}")


def decode_body(cls_name, body, catalog):
    """{"fields": ..., "rows": ..., "error": ...} of one body of the class."""
    out = {}
    (_DECODERS.get(cls_name) or _decoder(cls_name))(body, catalog, out)
    return out


_DECODERS = {}


def _decoder(cls_name):
    """The class's decode function: the module's decoder and getters where the class has a decoder, else the
    layout table."""
    cls = getattr(pyostrel, cls_name)
    plan = _plan(cls)
    rows = next((m for m in ROW_METHODS if m in vars(cls)), None)
    strict_rows = cls is pyostrel.NetResponse  # its decoder takes the catalog, and needs one for its rows
    if not hasattr(cls, "decode") and not strict_rows:
        def decode(body, catalog, out):
            out.update(_by_layout(cls_name, body, catalog))
    else:
        read = cls.decode_string if strict_rows else cls.decode

        def decode(body, catalog, out):
            obj = cls()
            try:
                if strict_rows:
                    if catalog is None:  # no catalog for the rows: the fields from the layout
                        out.update(_by_layout(cls_name, body, None))
                        return
                    read(obj, body, catalog.serializer)
                else:
                    read(obj, body)
            except Exception as e:  # the decoder's own text; the object is left as it was
                out["error"] = str(e)
                return
            out["fields"] = {key: fn(obj) if conv is None else conv(fn(obj)) for key, fn, conv in plan}
            if rows and catalog is not None:
                try:
                    if not strict_rows:
                        obj.set_compressor(catalog.serializer)
                    got = getattr(obj, rows)()
                    row = catalog.row
                    out["rows"] = ({_text(k): [row(r) for r in v] for k, v in got.items()}
                                   if isinstance(got, dict) else [row(r) for r in got])
                except Exception as e:
                    out["error"] = f"rows: {e}"
    _DECODERS[cls_name] = decode
    return decode


def _by_layout(cls_name, body, catalog):
    reader = _Reader(body)
    try:
        out = {"fields": reader.record(cls_name)}
    except _Short as e:
        return {"error": f"{cls_name} decode: {e}"}
    if catalog is not None and reader.blobs:
        try:
            out["rows"] = [r for blob in reader.blobs for r in catalog.blob(blob)]
        except Exception as e:
            out["error"] = f"rows: {e}"
    return out


# ----- streams and frames --------------------------------------------------------------------------------------------

class _Conn:
    __slots__ = ("name", "server", "catalog", "dirs")

    def __init__(self, name):
        self.name, self.server, self.catalog, self.dirs = name, None, None, []


class _Direction:
    """One direction of a TCP connection: reassembly state, and the frame cutter. In step, frames are cut by the
    module's RawFrameReader (tail: the bytes it holds); after a frame error, by the scan below (buf), which finds
    the next magic and hands back to a fresh reader."""
    __slots__ = ("src", "dst", "conn", "next_seq", "pending", "pending_bytes", "buf", "skipped", "last", "reader",
                 "tail", "client", "shown")

    def __init__(self, src, dst, conn, shown):
        self.src, self.dst, self.conn, self.shown = src, dst, conn, shown
        self.next_seq, self.pending, self.pending_bytes = None, {}, 0
        self.buf, self.skipped, self.last = bytearray(), 0, (0, 0.0)
        self.reader, self.tail, self.client = pyostrel.RawFrameReader(), b"", None


def _port(endpoint):
    return int(endpoint.rsplit(":", 1)[1]) if endpoint and ":" in endpoint else 0


class Inspector:
    """Turns packets (or stream bytes) into records: dicts, one per frame or stream event, in capture order."""

    def __init__(self, schema=None, ports=(), commands=None, classes=None, connections=None):
        self.default_catalog = Catalog(schema) if schema else None
        self.ports = set(ports)
        self.commands, self.classes, self.connections = commands, classes, connections
        self._dirs, self._conns = {}, {}
        self.out = []

    # -- input

    def packet(self, number, ts, linktype, data):
        ip = _ip(linktype, data)
        seg = _tcp(ip) if ip is not None else None
        if seg is not None:
            self.segment(number, ts, *seg)

    def segment(self, number, ts, src, dst, seq, flags, payload):
        d = self._dirs.get((src, dst)) or self._direction(src, dst)
        if flags & SYN:
            if not flags & ACK:
                self._server(d.conn, dst)
            d.next_seq = (seq + 1) & MASK
            return
        if not payload:
            return
        d.last = (number, ts)
        if d.next_seq is None:
            d.next_seq = seq
        delta = (seq - d.next_seq) & MASK
        if delta >= 1 << 31:  # before what was delivered: a retransmission, perhaps with new bytes at its end
            delta -= 1 << 32
            if -delta >= len(payload):
                return
            payload, delta = payload[-delta:], 0
        if delta > 0:
            if len(payload) > len(d.pending.get(seq, b"")):
                d.pending_bytes += len(payload) - len(d.pending.get(seq, b""))
                d.pending[seq] = payload
            if d.pending_bytes > MAX_PENDING:
                self._gap(d)
            return
        d.next_seq = (d.next_seq + len(payload)) & MASK
        self._cut(d, payload)
        if d.pending:
            self._drain(d)

    def stream(self, data, ts=0.0, src="client", dst="server"):
        """Bytes of one direction of a raw stream."""
        d = self._dirs.get((src, dst)) or self._direction(src, dst)
        self._server(d.conn, dst)
        d.last = (None, ts)
        self._cut(d, data)

    def finish(self):
        """End of input: out-of-order bytes past a hole, and frames cut short, are reported."""
        for d in list(self._dirs.values()):
            while d.pending:
                self._gap(d)
            self._cut(d, b"", final=True)

    # -- reassembly

    def _direction(self, src, dst):
        key = (src, dst) if src < dst else (dst, src)
        conn = self._conns.get(key)
        if conn is None:
            conn = self._conns[key] = _Conn(f"{key[0]}-{key[1]}")
        shown = self.connections is None or any(
            c in (src, dst, conn.name, str(_port(src)), str(_port(dst))) for c in self.connections)
        d = self._dirs[(src, dst)] = _Direction(src, dst, conn, shown)
        conn.dirs.append(d)
        return d

    def _server(self, conn, server):
        conn.server = server
        for d in conn.dirs:
            d.client = None

    def _drain(self, d):
        progress = True
        while progress and d.pending:
            progress = False
            for seq in list(d.pending):
                delta = (seq - d.next_seq) & MASK
                if delta and delta < 1 << 31:
                    continue
                payload = d.pending.pop(seq)
                d.pending_bytes -= len(payload)
                back = (1 << 32) - delta if delta else 0
                if back < len(payload):
                    d.next_seq = (d.next_seq + len(payload) - back) & MASK
                    self._cut(d, payload[back:])
                progress = True

    def _gap(self, d):
        """Gives up on the bytes missing before the nearest held segment."""
        seq = min(d.pending, key=lambda s: (s - d.next_seq) & MASK)
        lost = (seq - d.next_seq) & MASK
        self._cut(d, b"", final=True)  # what was buffered can never complete
        self._emit(d, {"event": "gap", "bytes": lost, "error": f"{lost} bytes missing from the capture"})
        d.next_seq = seq
        self._drain(d)

    # -- frames

    def _cut(self, d, data, final=False):
        reader = d.reader
        if reader is not None:
            if data:
                held = d.tail + data if d.tail else data
                try:
                    frames = reader.feed(data)
                except Exception:  # a frame error: the scan takes over from the first byte not cut
                    d.reader, d.tail = None, b""
                    d.buf += held
                    self._scan(d, final)
                    return
                pending = reader.pending()
                d.tail = held[len(held) - pending:] if pending else b""
                frame = self._frame
                for f in frames:
                    frame(d, *f)
            if not final or not d.tail:
                return
            d.reader, d.buf, d.tail = None, bytearray(d.tail), b""  # a frame cut short: the scan reports it
        elif data:
            d.buf += data
        self._scan(d, final)

    def _scan(self, d, final):
        buf = d.buf
        pos, n = 0, len(buf)
        while n - pos >= 8:
            magic, total = struct.unpack_from(">II", buf, pos)
            if magic != MAGIC:
                at = buf.find(MAGIC_BYTES, pos + 1)
                if at < 0:
                    at = n if final else n - 3  # what may be the start of a magic stays
                d.skipped += at - pos
                pos = at
                continue
            if d.skipped:
                self._skipped(d)
            if total < 8:
                self._emit(d, {"event": "frame_error", "total_len": total,
                               "error": f"total_len {total} is smaller than header length (8)"})
                pos += 8
                continue
            end = pos + 8 + total
            if end > n:
                if not final:
                    break
                self._emit(d, {"event": "frame_error", "total_len": total, "raw": bytes(buf[pos:n]).hex(),
                               "error": f"incomplete body: need {8 + total} bytes, got {n - pos}"})
                at = buf.find(MAGIC_BYTES, pos + 4)  # a frame its length swallowed, or nothing more
                pos = at if at >= 0 else n
                continue
            _, _, version, seq, flag, cmd = HEAD.unpack_from(buf, pos)
            self._frame(d, cmd, seq, version, flag, bytes(buf[pos + 16:end]))
            pos = end
        if final and pos < n:
            d.skipped += n - pos
            pos = n
        if final and d.skipped:
            self._skipped(d)
        rest = bytes(buf[pos:])
        d.buf = bytearray()
        if not final and not d.skipped and (not rest or rest.startswith(MAGIC_BYTES)):
            d.reader = pyostrel.RawFrameReader()  # in step again
            if rest:
                self._cut(d, rest)
        else:
            d.buf += rest

    def _skipped(self, d):
        n, d.skipped = d.skipped, 0
        self._emit(d, {"event": "skipped", "bytes": n,
                       "error": f"skipped {n} bytes to resynchronise on the frame magic"})

    def _frame(self, d, cmd, seq, version, flag, body):
        entry = COMMANDS.get(cmd)
        client = d.client
        if client is None:
            client = d.client = self._from_client(d)
        if entry is None:
            name, cls = f"0x{cmd:04x}", None
        else:
            name, cls = entry[0], entry[1 if client else 2]
        conn = d.conn
        extra = None
        if cmd == DATADEF and not client and body:  # the connection's catalog from here on
            try:
                conn.catalog = Catalog(body)
            except Exception as e:
                conn.catalog = None
                extra = {"error": f"schema: {e}", "raw": body.hex()}
            else:
                extra = {"catalog": conn.catalog.names()}
        if not d.shown or (self.commands is not None and cmd not in self.commands and name not in self.commands) \
                or (self.classes is not None and cls not in self.classes):
            return
        number, ts = d.last
        rec = {"packet": number, "time": ts, "src": d.src, "dst": d.dst, "connection": conn.name,
               "event": "frame", "total_len": 8 + len(body), "version": version, "seq": seq, "flag": flag,
               "cmd": cmd, "command": name, "class": cls}
        if extra is not None:
            rec.update(extra)
        elif cls is not None:
            (_DECODERS.get(cls) or _decoder(cls))(body, conn.catalog or self.default_catalog, rec)
            if "error" in rec:
                rec["raw"] = body.hex()
        elif body:
            rec["body"] = body.hex()
        self.out.append(rec)

    def _from_client(self, d):
        server = d.conn.server
        if server is None:
            s, t = _port(d.src) in self.ports, _port(d.dst) in self.ports
            if s != t:
                return t
            return _port(d.dst) < _port(d.src)
        return d.dst == server

    def _emit(self, d, rec):
        """A stream event (not a frame): shown unless a filter asks for frames of some command or class."""
        if not d.shown or self.commands is not None or self.classes is not None:
            return
        number, ts = d.last
        head = {"packet": number, "time": ts, "src": d.src, "dst": d.dst, "connection": d.conn.name}
        head.update(rec)
        self.out.append(head)


# ----- command line --------------------------------------------------------------------------------------------------

def _command(text):
    text = text.strip()
    try:
        return int(text, 0)
    except ValueError:
        return text


def run(args, write):
    commands = {_command(c) for v in args.cmd for c in v.split(",")} if args.cmd else None
    classes = {c for v in args.cls for c in v.split(",")} if args.cls else None
    schema = None
    if args.schema:
        with open(args.schema, "rb") as f:
            schema = f.read()
    insp = Inspector(schema=schema, ports={int(p) for v in args.port for p in v.split(",")}, commands=commands,
                     classes=classes, connections=args.connection or None)
    counts, classes_seen, errors = collections.Counter(), collections.Counter(), []

    def flush():
        for rec in insp.out:
            if args.summary:
                if rec["event"] == "frame":
                    counts[rec["command"]] += 1
                    classes_seen[rec["class"] or "-"] += 1
                if "error" in rec:
                    errors.append({k: rec[k] for k in ("packet", "connection", "event", "command", "error")
                                   if k in rec})
            else:
                write(_dumps(rec) + "\n")
        insp.out.clear()

    with (sys.stdin.buffer if args.capture == "-" else open(args.capture, "rb")) as f:
        if args.raw:
            while True:
                chunk = f.read(1 << 16)
                if not chunk:
                    break
                if args.direction == "server":
                    insp.stream(chunk, src="server", dst="client")
                else:
                    insp.stream(chunk)
                flush()
        else:
            for number, (ts, linktype, data) in enumerate(read_capture(f), 1):
                try:
                    insp.packet(number, ts, linktype, data)
                except Exception as e:  # a fault of ours: said on its own line, and the next packet goes on
                    insp.out.append({"packet": number, "time": ts, "event": "internal_error", "error": repr(e)})
                if insp.out:
                    flush()
    insp.finish()
    flush()
    if args.summary:
        write(json.dumps({"frames": sum(counts.values()), "commands": dict(counts.most_common()),
                          "classes": dict(classes_seen.most_common()), "errors": errors},
                         ensure_ascii=False, indent=1) + "\n")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="pyostrel-inspect", description=__doc__.split("\n\n")[0])
    parser.add_argument("capture", help="a pcap or pcapng file, or a raw stream with --raw; - reads stdin")
    parser.add_argument("--raw", action="store_true", help="the input is the bytes of one direction of a stream")
    parser.add_argument("--direction", choices=("client", "server"), default="client",
                        help="with --raw: who sent the bytes (default client)")
    parser.add_argument("--schema", help="a schema binary for rows on connections without a data definition")
    parser.add_argument("--port", action="append", default=[],
                        help="a server port, for connections whose SYN the capture lacks")
    parser.add_argument("--cmd", action="append", default=[], help="only these commands (names or numbers)")
    parser.add_argument("--class", dest="cls", action="append", default=[], help="only these body classes")
    parser.add_argument("--connection", action="append", default=[],
                        help="only connections with this endpoint (ip:port, or a port) or name (a:p-b:p)")
    parser.add_argument("--summary", action="store_true", help="counts per command and class, and the errors")
    args = parser.parse_args(argv)
    try:
        return run(args, sys.stdout.write)
    except BrokenPipeError:  # the reader went away (| head): stop quietly, and keep the exit flush quiet too
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, CaptureError) as e:
        print(f"pyostrel-inspect: {e}", file=sys.stderr)
        return 2
