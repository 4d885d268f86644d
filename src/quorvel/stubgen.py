"""Write a type stub (.pyi) for the native module from a built library.

    python -m quorvel.stubgen LIBRARY [-o OUT]

The library exports its interface as records under the dynamic symbols
``quorvel_interface_record_1_<n>``: each a 32-bit little-endian length and
that many bytes of JSON.  This tool reads them from the file with pyelftools
(``pip install 'quorvel[stubgen]'``); it never imports or loads LIBRARY, so
it works for a library built for another interpreter.  The stub is made from
the records alone.
"""

from __future__ import annotations

import argparse
import importlib
import json
import keyword
import re
import struct
import sys
from typing import IO, Any, Callable, Iterator

PREFIX = "quorvel_interface_record_"
FORMAT_VERSION = 1
_SYMBOL = re.compile(re.escape(PREFIX) + r"(\d+)_(\d{1,20})")

# Keys each kind of record must have, and those it may have besides.
_REQUIRED = {
    "module": {"doc", "id", "incomplete", "members", "name", "type"},
    "class": {"decorators", "doc", "id", "name", "type"},
    "function": {"arguments", "doc", "name", "returns", "type"},
    "attribute": {"annotation", "doc", "name", "parent", "type"},
}
_OPTIONAL = {"module": set(), "class": set(), "function": {"decorators", "id", "parent"}, "attribute": set()}
_FIELD_TYPES = {
    "doc": str, "name": str, "id": str, "parent": str, "members": list, "decorators": list,
    "incomplete": bool, "arguments": dict, "annotation": dict, "returns": dict,
}
_LINE_LIMIT = 100


class StubError(Exception):
    """A library or record from which no stub can be written."""


class Record:
    def __init__(self, number: int, symbol: str, data: dict[str, Any]) -> None:
        self.number = number
        self.symbol = symbol
        self.data = data

    def fail(self, message: str) -> StubError:
        return StubError(f"record {self.symbol}: {message}")


# --- reading ------------------------------------------------------------------


def read_records(path: str) -> list[Record]:
    """The library's records in record order; StubError if it has none or a broken one."""
    # pyelftools has no type information; importing it by name keeps type
    # checkers of this package from asking for it.
    try:
        ELFError = importlib.import_module("elftools.common.exceptions").ELFError
        ConstructError = importlib.import_module("elftools.construct.core").ConstructError
        ELFFile = importlib.import_module("elftools.elf.elffile").ELFFile
    except ImportError:
        raise StubError("pyelftools is needed to read libraries: pip install 'quorvel[stubgen]'") from None
    try:
        stream = open(path, "rb")
    except OSError as error:
        raise StubError(f"cannot read {path}: {error.strerror}") from None
    with stream:
        if stream.read(4) != b"\x7fELF":
            raise StubError(f"{path}: not an ELF file")
        stream.seek(0)
        try:
            elf = ELFFile(stream)
            if elf["e_type"] != "ET_DYN":
                raise StubError(f"{path}: not a shared library (ELF type {elf['e_type']})")
            found = _record_symbols(elf, path)
            loads = [s for s in elf.iter_segments() if s["p_type"] == "PT_LOAD"]
            records = [_decode(number, name, _read_object(stream, loads, name, address, size))
                       for number, name, address, size in found]
        except (ELFError, ConstructError, struct.error, OSError, ValueError, OverflowError) as error:
            raise StubError(f"{path}: not a readable ELF file ({error})") from None
    return records


def _record_symbols(elf: Any, path: str) -> list[tuple[int, str, int, int]]:
    table = next((s for s in elf.iter_sections() if s["sh_type"] == "SHT_DYNSYM"), None)
    found: dict[int, tuple[int, str, int, int]] = {}
    other_versions: set[int] = set()
    for symbol in table.iter_symbols() if table is not None else ():
        match = _SYMBOL.fullmatch(symbol.name)
        if match is None or symbol["st_shndx"] == "SHN_UNDEF":
            continue
        if int(match[1]) != FORMAT_VERSION:
            other_versions.add(int(match[1]))
            continue
        number = int(match[2])
        if number in found:
            raise StubError(f"{path}: two records numbered {number}")
        found[number] = (number, symbol.name, symbol["st_value"], symbol["st_size"])
    if not found:
        if other_versions:
            versions = ", ".join(map(str, sorted(other_versions)))
            raise StubError(f"{path}: its records are of format version {versions}; "
                            f"this writer reads version {FORMAT_VERSION}")
        raise StubError(f"{path}: exports no interface records (no symbol {PREFIX}{FORMAT_VERSION}_<n>)")
    return [found[number] for number in sorted(found)]


