"""The interface records the built library exports, read straight from the file."""

import json
from collections import Counter
from pathlib import Path

import pytest

import quorvel.quorvel as native

pytest.importorskip("elftools", reason="reading the library's records needs pyelftools")
from elftools.elf.elffile import ELFFile  # noqa: E402

PREFIX = "quorvel_interface_record_1_"


@pytest.fixture(scope="module")
def raw():
    """(symbol, address, the record's object, its bytes up to the next record) in address order."""
    with open(Path(native.__file__).resolve(), "rb") as f:
        elf = ELFFile(f)
        loads = [s for s in elf.iter_segments() if s["p_type"] == "PT_LOAD"]

        def read(address, size):
            segment = next(s for s in loads if s["p_vaddr"] <= address < s["p_vaddr"] + s["p_filesz"])
            f.seek(segment["p_offset"] + address - segment["p_vaddr"])
            return f.read(size)

        symbols = sorted((s["st_value"], s["st_size"], s.name)
                         for s in elf.get_section_by_name(".dynsym").iter_symbols() if s.name.startswith(PREFIX))
        ends = [address for address, _, _ in symbols[1:]] + [sum(symbols[-1][:2])]
        return [(name, address, read(address, size), read(address, end - address))
                for (address, size, name), end in zip(symbols, ends)]


@pytest.fixture(scope="module")
def records(raw):
    return [json.loads(data[4:4 + int.from_bytes(data[:4], "little")]) for _, _, data, _ in raw]


@pytest.fixture(scope="module")
def owned(records):
    """Records by (owner name or None, name)."""
    names = {r["id"]: r["name"] for r in records if "id" in r}
    return {(names.get(r.get("parent")), r["name"]): r for r in records}


def test_each_record_is_one_aligned_compact_json_text_then_zeros(raw):
    for name, address, data, up_to_next in raw:
        length = int.from_bytes(data[:4], "little")
        text = data[4:4 + length].decode("utf-8")
        record = json.loads(text)
        assert address % 4 == 0 and 4 + length <= len(data), name
        assert json.dumps(record, separators=(",", ":"), ensure_ascii=False) == text, name
        assert list(record) == sorted(record) and record["type"] in ("module", "class", "function", "attribute")
        assert not any(up_to_next[4 + length:]), f"nonzero bytes after {name}"
    assert sorted(int(name[len(PREFIX):]) for name, *_ in raw) == list(range(1, len(raw) + 1))


def test_counts_and_links(records):
    ids = {r["id"]: r for r in records if "id" in r}
    assert len(ids) == sum("id" in r for r in records) == 4
    kinds = Counter((r["type"], ids[r["parent"]]["name"] if "parent" in r else None) for r in records)
    # One record for every member the class dictionary shows (its slots' wrappers included), but
    # for the reflected operators: an operator's slot makes both wrappers, and one record says it.
    reflected = {"__ror__", "__rand__", "__rsub__", "__rxor__"}
    members = {cls.__name__: len(set(vars(cls)) - {"__doc__", "__module__"} - reflected)
               for cls in (native.AVLTree, native._AVLTreeIterator)}
    assert kinds == {("module", None): 1, ("attribute", "quorvel"): 2, ("class", None): 2, ("function", None): 1,
                     ("function", "AVLTree"): members["AVLTree"],
                     ("function", "_AVLTreeIterator"): members["_AVLTreeIterator"]}
    assert members["AVLTree"] >= 31 and members["_AVLTreeIterator"] >= 2
    for record in (r for r in records if "parent" in r):
        assert ids[record["parent"]]["type"] == ("class" if record["type"] == "function" else "module")
    (module,) = [r for r in records if r["type"] == "module"]
    assert [ids[m]["name"] for m in module["members"]] == ["AVLTree", "_AVLTreeIterator",
                                                           "_avltree_from_sorted_entries"]
    assert (module["name"], module["doc"], module["incomplete"]) == ("quorvel", native.__doc__, False)


def test_docs_and_decorators_are_those_registered(owned):
    final = [{"type": "attribute", "value": {"type": "name", "id": "typing"}, "attr": "final"}]
    for cls in (native.AVLTree, native._AVLTreeIterator):
        assert (owned[None, cls.__name__]["doc"], owned[None, cls.__name__]["decorators"]) == (cls.__doc__, final)
    for name in [n for n in native.AVLTree.__dict__ if not n.startswith("__") or n in ("__reduce__", "__reversed__")]:
        assert owned["AVLTree", name]["doc"] == getattr(native.AVLTree, name).__doc__, name
    assert owned["AVLTree", "height"]["decorators"] == [{"type": "name", "id": "property"}]
    assert owned[None, "_avltree_from_sorted_entries"]["doc"] == native._avltree_from_sorted_entries.__doc__


def name(id_):
    return {"type": "name", "id": id_}


def attr(module, attribute):
    return {"type": "attribute", "value": name(module), "attr": attribute}


def union(left, right):
    return {"type": "binop", "left": left, "op": "bitor", "right": right}


def sub(value, slice_):
    return {"type": "subscript", "value": value, "slice": slice_}


def bool_(value):
    return {"type": "constant", "kind": "bool", "value": value}


ANY, NONE, SELF, BOOL = attr("typing", "Any"), {"type": "constant", "kind": "none"}, {"name": "self"}, \
    attr("builtins", "bool")
KEY = union(union(name("str"), sub(attr("typing", "Callable"),
                                   {"type": "tuple", "elts": [{"type": "list", "elts": [ANY]}, ANY]})), NONE)


def test_annotations(owned):
    tree, iterator = ({"type": "id", "id": owned[None, n]["id"]} for n in ("AVLTree", "_AVLTreeIterator"))
    expected = {
        ("AVLTree", "__new__"): (tree, {
            "args": [{"annotation": union(sub(attr("typing", "Iterable"), ANY), NONE), "default": NONE,
                      "name": "values"}],
            "kwonlyargs": [{"annotation": KEY, "default": NONE, "name": "key"}], "posonlyargs": [{"name": "cls"}]}),
        ("AVLTree", "range"): (iterator, {
            "args": [{"annotation": union(ANY, NONE), "default": NONE, "name": "start"},
                     {"annotation": union(ANY, NONE), "default": NONE, "name": "end"}],
            "kwonlyargs": [{"annotation": BOOL, "default": bool_(True), "name": "include_start"},
                           {"annotation": BOOL, "default": bool_(False), "name": "include_end"}],
            "posonlyargs": [SELF]}),
        ("AVLTree", "iter_from"): (iterator, {
            "args": [{"annotation": ANY, "name": "start"}, {"annotation": attr("builtins", "int"), "name": "count"}],
            "posonlyargs": [SELF]}),
        ("AVLTree", "__contains__"): (BOOL, {"posonlyargs": [SELF, {"annotation": ANY, "name": "value"}]}),
        (None, "_avltree_from_sorted_entries"): (tree, {
            "args": [{"annotation": sub(attr("collections.abc", "Sequence"),
                                        sub(attr("builtins", "tuple"), {"type": "tuple", "elts": [ANY, ANY]})),
                      "name": "pairs"},
                     {"annotation": KEY, "name": "key_spec"}]}),
    }
    for key, (returns, arguments) in expected.items():
        # Dumped, so that the order of keys is compared too.
        assert json.dumps(owned[key]["arguments"]) == json.dumps(arguments), key
        assert json.dumps(owned[key]["returns"]) == json.dumps(returns), key
    assert owned["quorvel", "__version__"]["annotation"] == sub(attr("typing", "Final"), attr("builtins", "str"))
