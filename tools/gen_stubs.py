"""Writes the type stubs (stubs/pyostrel-stubs/__init__.pyi) and the API reference (docs/api.md) from the
built module itself: run it with the module importable (PYTHONPATH=build/release/python).

Where the types come from: every bound callable's docstring opens with a typed line, "get_int(pos: int) -> int",
and every property's with "name: type" (", read-only" without a setter), both derived by the binding from the C++
signature (src/pyostrel/bind/annotate.h). The text signature that inspect reads stays unannotated, because
inspect.signature refuses annotations there; parameter kinds and defaults come from it. The compatibility
containers are Python classes (list, dict and set subclasses, marker types) whose few methods are typed below.

    python tools/gen_stubs.py           # rewrite both files
    python tools/gen_stubs.py --check   # exit 1, with a diff, when either differs from what the module gives
"""

import argparse
import difflib
import inspect
import re
import sys
import textwrap
import types
from pathlib import Path

import pyostrel

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "stubs" / "pyostrel-stubs" / "__init__.pyi"
API = ROOT / "docs" / "api.md"

# The methods the compatibility containers share (lambdas in py_aliases.cc): their types.
ALIAS_METHODS = {
    "push_back": ("x: Any", "None"),
    "insert": ("x: Any", "None"),
    "size": ("", "int"),
    "empty": ("", "bool"),
}
ALIAS_BASES = {list: "list[Any]", dict: "dict[Any, Any]", set: "set[Any]", object: ""}
# Arguments the binding converts by hand (so typed Any on its side), as the calendar functions take them:
# periods a dict (an Int32PairVectorMap is one) of names, bytes or str, to [startHHMM, endHHMM] pairs; Mapping,
# not dict, so that a dict of lists of lists is accepted (dict's value type is invariant).
PERIOD_LISTS = "Sequence[Sequence[int]]"
HAND_CONVERTED = {"periods": f"Mapping[bytes, {PERIOD_LISTS}] | Mapping[str, {PERIOD_LISTS}]",
                  "holidays": "Sequence[int]"}
# Slots a bound class may fill, as their protocol types them.
SLOTS = {
    "__len__": "def __len__(self) -> int: ...",
    "__hash__": "def __hash__(self) -> int: ...",
    "__eq__": "def __eq__(self, other: object, /) -> bool: ...",
    "__ne__": "def __ne__(self, other: object, /) -> bool: ...",
    "__lt__": "def __lt__(self, other: {cls}, /) -> bool: ...",
    "__le__": "def __le__(self, other: {cls}, /) -> bool: ...",
    "__gt__": "def __gt__(self, other: {cls}, /) -> bool: ...",
    "__ge__": "def __ge__(self, other: {cls}, /) -> bool: ...",
    "__reduce__": "def __reduce__(self) -> tuple[Any, ...]: ...",
}
# What every class has from the interpreter, or from the toolkit for every class alike.
INHERITED = {"__new__", "__repr__", "__doc__", "__module__", "__dict__", "__weakref__", "_from_state"}

TYPED_LINE = re.compile(r"^(\w+)\((.*)\) -> (.+)$")
PROPERTY_LINE = re.compile(r"^(\w+): (.+?)(, read-only)?$")


def split_top(text):
    """Splits "a: int, b: dict[bytes, int] = 4" at the commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        depth += ch == "["
        depth -= ch == "]"
        if ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    rest = text[start:].strip()
    return parts + [rest] if rest else parts


class Callable:
    """One bound function or method: its typed line, parsed, and the text after it."""

    def __init__(self, qualname, fn):
        doc = fn.__doc__ or ""
        head, _, self.doc = doc.partition("\n\n")
        m = TYPED_LINE.match(head)
        if not m or m[1] != fn.__name__:
            raise SystemExit(f"{qualname}: docstring does not open with its typed line: {head!r}")
        self.name, self.ret = m[1], m[3]
        self.types = {}
        for part in split_top(m[2]):
            name, _, rest = part.partition(": ")
            self.types[name] = rest.split(" = ")[0]
            if self.types[name] == "Any" and name in HAND_CONVERTED:
                self.types[name] = HAND_CONVERTED[name]
        self.signature = inspect.signature(fn)
        params = [p for p in self.signature.parameters.values() if p.name != "self"]
        if [p.name for p in params] != list(self.types):
            raise SystemExit(f"{qualname}: typed line {head!r} and text signature {self.signature} differ")
        self.params = params

    def stub(self, method, indent):
        """The stub's def line, its parameters one per line when one line would pass 120 columns."""
        pad = " " * indent
        line = f"{pad}def {self.name}{self.typed(method)} -> {self.ret}:"
        if len(line) <= 120:
            return line
        params = split_top(self.typed(method)[1:-1])
        inner = "".join(f"{pad}    {p},\n" for p in params)
        return f"{pad}def {self.name}(\n{inner}{pad}) -> {self.ret}:"

    def typed(self, method):
        """The stub's parameter list, "(self, pos: int, v: int = ...)" (defaults as "...")."""
        out = ["self"] if method else []
        for p in self.params:
            text = f"{p.name}: {self.types[p.name]}"
            if p.default is not inspect.Parameter.empty:
                text += " = ..."
            out.append(text)
        if any(p.kind is inspect.Parameter.POSITIONAL_ONLY for p in self.params):
            raise SystemExit(f"{self.name}: positional-only parameters are not bound by the toolkit")
        return "(" + ", ".join(out) + ")"

    def shown(self):
        """The reference's form: "get_int(pos: int) -> int", defaults with their values."""
        out = []
        for p in self.params:
            text = f"{p.name}: {self.types[p.name]}"
            if p.default is not inspect.Parameter.empty:
                text += f" = {p.default!r}"
            out.append(text)
        return f"{self.name}({', '.join(out)}) -> {self.ret}"


