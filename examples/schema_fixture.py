"""Schema binaries for examples and experiments, without a schema server.

A schema binary is what `IndexSerializer.update_schema_from_binary` and `IndexSchema.load` take: one raw Snappy
block holding, big-endian, a u32 count of metas and per meta its key (u16 namespace, u32 meta id), then the meta:
u32 id, u16 namespace, name, display name, u32 count of (i32 granularity, i32 value) pairs, u8 flag, u32 count of
strings, index type, u32 revision, author; then a u32 count of fields, each u32 slot position, name, u8 field type
(an `index_field_type_*` constant), u32 decimal precision, i32 multiple, u8 sample type. Texts are a u32 length
and UTF-8. `schema_binary` writes all that for the common case, a catalog of one meta:

    from schema_fixture import schema_binary
    serializer.update_schema_from_binary(schema_binary(0, 42, b"bar.daily", [(b"close", double_type, 2)]))

The block is written as literals only: valid Snappy that any decoder reads, not compressed, and made without a
Snappy library.
"""

import struct
from collections.abc import Sequence

Column = tuple[bytes, int, int]  # (name, index_field_type_* constant, decimal precision)


def text(s: bytes) -> bytes:
    """A wire text: u32 length, then the bytes."""
    return struct.pack(">I", len(s)) + s


def snappy_literal_block(payload: bytes) -> bytes:
    """A raw Snappy block holding `payload` as one literal: the varint length, then a literal tag with a
    4-byte length (63 << 2, length - 1 little-endian)."""
    n, varint = len(payload), bytearray()
    while True:
        byte, n = n & 0x7F, n >> 7
        varint.append(byte | (0x80 if n else 0))
        if not n:
            break
    if not payload:
        return bytes(varint)
    return bytes(varint) + bytes([63 << 2]) + struct.pack("<I", len(payload) - 1) + payload


def schema_binary(namespace: int, meta_id: int, name: bytes, columns: Sequence[Column], *,
                  display_name: bytes = b"", index_type: bytes = b"bar", revision: int = 1) -> bytes:
    """The schema binary of a catalog holding one meta, `name` in `namespace` under `meta_id`, whose fields are
    `columns` in slot order. No granularities, flag 0, no strings, an empty author."""
    meta = struct.pack(">HIIH", namespace, meta_id, meta_id, namespace) + text(name) + text(display_name)
    meta += struct.pack(">IBI", 0, 0, 0) + text(index_type) + struct.pack(">I", revision) + text(b"")
    meta += struct.pack(">I", len(columns))
    for pos, (column, field_type, precision) in enumerate(columns):
        meta += struct.pack(">I", pos) + text(column) + struct.pack(">BIiB", field_type, precision, 0, 0)
    return snappy_literal_block(struct.pack(">I", 1) + meta)
