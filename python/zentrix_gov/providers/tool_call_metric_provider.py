"""Tool calls and tool catalogues in the OpenAI chat format."""

from __future__ import annotations

import inspect
import json
import types
import typing
from collections.abc import Callable, Mapping
from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, Field

from zentrix_gov.utils.python_utils import is_missing

# Checked in order: bool before int, since bool is a subclass of int.
_JSON_TYPES: dict[type, str] = {
    bool: "boolean",
    str: "string",
    int: "integer",
    float: "number",
    list: "array",
    tuple: "array",
    set: "array",
    frozenset: "array",
    dict: "object",
}


class ToolParameters(BaseModel):
    model_config = ConfigDict(extra="forbid")

    type: Literal["object"] = "object"
    properties: dict[str, dict[str, Any]] = Field(default_factory=dict)
    required: list[str] = Field(default_factory=list)


class ToolFunction(BaseModel):
    model_config = ConfigDict(extra="forbid")

    name: str
    description: str = ""
    parameters: ToolParameters = Field(default_factory=ToolParameters)


class ToolSchema(BaseModel):
    """One tool as offered to a chat model; ``model_dump()`` gives the OpenAI tools format."""

    model_config = ConfigDict(extra="forbid")

    type: Literal["function"] = "function"
    function: ToolFunction


def _json_schema_for(annotation: Any) -> dict[str, Any]:
    """The JSON-schema fragment for one parameter annotation."""
    if annotation is inspect.Parameter.empty or annotation is Any:
        return {"type": "string"}
    origin = typing.get_origin(annotation)
    if origin is typing.Annotated:
        return _json_schema_for(typing.get_args(annotation)[0])
    if origin in (typing.Union, types.UnionType):
        members = [arg for arg in typing.get_args(annotation) if arg is not type(None)]
        if len(members) == 1:
            return _json_schema_for(members[0])
        # A real union of several types: the first member decides.
        return _json_schema_for(members[0]) if members else {"type": "string"}
    if origin is Literal:
        choices = list(typing.get_args(annotation))
        schema = _json_schema_for(type(choices[0])) if choices else {"type": "string"}
        schema["enum"] = choices
        return schema
    base = origin if origin is not None else annotation
    if isinstance(base, type):
        for python_type, json_type in _JSON_TYPES.items():
            if issubclass(base, python_type):
                schema: dict[str, Any] = {"type": json_type}
                if json_type == "array":
                    args = [arg for arg in typing.get_args(annotation) if arg is not Ellipsis]
                    if args:
                        schema["items"] = _json_schema_for(args[0])
                return schema
    return {"type": "string"}


def _describe_parameters(fn: Callable[..., Any]) -> dict[str, str]:
    """Parameter descriptions from a Google-style ("Args:") or Sphinx-style docstring."""
    descriptions: dict[str, str] = {}
    in_args_section = False
    for raw_line in (inspect.getdoc(fn) or "").splitlines():
        line = raw_line.strip()
        if line.startswith(":param "):
            name, _, text = line[len(":param ") :].partition(":")
            descriptions[name.split()[-1]] = text.strip()
        elif line.lower() in {"args:", "arguments:", "parameters:"}:
            in_args_section = True
        elif in_args_section:
            name, sep, text = line.partition(":")
            name = name.split("(")[0].strip()
            if not line or (sep and not text.strip() and " " not in name):
                # A blank line or the next section header ("Returns:") ends the list.
                in_args_section = False
            elif sep and name.isidentifier():
                descriptions[name] = text.strip()
    return descriptions


def _first_paragraph(fn: Callable[..., Any]) -> str:
    doc = inspect.getdoc(fn) or ""
    return " ".join(doc.split("\n\n", 1)[0].split())


