"""Package attributes imported on first read, so that importing a package stays cheap."""

from __future__ import annotations

import importlib
from collections.abc import Callable, Mapping
from typing import Any


def lazy_exports(package: str, exports: Mapping[str, str]) -> Callable[[str], Any]:
    """A module ``__getattr__`` for ``package``: ``name`` is read from the module
    ``exports[name]`` (a full module path) each time, so a name rebound or patched there is
    seen through the package too."""

    def __getattr__(name: str) -> Any:
        module = exports.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        return getattr(importlib.import_module(module), name)

    return __getattr__
