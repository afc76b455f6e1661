"""The stand-in storage master of tests/peer, for the examples that read and write against one: imported by its
path in the repository, since tests/ is no package on the path."""

import importlib.util
from pathlib import Path
from types import ModuleType


def load() -> ModuleType:
    path = Path(__file__).resolve().parents[1] / "tests" / "peer" / "storage_master.py"
    spec = importlib.util.spec_from_file_location("storage_master", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
