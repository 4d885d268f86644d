"""Which build of quorvel a run measures: its wheel, its library and the compiler that made it.

The compiler is read from the library's ELF `.comment` section, where GCC,
clang and lld each leave a line ("GCC: (Debian 12.2.0-14) 12.2.0", "clang
version 19.1.0", "Linker: LLD 19.1.0"); the wheel from the file a run was
given, or else from the installed distribution's WHEEL tags, which tell a
wheel built here (linux_x86_64) from a release one (manylinux_2_17_x86_64).
"""

from __future__ import annotations

import importlib.metadata
import struct
from pathlib import Path


def elf_comment(library: Path) -> list[str]:
    """The strings of an ELF file's .comment section, [] if it has none."""
    data = library.read_bytes()
    if data[:4] != b"\x7fELF" or data[4] not in (1, 2) or data[5] not in (1, 2):
        return []
    wide, order = data[4] == 2, "<" if data[5] == 1 else ">"
    if wide:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", data, 0x3A)
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", data, 0x2E)

    def section(i: int) -> tuple[int, int, int]:
        """name offset, file offset, size"""
        at = shoff + i * shentsize
        if wide:
            name, _, _, _, offset, size = struct.unpack_from(order + "IIQQQQ", data, at)
        else:
            name, _, _, _, offset, size = struct.unpack_from(order + "IIIIII", data, at)
        return name, offset, size

    if shoff == 0 or shstrndx >= shnum:
        return []
    _, names, _ = section(shstrndx)
    for i in range(shnum):
        name, offset, size = section(i)
        if data[names + name:].split(b"\0", 1)[0] == b".comment":
            texts = [t.decode(errors="replace") for t in data[offset:offset + size].split(b"\0")]
            return list(dict.fromkeys(t for t in texts if t))
    return []


def wheel_tags(distribution: str = "quorvel") -> list[str]:
    """The Tag lines of the installed distribution's WHEEL file."""
    try:
        text = importlib.metadata.distribution(distribution).read_text("WHEEL") or ""
    except importlib.metadata.PackageNotFoundError:
        return []
    return [line.split(":", 1)[1].strip() for line in text.splitlines() if line.startswith("Tag:")]


def describe(module, wheel: str | None = None) -> dict:
    """What a run measures: the library of `module` (quorvel.quorvel), its
    compiler, and the wheel it came from (a file name, or the installed tags)."""
    library = Path(module.__file__)
    return {"library": library.name, "compiler": elf_comment(library),
            "wheel": wheel, "tags": wheel_tags()}


def summary(build: dict) -> str:
    """One line for a report: 'the wheel X, built by Y'."""
    if build.get("wheel"):
        source = f"the wheel {build['wheel']}"
    elif build.get("tags"):
        source = "an installed wheel tagged " + ", ".join(build["tags"])
    else:
        source = f"the library {build.get('library', '?')}"
    compiler = "; ".join(build.get("compiler") or []) or "no compiler named in .comment"
    return f"{source}, built by {compiler}"