class Property:
    def __init__(self, qualname, name, descr):
        head, _, self.doc = (descr.__doc__ or "").partition("\n\n")
        m = PROPERTY_LINE.match(head)
        if not m or m[1] != name:
            raise SystemExit(f"{qualname}: property docstring does not open with its type: {head!r}")
        self.name, self.type, self.read_only = name, m[2], bool(m[3])


def constructible(cls):
    try:
        cls()
    except TypeError as e:
        if str(e) == f"No constructor defined for {cls.__name__}":
            return False
        raise
    return True


def docstring(text, indent):
    """A stub docstring; None when there is no text."""
    text = text.strip()
    if not text:
        return None
    text = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    pad = " " * indent
    if "\n" not in text and len(pad) + len(text) + 6 <= 120:
        return f'{pad}"""{text}"""'
    lines = "\n".join(textwrap.fill(line, 120, initial_indent=pad, subsequent_indent=pad) if line.strip() else ""
                      for line in text.splitlines())
    return f'{pad}"""\n{lines}\n{pad}"""'


def body(lines, doc, indent):
    """Appends a definition's body: its docstring, else "...", to the def line already in lines."""
    d = docstring(doc, indent)
    if d:
        lines.append(d)
    else:
        lines[-1] += " ..."


def classify():
    """The module's public names in registration order, by kind."""
    functions, classes, aliases, constants = {}, {}, {}, {}
    for name, value in vars(pyostrel).items():
        if name.startswith("_"):
            continue
        if isinstance(value, type):
            # Bound classes have the toolkit's tp_new; the containers are built by type(...) and have none.
            (classes if "__new__" in vars(value) else aliases)[name] = value
        elif callable(value):
            functions[name] = Callable(name, value)
        elif isinstance(value, int):
            constants[name] = value
        else:
            raise SystemExit(f"{name}: a module attribute of type {type(value).__name__} has no stub rule")
    return functions, classes, aliases, constants


def class_members(name, cls):
    """(methods, properties, slots) a bound class defines, in definition order."""
    methods, properties, slots = [], [], []
    for member, value in vars(cls).items():
        if member in INHERITED:
            continue
        if member in SLOTS:
            slots.append(member)
        elif isinstance(value, types.GetSetDescriptorType):
            properties.append(Property(f"{name}.{member}", member, value))
        elif member.startswith("_") and not (member.startswith("__") and member.endswith("__")
                                             and isinstance(value, types.MethodDescriptorType)):
            raise SystemExit(f"{name}.{member}: no stub rule for this member")  # protocol methods pass
        else:
            methods.append(Callable(f"{name}.{member}", getattr(cls, member)))
    return methods, properties, slots


def stub_text():
    functions, classes, aliases, constants = classify()
    out = [docstring(pyostrel.__doc__, 0), "",
           "# Generated by tools/gen_stubs.py from the built module; do not edit.", "",
           "from collections.abc import Mapping, Sequence", "from typing import Any, Final, final", "",
           "__version__: str", ""]
    for name, value in constants.items():
        out.append(f"{name}: Final[int]")
    out.append("")
    for name, fn in functions.items():
        out.append("")
        out.append(fn.stub(False, 0))
        body(out, fn.doc, 4)
    for name, cls in classes.items():
        methods, properties, slots = class_members(name, cls)
        # The toolkit's classes cannot be subclassed (so they need no @disjoint_base as well).
        out += ["", "", "@final", f"class {name}:"]
        d = docstring(cls.__doc__, 4)
        if d:
            out.append(d)
        for slot in slots:
            out.append("    " + SLOTS[slot].format(cls=name))
        if "__dict__" in vars(cls):  # instances take arbitrary attributes
            out += ["    def __getattr__(self, name: str) -> Any: ...",
                    "    def __setattr__(self, name: str, value: Any) -> None: ..."]
        for p in properties:
            out += ["    @property", f"    def {p.name}(self) -> {p.type}:"]
            body(out, p.doc, 8)
            if not p.read_only:
                out += [f"    @{p.name}.setter", f"    def {p.name}(self, v: {p.type}) -> None: ..."]
        for m in methods:
            out.append(m.stub(True, 4))
            body(out, m.doc, 8)
        if not (d or slots or properties or methods):
            out[-1] += " ..."
    for name, cls in aliases.items():
        base = ALIAS_BASES[cls.__base__]
        out += ["", "", f"class {name}({base}):" if base else f"class {name}:"]
        out.append(docstring(cls.__doc__, 4))
        for member, value in vars(cls).items():
            if member in ALIAS_METHODS:
                params, ret = ALIAS_METHODS[member]
                out.append(f"    def {member}(self{', ' + params if params else ''}) -> {ret}: ...")
            elif not member.startswith("__"):
                raise SystemExit(f"{name}.{member}: no stub rule for this container method")
    return "\n".join(out) + "\n"