def _read_object(stream: IO[bytes], loads: list[Any], name: str, address: int, size: int) -> bytes:
    for segment in loads:
        start = segment["p_vaddr"]
        if start <= address and address + size <= start + segment["p_filesz"]:
            stream.seek(segment["p_offset"] + address - start)
            data: bytes = stream.read(size)
            if len(data) == size:
                return data
    raise StubError(f"record {name}: its {size} bytes at {address:#x} are not in the file")


def _decode(number: int, name: str, data: bytes) -> Record:
    if len(data) < 4:
        raise StubError(f"record {name}: {len(data)} bytes, too short for its length field")
    (length,) = struct.unpack_from("<I", data)
    if 4 + length > len(data):
        raise StubError(f"record {name}: length {length} runs past the end of its {len(data) - 4}-byte body")
    if any(data[4 + length:]):
        raise StubError(f"record {name}: length {length} ends before its JSON text does")
    try:
        value = json.loads(data[4:4 + length].decode("utf-8"))
    except UnicodeDecodeError as error:
        raise StubError(f"record {name}: not UTF-8 text ({error.reason})") from None
    except (json.JSONDecodeError, RecursionError) as error:
        raise StubError(f"record {name}: invalid JSON ({error})") from None
    if not isinstance(value, dict) or not isinstance(value.get("type"), str) or value["type"] not in _REQUIRED:
        raise StubError(f"record {name}: not a module, class, function or attribute record")
    return Record(number, name, value)


# --- checking -----------------------------------------------------------------


def check(records: list[Record]) -> None:
    """Refuses records a stub cannot be made from: missing keys, dangling ids, unknown expressions."""
    ids: dict[str, Record] = {}
    for record in records:
        kind = record.data["type"]
        keys = set(record.data)
        if not _REQUIRED[kind] <= keys <= _REQUIRED[kind] | _OPTIONAL[kind]:
            missing = sorted(_REQUIRED[kind] - keys)
            extra = sorted(keys - _REQUIRED[kind] - _OPTIONAL[kind])
            raise record.fail(f"a {kind} record with missing keys {missing} or unknown keys {extra}")
        for key, types in _FIELD_TYPES.items():
            if key in record.data and not isinstance(record.data[key], types):
                raise record.fail(f"`{key}` has the wrong type")
        if not _is_name(record.data["name"], dotted=False):
            raise record.fail(f"{record.data['name']!r} is not a valid name")
        if "id" in record.data:
            if record.data["id"] in ids:
                raise record.fail(f"id {record.data['id']} is used twice")
            ids[record.data["id"]] = record
    modules = [r for r in records if r.data["type"] == "module"]
    if len(modules) != 1:
        raise StubError(f"{len(modules)} module records; exactly one is needed")

    def resolve(record: Record, what: str, id_: str, kinds: tuple[str, ...]) -> None:
        target = ids.get(id_) if isinstance(id_, str) else None
        if target is None:
            raise record.fail(f"{what} id {id_} names no record")
        if target.data["type"] not in kinds:
            raise record.fail(f"{what} id {id_} names a {target.data['type']} record")

    for record in records:
        data = record.data
        if "parent" in data:
            resolve(record, "parent", data["parent"], ("class",) if data["type"] == "function" else ("module",))
        for member in data.get("members", ()):
            resolve(record, "member", member, ("class", "function"))
        for expression in _expressions(record):
            _check_expression(record, expression, lambda id_: resolve(record, "expression", id_, ("class",)))


def _is_name(text: Any, dotted: bool = True) -> bool:
    """Whether `text` can be written into the stub as a (dotted) name."""
    if not isinstance(text, str):
        return False
    parts = text.split(".") if dotted else [text]
    return all(part.isidentifier() and not keyword.iskeyword(part) for part in parts)


