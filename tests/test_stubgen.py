"""The stub writer: the shipped stub is what it makes, and bad libraries are refused clearly."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel.quorvel as native

pytest.importorskip("elftools", reason="the stub writer needs pyelftools")

SOURCE = Path(__file__).resolve().parents[1] / "src" / "quorvel"
LIBRARY = Path(native.__file__).resolve()
try:
    from quorvel import stubgen
except ImportError:  # a development tree whose package links only the library
    spec = importlib.util.spec_from_file_location("stubgen", SOURCE / "stubgen.py")
    stubgen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(stubgen)


def test_shipped_stub_is_what_the_library_describes(tmp_path):
    shipped = (SOURCE / "quorvel.pyi").read_text(encoding="utf-8")
    run = subprocess.run([sys.executable, stubgen.__file__, str(LIBRARY)], capture_output=True, check=True)
    assert run.stdout.decode("utf-8") == shipped
    assert stubgen.main([str(LIBRARY), "-o", str(tmp_path / "out.pyi")]) == 0
    assert (tmp_path / "out.pyi").read_text(encoding="utf-8") == shipped


def patched(old, new, count=1):
    """The built library with the first `count` occurrences of `old` replaced (-1: all)."""
    def make(path):
        data = LIBRARY.read_bytes()
        assert len(old) == len(new) and old in data
        path.write_bytes(data.replace(old, new, count))
    return make


def length_of_module_record(shift):
    def make(path):
        data = bytearray(LIBRARY.read_bytes())
        at = data.index(b'{"doc":"Python bindings') - 4
        data[at:at + 4] = (int.from_bytes(data[at:at + 4], "little") + shift).to_bytes(4, "little")
        path.write_bytes(data)
    return make


def digit_changed_after(marker):
    def make(path):
        data = bytearray(LIBRARY.read_bytes())
        at = data.index(marker) + len(marker)
        data[at] = ord("0") + (data[at] - ord("0") + 1) % 10
        path.write_bytes(data)
    return make


@pytest.mark.parametrize("make, message", [
    (lambda path: path.write_text("not a library\n"), "not an ELF file"),
    (lambda path: path.write_bytes(LIBRARY.read_bytes()[:200]), "not a readable ELF file"),
    (patched(b"\x7fELF\x02\x01\x01\x00" + bytes(8) + b"\x03\x00", b"\x7fELF\x02\x01\x01\x00" + bytes(8) + b"\x02\x00"),
     "not a shared library (ELF type ET_EXEC)"),
    (patched(b"quorvel_interface_record_1_", b"quorvel_interface_recorder_", -1),
     "exports no interface records (no symbol quorvel_interface_record_1_<n>)"),
    (patched(b"quorvel_interface_record_1_", b"quorvel_interface_record_2_", -1),
     "its records are of format version 2; this writer reads version 1"),
    (length_of_module_record(1 << 20), "runs past the end of its"),
    (length_of_module_record(-1), "ends before its JSON text does"),
    (patched(b'"incomplete":false', b'"incomplete":fa1se'), "invalid JSON"),
    (patched("\u2014".encode(), b"\xff\xfe\xfd", -1), "not UTF-8 text"),
    (patched(b'"type":"module"', b'"type":"modulo"'), "not a module, class, function or attribute record"),
    (digit_changed_after(b'"parent":"'), "names no record"),
    (digit_changed_after(b'"members":["'), "member id"),
    (digit_changed_after(b'"returns":{"type":"id","id":"'), "expression id"),
])
def test_bad_input_is_refused_with_its_reason(tmp_path, capsys, make, message):
    library = tmp_path / "broken.so"
    make(library)
    assert stubgen.main([str(library)]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("python -m quorvel.stubgen: error: ") and message in err, err
    assert err.count("\n") == 1, "one line, no traceback"


def test_missing_file_and_missing_pyelftools(tmp_path, capsys, monkeypatch):
    assert stubgen.main([str(tmp_path / "absent.so")]) == 1
    assert "cannot read" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "elftools.common.exceptions", None)
    assert stubgen.main([str(LIBRARY)]) == 1
    assert "pyelftools is needed to read libraries: pip install 'quorvel[stubgen]'" in capsys.readouterr().err
