"""Writes the inspector's layout table (python/pyostrel_inspect/layouts.py) and the Wireshark dissector
(tools/wireshark/pyostrel.lua) from the body tables of docs/protocol.md, which tests/python/test_protocol_doc.py
keeps equal to the module's declarations, and from the module's command constants. Run it with the module
importable (PYTHONPATH=build/release/python).

    python tools/gen_dissector.py           # rewrite both files
    python tools/gen_dissector.py --check   # exit 1, with a diff, when either differs from what they give
"""

import argparse
import difflib
import re
import sys
from pathlib import Path

import pyostrel

ROOT = Path(__file__).resolve().parents[1]
DOC = ROOT / "docs" / "protocol.md"
LAYOUTS = ROOT / "python" / "pyostrel_inspect" / "layouts.py"
LUA = ROOT / "tools" / "wireshark" / "pyostrel.lua"
LUA_RUNTIME = ROOT / "tools" / "wireshark" / "runtime.lua"
HEADER = "| # | Field | Wire | Python | Default | Access |"
SCALARS = {"u8", "u16", "u32", "u64", "i16", "i32", "i64", "f64", "bool", "string", "bytes"}
# Decoders that read the fields from this position on only when at least 4 bytes follow it, and (True) only
# when error_code is 0: the lenient replies of the receive loop.
TRAILERS = {"ATFetchSVRes": (4, True), "ATUniverseSeedsRes": (4, True), "ATUniverseRes": (4, False)}


def split_top(text):
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        depth += ch in "<("
        depth -= ch in ">)"
        if ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    return parts + [text[start:].strip()]


def kind(wire):
    """The wire notation as a nested tuple both readers walk."""
    if wire in SCALARS:
        return wire
    if re.fullmatch(r"u8 in \d+\.\.\d+", wire):  # shown as read (the module's decoders refuse values outside)
        return "u8"
    if wire == "u32 count (always 0)":
        return "u32"
    if wire == "little-endian i32":
        return "le_i32"
    if wire == "bytes (compressed batch set)":
        return "rows"
    if wire.startswith("union (u8 tag; f64, f64"):
        return ("union_f64_pair",)
    if m := re.fullmatch(r"rawvec<(\w+)>", wire):
        return ("rawvec", m[1])
    if m := re.fullmatch(r"vec<(.+)>", wire):
        return ("vec", kind(m[1]))
    if m := re.fullmatch(r"map<string, (.+)>", wire):
        return ("map", kind(m[1]))
    if m := re.fullmatch(r"optional<(\w+)>", wire):
        return ("opt", m[1])
    if m := re.fullmatch(r"\((.+)\)", wire):
        return ("tuple", tuple(kind(p) for p in split_top(m[1])))
    if re.fullmatch(r"[A-Z]\w+", wire):
        return ("rec", wire)
    raise SystemExit(f"{DOC.name}: unknown wire notation {wire!r}")


def parse(doc):
    """({class: ((field, kind), ...)}, {cmd: (name, client class, server class)})"""
    layouts = {}
    for section in re.split(r"^### ", doc, flags=re.M)[1:]:
        name, text = section.split("\n", 1)
        lines = text.split("\n## ")[0].splitlines()
        if HEADER not in lines:
            continue
        rows = []
        for line in lines[lines.index(HEADER) + 2:]:
            if not line.startswith("|"):
                break
            num, field, wire = (c.strip().strip("`") for c in line.strip("|").split("|")[:3])
            if num.isdigit():
                rows.append((field, kind(wire)))
        layouts[name] = tuple(rows)
    names = {v: n for n, v in vars(pyostrel).items() if n.startswith(("cmd_", "net_cmd_")) and isinstance(v, int)}
    commands = {v: (n, None, None) for v, n in names.items()}
    for line in doc.splitlines():
        if m := re.fullmatch(r"\| `((?:net_)?cmd_\w+)` \| (0x[0-9A-F]+) \| (.+) \|", line):
            value = int(m[2], 16)
            classes = re.findall(r"`(\w+)`", m[3])
            client = next((c for c in classes if not c.endswith("Res")), None)
            server = next((c for c in classes if not c.endswith("Req")), None)
            commands[value] = (m[1], client, server)
        elif m := re.fullmatch(r"\| (0x[0-9A-F]+) \| ([\w ,]+) \| `(\w+)` \|", line):
            step = m[2].split(",")[0].replace(" ", "_")
            reply = "reply" in step or step == "error"
            commands[int(m[1], 16)] = ("history_" + step, None if reply else m[3], m[3] if reply else None)
    for value, (_, client, server) in commands.items():
        for cls in (client, server):
            if cls and cls not in layouts:
                raise SystemExit(f"command 0x{value:04X}: {cls} has no table in {DOC.name}")
    return layouts, dict(sorted(commands.items()))