class ToolCallMetricProvider:
    """Helpers to read a model's tool calls and to describe Python functions as tools."""

    @classmethod
    def extract_tool_calls_from_response(cls, value: Any) -> list[dict[str, Any]]:
        """The tool calls held in one record's cell, each shaped like an OpenAI tool call.

        Accepts a list of tool calls, a dict with "tool_calls", an OpenAI chat completion
        (``choices[0].message.tool_calls``), an object with a ``tool_calls`` attribute, and
        empty cells (no tool calls). Flat calls ``{"name", "arguments"}`` are wrapped.
        """
        calls = cls._find_tool_calls(value)
        return [cls._normalise_call(call, value) for call in calls]

    @classmethod
    def _find_tool_calls(cls, value: Any) -> list[Any]:
        if is_missing(value):
            return []
        if isinstance(value, str):
            text = value.strip()
            if not text:
                return []
            try:
                decoded = json.loads(text)
            except ValueError as exc:
                raise ValueError(
                    f"Tool calls must be given as JSON; could not decode {_preview(value)}."
                ) from exc
            return cls._find_tool_calls(decoded)
        if isinstance(value, (list, tuple)):
            return list(value)
        if isinstance(value, Mapping):
            if "tool_calls" in value:
                return cls._find_tool_calls(value["tool_calls"])
            choices = value.get("choices")
            if isinstance(choices, (list, tuple)) and choices:
                message = _get(choices[0], "message")
                return cls._find_tool_calls(_get(message, "tool_calls"))
            if "function" in value or "name" in value:
                return [value]
        else:
            tool_calls = getattr(value, "tool_calls", None)
            if tool_calls is not None or hasattr(value, "tool_calls"):
                return cls._find_tool_calls(tool_calls)
            choices = getattr(value, "choices", None)
            if choices:
                message = _get(choices[0], "message")
                return cls._find_tool_calls(_get(message, "tool_calls"))
            tolist = getattr(value, "tolist", None)
            if callable(tolist):
                return cls._find_tool_calls(tolist())
        raise ValueError(f"Cannot read tool calls from {_preview(value)}.")

    @classmethod
    def _normalise_call(cls, call: Any, source: Any) -> dict[str, Any]:
        if isinstance(call, BaseModel):
            call = call.model_dump()
        elif not isinstance(call, Mapping) and hasattr(call, "function"):
            call = {
                "id": getattr(call, "id", None),
                "type": getattr(call, "type", "function"),
                "function": getattr(call, "function", None),
            }
        if not isinstance(call, Mapping):
            raise ValueError(f"A tool call must be an object; got {_preview(call)}.")
        function = call.get("function")
        if function is None:
            # Flat form: {"name": ..., "arguments": ...}.
            function = {"name": call.get("name"), "arguments": call.get("arguments", {})}
        elif isinstance(function, BaseModel):
            function = function.model_dump()
        elif not isinstance(function, Mapping):
            function = {
                "name": getattr(function, "name", None),
                "arguments": getattr(function, "arguments", {}),
            }
        name = function.get("name")
        if not isinstance(name, str) or not name:
            raise ValueError(f"A tool call has no function name in {_preview(source)}.")
        arguments = function.get("arguments")
        if arguments is None:
            arguments = {}
        if not isinstance(arguments, (str, Mapping)):
            raise ValueError(
                f"The arguments of tool call {name!r} must be JSON text or an object, "
                f"got {type(arguments).__name__}."
            )
        normalised: dict[str, Any] = {}
        if call.get("id") is not None:
            normalised["id"] = call["id"]
        normalised["type"] = "function"
        normalised["function"] = {
            "name": name,
            "arguments": dict(arguments) if isinstance(arguments, Mapping) else arguments,
        }
        return normalised

    @classmethod
    def get_tools_list_schema(cls, tools: list[Callable[..., Any]]) -> list[ToolSchema]:
        """One ``ToolSchema`` per callable, in order."""
        schemas = []
        for tool in tools:
            if not callable(tool):
                raise TypeError(f"Tools must be callables, got {type(tool).__name__}.")
            schemas.append(cls._tool_schema(tool))
        return schemas

    @classmethod
    def _tool_schema(cls, fn: Callable[..., Any]) -> ToolSchema:
        signature = inspect.signature(fn)
        try:
            hints = typing.get_type_hints(fn, include_extras=True)
        except (NameError, TypeError):
            # Annotations naming types that cannot be resolved fall back to the raw ones.
            hints = {}
        descriptions = _describe_parameters(fn)
        properties: dict[str, dict[str, Any]] = {}
        required: list[str] = []
        for name, parameter in signature.parameters.items():
            if parameter.kind in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD):
                continue
            if name in {"self", "cls"}:
                continue
            annotation = hints.get(name, parameter.annotation)
            if isinstance(annotation, str):
                annotation = inspect.Parameter.empty
            schema = _json_schema_for(annotation)
            if descriptions.get(name):
                schema["description"] = descriptions[name]
            properties[name] = schema
            if parameter.default is inspect.Parameter.empty:
                required.append(name)
        name = getattr(fn, "__name__", type(fn).__name__)
        return ToolSchema(
            function=ToolFunction(
                name=name,
                description=_first_paragraph(fn),
                parameters=ToolParameters(properties=properties, required=required),
            )
        )


def _get(container: Any, key: str) -> Any:
    if isinstance(container, Mapping):
        return container.get(key)
    return getattr(container, key, None)


def _preview(value: Any, limit: int = 120) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."
