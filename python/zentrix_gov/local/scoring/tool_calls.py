"""Tool-call accuracy: the assistant's calls checked against the tools catalogue."""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import Any

from .common import Detection, DetectorError

_JSON_TYPES: dict[str, Callable[[Any], bool]] = {
    "string": lambda v: isinstance(v, str),
    "integer": lambda v: (
        (isinstance(v, int) and not isinstance(v, bool))
        or (isinstance(v, float) and v.is_integer())
    ),
    "number": lambda v: isinstance(v, int | float) and not isinstance(v, bool),
    "boolean": lambda v: isinstance(v, bool),
    "array": lambda v: isinstance(v, list),
    "object": lambda v: isinstance(v, dict),
    "null": lambda v: v is None,
}


def _json_type_name(value: Any) -> str:
    for name in ("boolean", "integer", "number", "string", "array", "object", "null"):
        if _JSON_TYPES[name](value):
            return name
    return type(value).__name__


def _catalogue(tools: Any) -> dict[str, dict[str, Any]]:
    """Function name -> its description, from OpenAI-style or flat tool objects."""
    if not isinstance(tools, list):
        raise DetectorError("'tools' must be a list of tool descriptions.")
    functions = {}
    for tool in tools:
        function = tool.get("function", tool) if isinstance(tool, dict) else None
        if not isinstance(function, dict) or not isinstance(function.get("name"), str):
            raise DetectorError(f"Tool description {tool!r} has no function name.")
        functions[function["name"]] = function
    return functions


def _argument_faults(
    function: dict[str, Any], arguments: dict[str, Any]
) -> list[tuple[float, str]]:
    schema = function.get("parameters")
    if not isinstance(schema, dict):
        return []  # nothing declared, nothing to check
    properties = schema.get("properties") or {}
    required = schema.get("required") or []
    faults = []
    missing = [name for name in required if name not in arguments]
    if missing:
        faults.append((1.0, "missing required argument(s) " + ", ".join(map(repr, missing))))
    for name, value in arguments.items():
        declared = properties.get(name)
        if declared is None:
            continue
        expected = declared.get("type") if isinstance(declared, dict) else None
        expected_types = [expected] if isinstance(expected, str) else expected or []
        checks = [_JSON_TYPES[t] for t in expected_types if t in _JSON_TYPES]
        if checks and not any(check(value) for check in checks):
            faults.append(
                (
                    0.8,
                    f"argument {name!r} should be {' or '.join(expected_types)}, "
                    f"got {_json_type_name(value)}",
                )
            )
        elif isinstance(declared, dict) and "enum" in declared and value not in declared["enum"]:
            faults.append((0.8, f"argument {name!r} must be one of {declared['enum']!r}"))
    unknown = [name for name in arguments if name not in properties]
    if unknown:
        faults.append((0.5, "unexpected argument(s) " + ", ".join(map(repr, unknown))))
    return faults


def _tool_call_faults(call: Any, functions: dict[str, dict[str, Any]]) -> list[tuple[float, str]]:
    function = call.get("function") if isinstance(call, dict) else None
    name = function.get("name") if isinstance(function, dict) else None
    if not isinstance(name, str):
        return [(1.0, "malformed tool call: no function name")]
    declared = functions.get(name)
    if declared is None:
        return [(1.0, f"unknown function {name!r}")]
    arguments = function.get("arguments")
    if arguments is None:
        arguments = {}
    if isinstance(arguments, str):
        try:
            arguments = json.loads(arguments) if arguments.strip() else {}
        except ValueError:
            return [(1.0, f"arguments of {name!r} are not valid JSON")]
    if not isinstance(arguments, dict):
        return [(1.0, f"arguments of {name!r} must be an object")]
    return _argument_faults(declared, arguments)


def detect_tool_call_accuracy(params: dict[str, Any], messages: Any, tools: Any) -> list[Detection]:
    """One detection per faulty tool call; none when every call fits the catalogue."""
    if not isinstance(messages, list) or not all(isinstance(m, dict) for m in messages):
        raise DetectorError("'messages' must be a list of message objects.")
    assistant = next(
        (m for m in reversed(messages) if m.get("role") == "assistant" and "tool_calls" in m),
        None,
    )
    if assistant is None:
        raise DetectorError("'messages' must hold an assistant message with 'tool_calls'.")
    calls = assistant["tool_calls"] or []
    if not isinstance(calls, list):
        raise DetectorError("'tool_calls' must be a list.")
    functions = _catalogue(tools)
    if not calls:
        return [
            {
                "detection_type": "tool_call_accuracy",
                "detection": "no tool was called",
                "score": 1.0,
            }
        ]
    detections = []
    for index, call in enumerate(calls):
        faults = _tool_call_faults(call, functions)
        if not faults:
            continue
        function = call.get("function") if isinstance(call, dict) else None
        detections.append(
            {
                "detection_type": "tool_call_accuracy",
                "detection": "; ".join(message for _, message in faults),
                "score": max(score for score, _ in faults),
                "tool_call_index": index,
                "tool_call_id": call.get("id") if isinstance(call, dict) else None,
                "function_name": function.get("name") if isinstance(function, dict) else None,
            }
        )
    return detections
