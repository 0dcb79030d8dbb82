"""Argument types of the command line's options: checked values or a readable error."""

from __future__ import annotations

import argparse


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds >= 0, got {text}")
    return value


def fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text!r}") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, got {text}")
    return value


def non_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number >= 0, got {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text}")
    return value


def port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a port number, got {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535, got {value}")
    return value


def positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a finite number > 0, got {text}")
    return value


def metric_resources(text: str) -> tuple[str, dict[str, object]]:
    """``NAME=JSON``: a metric's name and the Ray actor options of its workers."""
    import json

    name, sep, options = text.partition("=")
    if not sep or not name.strip():
        raise argparse.ArgumentTypeError(
            f'expected METRIC={{"num_gpus": 1}} (a metric and Ray options), got {text!r}'
        )
    try:
        value = json.loads(options)
    except json.JSONDecodeError:
        raise argparse.ArgumentTypeError(
            f"the options of {name.strip()!r} must be a JSON object, got {options!r}"
        ) from None
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError(
            f"the options of {name.strip()!r} must be a JSON object, got {options!r}"
        )
    return name.strip(), value


def temperature(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 <= value <= 2:
        raise argparse.ArgumentTypeError(f"must be from 0 to 2, got {text}")
    return value
