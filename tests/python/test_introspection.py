"""Discoverability: every class and callable of the module has a signature inspect can read and a docstring that
says more than that signature; __version__ is the package version."""

import inspect
import re
from pathlib import Path

import pytest

import pyostrel

CLASSES = {n: v for n, v in vars(pyostrel).items() if isinstance(v, type)}
FUNCTIONS = {n: v for n, v in vars(pyostrel).items() if callable(v) and not isinstance(v, type)}
# Every callable a class defines itself, slot wrappers and __new__ included.
METHODS = {f"{c}.{n}": getattr(cls, n) for c, cls in CLASSES.items() for n in vars(cls) if callable(getattr(cls, n))}
PUBLIC_METHODS = {k: v for k, v in METHODS.items() if not k.split(".")[1].startswith("_")}


def test_the_module_is_covered():
    assert len(CLASSES) > 100 and len(FUNCTIONS) >= 10 and len(PUBLIC_METHODS) > 700


@pytest.mark.parametrize("name", CLASSES)
def test_class_signature_and_doc(name):
    cls = CLASSES[name]
    assert cls.__doc__ and "\n--\n" not in cls.__doc__
    if str(inspect.signature(cls)) != "()":
        return
    try:
        cls()
    except TypeError as e:  # the classes without a constructor say where instances come from
        assert str(e) == f"No constructor defined for {name}"
        assert "Not constructible: instances come only from" in cls.__doc__


@pytest.mark.parametrize("name", [*FUNCTIONS, *METHODS])
def test_callable_signature(name):
    fn = FUNCTIONS.get(name) or METHODS[name]
    params = list(inspect.signature(fn).parameters)
    if name in PUBLIC_METHODS:
        assert params[:1] == ["self"]
    elif name in FUNCTIONS:
        assert "self" not in params


@pytest.mark.parametrize("name", [*FUNCTIONS, *PUBLIC_METHODS])
def test_callable_doc_beyond_its_signature(name):
    doc = (FUNCTIONS.get(name) or METHODS[name]).__doc__ or ""
    assert doc.strip() and "\n--\n" not in doc


def test_version_is_the_package_version():
    text = (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text()
    try:
        import tomllib
    except ImportError:  # before 3.11: the [project] table's version line
        version = re.search(r'^\[project\]$.*?^version\s*=\s*"([^"]+)"', text, re.M | re.S)[1]
    else:
        version = tomllib.loads(text)["project"]["version"]
    assert pyostrel.__version__ == version and isinstance(version, str)