def _expressions(record: Record) -> Iterator[Any]:
    data = record.data
    yield from data.get("decorators", ())
    for key in ("annotation", "returns"):
        if key in data:
            yield data[key]
    for parameter in _parameters(record):
        yield from (parameter[key] for key in ("annotation", "default") if key in parameter)


def _parameters(record: Record) -> Iterator[dict[str, Any]]:
    arguments = record.data.get("arguments", {})
    if not isinstance(arguments, dict) or not set(arguments) <= {"args", "kwonlyargs", "posonlyargs"}:
        raise record.fail("`arguments` must map args, kwonlyargs and posonlyargs to parameter lists")
    for group in arguments.values():
        for parameter in group if isinstance(group, list) else [None]:
            if not isinstance(parameter, dict) or not _is_name(parameter.get("name"), dotted=False):
                raise record.fail("a parameter without a valid name")
            yield parameter


_EXPRESSION_KEYS = {
    "name": ("id",), "attribute": ("value", "attr"), "subscript": ("value", "slice"),
    "binop": ("left", "op", "right"), "tuple": ("elts",), "list": ("elts",), "constant": ("kind",), "id": ("id",),
}


def _check_expression(record: Record, expression: Any, resolve_id: Callable[[str], None]) -> None:
    kind = expression.get("type") if isinstance(expression, dict) else None
    if not isinstance(kind, str) or kind not in _EXPRESSION_KEYS or any(key not in expression for key in _EXPRESSION_KEYS[kind]):
        raise record.fail(f"not an expression: {json.dumps(expression)}")
    if kind in ("name", "attribute") and not _is_name(expression.get("attr", expression.get("id"))):
        raise record.fail(f"not a valid name: {json.dumps(expression)}")
    if kind == "id":
        resolve_id(expression["id"])
    elif kind == "binop" and expression["op"] != "bitor":
        raise record.fail(f"unknown operator {expression['op']!r}")
    elif kind == "constant" and not (
            expression["kind"] == "none"
            or expression["kind"] == "bool" and isinstance(expression.get("value"), bool)
            or expression["kind"] == "int" and type(expression.get("value")) is int):
        raise record.fail(f"not a none, bool or int constant: {json.dumps(expression)}")
    elif kind in ("tuple", "list") and not isinstance(expression["elts"], list):
        raise record.fail(f"`elts` is not a list: {json.dumps(expression)}")
    for key in ("value", "slice", "left", "right"):
        if kind != "constant" and key in expression:
            _check_expression(record, expression[key], resolve_id)
    for element in expression.get("elts", ()):
        _check_expression(record, element, resolve_id)


# --- writing ------------------------------------------------------------------


