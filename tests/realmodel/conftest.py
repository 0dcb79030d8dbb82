"""The real-model tests run the packaged local model (the ``local-model`` extra): they are
marked ``realmodel`` and skipped when the extra is not installed."""

from __future__ import annotations

import importlib.util

import pytest


def _installed() -> bool:
    from zentrix_gov.local.model.files import MODEL

    names = ("xllamacpp", *MODEL.part_packages)
    return all(importlib.util.find_spec(name) is not None for name in names)


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    if _installed():
        return
    skip = pytest.mark.skip(reason="the local-model extra is not installed")
    for item in items:
        if item.get_closest_marker("realmodel"):
            item.add_marker(skip)
