"""What the ``risk`` command's options name, checked before any work: the model under test
(``--model MODULE:FUNCTION`` or ``FILE.py:FUNCTION``), the risks and their thresholds."""

from __future__ import annotations

import importlib
import importlib.util
import os
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from zentrix_gov.cli.errors import UsageError, describe
from zentrix_gov.model_risk import rules


def load_model(target: str) -> Callable[..., Any]:
    """The callable named by ``MODULE:FUNCTION`` or ``FILE.py:FUNCTION``."""
    where, _, name = target.rpartition(":")
    if not where or not name:
        raise UsageError(f"--model must look like MODULE:FUNCTION, got {target!r}")
    try:
        if where.endswith(".py"):
            path = Path(where)
            if not path.is_file():
                raise UsageError(f"--model: no such file {where!r}")
            module_source = importlib.util.spec_from_file_location(path.stem, path)
            module = importlib.util.module_from_spec(module_source)
            module_source.loader.exec_module(module)
        else:
            if os.getcwd() not in sys.path and "" not in sys.path:
                sys.path.insert(0, os.getcwd())
            module = importlib.import_module(where)
    except UsageError:
        raise
    except Exception as exc:
        raise UsageError(f"--model: cannot import {where!r}: {describe(exc)}") from exc
    function = getattr(module, name, None)
    if not callable(function):
        raise UsageError(f"--model: {where!r} has no callable named {name!r}")
    return function


def parse_thresholds(
    text: str | None, risks: list[str] | None = None
) -> float | dict[str, float] | None:
    """The limits of ``--thresholds``, checked; a risk named must be a built-in one or one
    of ``risks`` (those of --risks)."""
    if text is None:
        return None
    thresholds: float | dict[str, float]
    try:
        if "=" not in text:
            thresholds = float(text)
        else:
            thresholds = {}
            for part in text.split(","):
                risk, _, value = part.partition("=")
                if risk.strip() in thresholds:
                    raise UsageError(
                        f"--thresholds sets {risk.strip()!r} twice; give each risk one limit"
                    )
                thresholds[risk.strip()] = float(value)
    except ValueError:
        raise UsageError(f"--thresholds must be a number or RISK=NUMBER,... got {text!r}") from None
    known = [*rules.RISK_NAMES, *(name for name in risks or () if name not in rules.RISK_NAMES)]
    try:
        rules.check_thresholds(thresholds, known)
    except ValueError as exc:
        raise UsageError(f"--thresholds: {exc}") from None
    return thresholds


def parse_risks(text: str | None) -> list[str] | None:
    """The names of --risks as given: the plug-in decides which it knows."""
    if text is None:
        return None
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise UsageError(
            f"--risks names no risk; leave the option out to evaluate all of them "
            f"({', '.join(rules.RISK_NAMES)})"
        )
    return names