def used(layouts, commands):
    """The classes a command carries and the records nested in them, in table order."""
    out, todo = set(), [c for _, a, b in commands.values() for c in (a, b) if c]

    def walk(k):
        if isinstance(k, str):
            return
        if k[0] in ("rec", "opt"):
            todo.append(k[1])
        elif k[0] in ("vec", "map"):
            walk(k[1])
        elif k[0] == "tuple":
            for part in k[1]:
                walk(part)

    while todo:
        cls = todo.pop()
        if cls not in out:
            out.add(cls)
            for _, k in layouts[cls]:
                walk(k)
    return [c for c in layouts if c in out]


def python_table(layouts, commands):
    classes = used(layouts, commands)
    lines = ['"""Generated by tools/gen_dissector.py from docs/protocol.md and the module\'s command constants:',
             'do not edit."""', "",
             f"MAGIC = 0x{pyostrel.network_magic_num:08X}", "",
             "# cmd: (name, body class from the client, body class from the server)", "COMMANDS = {"]
    lines += [f"    0x{v:04X}: {c!r}," for v, c in commands.items()]
    lines += ["}", "", "# class: ((field, wire kind), ...) in wire order", "LAYOUTS = {"]
    lines += [f"    {c!r}: {layouts[c]!r}," for c in classes]
    lines += ["}", "", "# class: (first trailer field, trailer only on success)", f"TRAILERS = {TRAILERS!r}", ""]
    return "\n".join(lines)


def lua_value(v):
    if isinstance(v, tuple):
        return "{" + ", ".join(lua_value(x) for x in v) + "}"
    if v is None:
        return "nil"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v)
    return '"' + v + '"'


LUA_TYPES = {"u8": "uint8", "u16": "uint16", "u32": "uint32", "u64": "uint64", "i16": "int16", "i32": "int32",
             "i64": "int64", "le_i32": "int32", "f64": "double", "bool": "bool", "string": "string",
             "bytes": "bytes", "rows": "bytes"}


def lua_fields(cls, field, k, out):
    """(abbrev, ProtoField type) of every tree item the field makes."""
    abbrev = f"pyostrel.{cls}.{field}"
    if isinstance(k, str):
        out.append((abbrev, LUA_TYPES[k]))
        if k == "rows":
            out.append((abbrev + ".length", "uint32"))
        return
    if k[0] in ("vec", "map", "rawvec"):
        out.append((abbrev, "uint32"))  # the count; the elements hang below it
        if k[0] == "rawvec":
            out.append((abbrev + ".item", LUA_TYPES[k[1]]))
        else:
            if k[0] == "map":
                out.append((abbrev + ".key", "string"))
            lua_fields(cls, field + ".item", k[1], out)
    elif k[0] == "tuple":
        out.append((abbrev, "none"))
        for i, part in enumerate(k[1], 1):
            lua_fields(cls, f"{field}.{i}", part, out)
    elif k[0] in ("rec", "opt"):
        out.append((abbrev, "none" if k[0] == "rec" else "uint8"))
    elif k[0] == "union_f64_pair":
        out += [(abbrev, "uint8"), (abbrev + ".1", "double"), (abbrev + ".2", "double")]


def lua_script(layouts, commands):
    classes = used(layouts, commands)
    fields = []
    for cls in classes:
        for field, k in layouts[cls]:
            lua_fields(cls, field, k, fields)
    out = ["-- Generated by tools/gen_dissector.py from docs/protocol.md and the module's command constants:",
           "-- do not edit. Load with: tshark -X lua_script:tools/wireshark/pyostrel.lua (or copy it to",
           "-- Wireshark's personal plugins folder).", "",
           f"local MAGIC = 0x{pyostrel.network_magic_num:08X}", "",
           "-- cmd: {name, body class from the client, body class from the server}", "local COMMANDS = {"]
    out += [f"  [0x{v:04X}] = {lua_value(c)}," for v, c in commands.items()]
    out += ["}", "", "-- class: {{field, wire kind}, ...} in wire order", "local LAYOUTS = {"]
    for cls in classes:
        out.append(f"  {cls} = {{" + ", ".join("{" + f'"{f}", ' + lua_value(k) + "}"
                                               for f, k in layouts[cls]) + "},")
    out += ["}", "", "-- class: {first trailer field, trailer only on success}", "local TRAILERS = {"]
    out += [f"  {c} = {{{i}, {lua_value(s)}}}," for c, (i, s) in TRAILERS.items()]
    out += ["}", "", "-- abbrev: ProtoField type", "local FIELD_TYPES = {"]
    out += [f'  ["{a}"] = "{t}",' for a, t in fields]
    out += ["}", "", LUA_RUNTIME.read_text()]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    layouts, commands = parse(DOC.read_text())
    status = 0
    for path, text in ((LAYOUTS, python_table(layouts, commands)), (LUA, lua_script(layouts, commands))):
        if not args.check:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
            continue
        old = path.read_text() if path.exists() else ""
        if old != text:
            sys.stdout.writelines(difflib.unified_diff(old.splitlines(True), text.splitlines(True),
                                                       str(path), "generated"))
            print(f"{path.relative_to(ROOT)} is stale: run `make dissector`")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