class _Writer:
    def __init__(self, records: list[Record]) -> None:
        self.records = records
        self.by_id = {r.data["id"]: r.data for r in records if "id" in r.data}
        self.children: dict[str, list[dict[str, Any]]] = {}
        for record in records:
            if "parent" in record.data:
                self.children.setdefault(record.data["parent"], []).append(record.data)
        self.imports: set[str] = set()
        self.lines: list[str] = []

    def expression(self, e: dict[str, Any], in_subscript: bool = False) -> str:
        kind = e["type"]
        if kind == "name":
            return str(e["id"])
        if kind == "attribute":
            if e["value"]["type"] == "name":
                self.imports.add(e["value"]["id"])
            return f"{self.expression(e['value'])}.{e['attr']}"
        if kind == "subscript":
            return f"{self.expression(e['value'])}[{self.expression(e['slice'], in_subscript=True)}]"
        if kind == "binop":
            return f"{self.expression(e['left'])} | {self.expression(e['right'])}"
        if kind == "tuple":
            elements = ", ".join(self.expression(x) for x in e["elts"])
            if in_subscript and e["elts"]:
                return elements
            return f"({elements},)" if len(e["elts"]) == 1 else f"({elements})"
        if kind == "list":
            return "[" + ", ".join(self.expression(x) for x in e["elts"]) + "]"
        if kind == "constant":
            return "None" if e["kind"] == "none" else str(e["value"])
        return str(self.by_id[e["id"]]["name"])

    def docstring(self, text: str, indent: str) -> None:
        text = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
        text = "".join(c if c in "\n\t" or ord(c) >= 0x20 else f"\\x{ord(c):02x}" for c in text)
        if text.endswith('"'):
            text = text[:-1] + '\\"'
        lines = text.split("\n")
        if len(lines) == 1:
            self.lines.append(f'{indent}"""{text}"""')
            return
        self.lines.append(f'{indent}"""{lines[0]}')
        self.lines.extend(f"{indent}{line}" if line else "" for line in lines[1:])
        self.lines.append(f'{indent}"""')

    def parameter(self, p: dict[str, Any]) -> str:
        text: str = p["name"]
        if "annotation" in p:
            text += f": {self.expression(p['annotation'])}"
        if "default" in p:
            text += (" = " if "annotation" in p else "=") + self.expression(p["default"])
        return text

    def function(self, f: dict[str, Any], indent: str) -> None:
        self.lines.extend(f"{indent}@{self.expression(d)}" for d in f.get("decorators", ()))
        arguments = f["arguments"]
        parts = [self.parameter(p) for p in arguments.get("posonlyargs", ())]
        if parts:
            parts.append("/")
        parts += [self.parameter(p) for p in arguments.get("args", ())]
        if arguments.get("kwonlyargs"):
            parts.append("*")
            parts += [self.parameter(p) for p in arguments["kwonlyargs"]]
        head, tail = f"{indent}def {f['name']}(", f") -> {self.expression(f['returns'])}:"
        if len(head) + len(", ".join(parts)) + len(tail) <= _LINE_LIMIT:
            self.lines.append(head + ", ".join(parts) + tail)
        else:
            self.lines.append(head)
            self.lines.extend(f"{indent}    {part}," for part in parts)
            self.lines.append(indent + tail)
        self.body(f["doc"], indent + "    ")

    def body(self, doc: str, indent: str) -> None:
        if doc:
            self.docstring(doc, indent)
        else:
            self.lines.append(f"{indent}...")

    def klass(self, c: dict[str, Any]) -> None:
        self.lines.extend(f"@{self.expression(d)}" for d in c["decorators"])
        self.lines.append(f"class {c['name']}:")
        self.body(c["doc"], "    ")
        for member in self.children.get(c["id"], ()):
            self.lines.append("")
            self.function(member, "    ")

    def module(self) -> str:
        module = next(r.data for r in self.records if r.data["type"] == "module")
        for attribute in self.children.get(module["id"], ()):
            if attribute["type"] != "attribute":
                raise StubError(f"a {attribute['type']} record whose parent is the module")
            self.lines.append(f"{attribute['name']}: {self.expression(attribute['annotation'])}")
            if attribute["doc"]:
                self.docstring(attribute["doc"], "")
        for member_id in module["members"]:
            self.lines += ["", ""]
            member = self.by_id[member_id]
            if member["type"] == "class":
                self.klass(member)
            else:
                self.function(member, "")
        if module["incomplete"]:
            self.lines += ["", ""]
            self.imports.add("typing")
            self.lines.append("def __getattr__(name: str) -> typing.Any: ...")
        body, self.lines = self.lines, []
        if module["doc"]:
            self.docstring(module["doc"], "")
            self.lines.append("")
        self.lines += [f"import {name}" for name in sorted(self.imports)]
        self.lines += ["", *body]
        return "\n".join(self.lines) + "\n"


def render(records: list[Record]) -> str:
    """The stub text for checked records."""
    return _Writer(records).module()


def stub_from_library(path: str) -> str:
    records = read_records(path)
    check(records)
    return render(records)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quorvel.stubgen",
        description="Write a .pyi type stub from the interface records that a built quorvel library "
        "exports, without importing the library.",
    )
    parser.add_argument("library", help="the built native module, a shared library such as quorvel.abi3.so")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="write the stub to the file OUT (default: standard output)")
    args = parser.parse_args(argv)
    try:
        stub = stub_from_library(args.library)
        if args.output is None:
            sys.stdout.write(stub)
        else:
            try:
                with open(args.output, "w", encoding="utf-8", newline="\n") as out:
                    out.write(stub)
            except OSError as error:
                raise StubError(f"cannot write {args.output}: {error.strerror}") from None
    except StubError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
