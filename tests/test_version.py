"""The version has one home, pyproject.toml; the module and the installed metadata both report it."""

import importlib.metadata
import pathlib
import re

import pytest

import quorvel
import quorvel.quorvel as native

PYPROJECT = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"


def declared_version():
    # tomllib arrived in 3.11; the one line is enough and keeps 3.10 covered.
    match = re.search(r'^version = "([^"]+)"$', PYPROJECT.read_text(encoding="utf-8"), re.MULTILINE)
    assert match, "pyproject.toml declares no version"
    return match.group(1)


def test_module_reports_the_declared_version():
    # Holds for every build: a wheel (handed in by the build backend) and the
    # plain CMake testing build (read from pyproject.toml by CMake).
    assert quorvel.__version__ is native.__version__
    assert native.__version__ == declared_version()


def test_installed_metadata_agrees_with_the_module():
    try:
        dist = importlib.metadata.distribution("quorvel")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("quorvel is laid out on the path here, not installed from a wheel or sdist")
    # The distribution found must be the one imported, or the comparison means nothing.
    files = {str(f) for f in dist.files or ()}
    assert "quorvel/__init__.py" in files
    assert pathlib.Path(dist.locate_file("quorvel/__init__.py")).resolve() == pathlib.Path(quorvel.__file__).resolve()
    assert importlib.metadata.version("quorvel") == quorvel.__version__
    assert dist.metadata["License-Expression"] == "MIT"
    assert any(f.endswith("/licenses/LICENSE") for f in files)
