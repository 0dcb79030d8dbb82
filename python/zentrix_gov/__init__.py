"""Evaluation SDK for generative-AI applications.

Importing the package is kept cheap: submodules that pull in pandas, aiohttp or the judge
libraries are imported only where they are used.
"""

__version__ = "0.1.0"

__all__ = ["__version__"]

# Public entry points (for example ``evaluate``) are added below this line.

# Loaded on first use so that ``import zentrix_gov`` does not import pandas or the driver.
_LAZY_ATTRIBUTES = {
    "evaluate": "zentrix_gov.evaluation",
    "evaluate_async": "zentrix_gov.evaluation",
}
__all__ += list(_LAZY_ATTRIBUTES)


def __getattr__(name: str):
    module_name = _LAZY_ATTRIBUTES.get(name)
    if module_name is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module_name), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY_ATTRIBUTES))
