"""Run a function right after a module is first imported, without importing it ourselves."""

from __future__ import annotations

import importlib.abc
import importlib.util
import sys
import threading
from collections.abc import Callable
from types import ModuleType
from typing import Any

_lock = threading.Lock()
_pending: dict[str, list[Callable[[ModuleType], Any]]] = {}


class _Loader(importlib.abc.Loader):
    """Executes the real loader, then the module's callbacks."""

    def __init__(self, loader: importlib.abc.Loader) -> None:
        self._loader = loader

    def create_module(self, found: Any) -> ModuleType | None:
        return self._loader.create_module(found)

    def exec_module(self, module: ModuleType) -> None:
        self._loader.exec_module(module)
        with _lock:
            callbacks = _pending.pop(module.__name__, [])
        for callback in callbacks:
            callback(module)


class _Finder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname: str, path: Any = None, target: Any = None) -> Any:
        if fullname not in _pending:
            return None
        for finder in sys.meta_path:
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            found = finder.find_spec(fullname, path, target)
            if found is not None:
                if found.loader is not None and hasattr(found.loader, "exec_module"):
                    found.loader = _Loader(found.loader)
                return found
        return None


_finder = _Finder()


def when_imported(name: str, callback: Callable[[ModuleType], Any]) -> None:
    """Call ``callback(module)`` once module ``name`` has executed.

    If the module is already imported the callback runs now. Otherwise it runs right after
    the module's own code, before any other module can import names from it.
    """
    module = sys.modules.get(name)
    if module is not None:
        callback(module)
        return
    with _lock:
        _pending.setdefault(name, []).append(callback)
        if _finder not in sys.meta_path:
            sys.meta_path.insert(0, _finder)