def md(text):
    """A docstring as markdown paragraphs (its line breaks kept)."""
    return "\n".join(line.rstrip() for line in text.strip().splitlines())


def api_text():
    functions, classes, aliases, constants = classify()
    out = ["# pyostrel API reference", "",
           "Generated by `tools/gen_stubs.py` from the built module's docstrings, as the stubs in",
           "`stubs/pyostrel-stubs/` are; `make test` checks that both are current. Regenerate with `make stubs`.", "",
           "Reading the signatures: every callable is shown with the types the binding converts, derived from its",
           "C++ signature. `bytes` stands for platform text (valid UTF-8 where a method says so) as well as raw",
           "bytes; an argument typed `Sequence[...]` takes any sequence but `str` (a list or a tuple) and a result",
           "typed `list[...]` is a new list; `Any` marks an argument or a result the binding converts by hand, whose",
           "shape the text describes. Errors from native operations are the built-in `Exception`. Market-time",
           "arguments (units, time zones, trading periods and holidays) are described once in",
           "[market_time.md](market_time.md); message bodies field by field in [protocol.md](protocol.md).", "",
           "The same types are in the docstrings: `help(pyostrel.StructValue.get_int)` opens with",
           "`get_int(pos: int) -> int`. The text signature that `inspect.signature` reads carries no annotations",
           "(inspect refuses them there).", "",
           f"Version {pyostrel.__version__}: {len(functions)} functions, {len(classes)} classes,",
           f"{len(aliases)} compatibility containers, {len(constants)} constants.", "",
           "- [Functions](#functions)", "- [Classes](#classes)",
           "- [Compatibility containers](#compatibility-containers)", "- [Constants](#constants)", "",
           "## Functions", ""]
    for name, fn in functions.items():
        out += [f"### `{fn.shown()}`", "", md(fn.doc), ""]
    out += ["## Classes", ""]
    for name, cls in classes.items():
        methods, properties, slots = class_members(name, cls)
        out += [f"### {name}", "", md(cls.__doc__), ""]
        notes = []
        if constructible(cls):
            notes.append(f"`{name}()` makes a default instance.")
        if "__len__" in slots:
            notes.append("`len()` gives its size.")
        if "__lt__" in slots:
            notes.append("Instances are hashable and totally ordered.")
        if "__reduce__" in slots:
            notes.append("Pickle, `copy` and `deepcopy` carry its fields.")
        if notes:
            out += [" ".join(notes), ""]
        for p in properties:
            kind = "read-only property" if p.read_only else "property"
            out.append(f"- `{p.name}: {p.type}` ({kind})" + (f": {md(p.doc)}" if p.doc.strip() else ""))
        for m in methods:
            doc = md(m.doc).replace("\n", "\n  ")
            out.append(f"- `{m.shown()}`" + (f"  \n  {doc}" if doc else ""))
        out.append("")
    out += ["## Compatibility containers", "",
            "Built-in containers and marker types under the names framework scripts use.", "",
            "| Name | Is a | Methods |", "| --- | --- | --- |"]
    for name, cls in aliases.items():
        extra = ", ".join(f"`{m}()`" for m in vars(cls) if m in ALIAS_METHODS)
        out.append(f"| `{name}` | `{ALIAS_BASES[cls.__base__] or 'object'}` | {extra or md(cls.__doc__)} |")
    out += ["", "## Constants", "", "Module-level `int` constants, in registration order.", "",
            "| Name | Value |", "| --- | --- |"]
    for name, value in constants.items():
        out.append(f"| `{name}` | {value}" + (f" (`{value:#x}`)" if value > 255 else "") + " |")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    stale = []
    for path, text in ((STUB, stub_text()), (API, api_text())):
        old = path.read_text() if path.exists() else ""
        if old == text:
            continue
        if args.check:
            sys.stdout.writelines(difflib.unified_diff(old.splitlines(True), text.splitlines(True),
                                                       str(path.relative_to(ROOT)), "generated", n=1))
            stale.append(path.relative_to(ROOT))
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
            print(f"wrote {path.relative_to(ROOT)} ({len(text.encode())} bytes)")
    if stale:
        print(f"out of date: {', '.join(map(str, stale))}; run `make stubs` and commit the result")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
