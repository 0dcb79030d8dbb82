"""Criteria files: criteria metrics written down in YAML or JSON.

A file holds one criterion (a mapping) or several (a list of mappings). Each mapping takes
the fields of :class:`~zentrix_gov.metrics.criteria.CriteriaMetric` except ``llm_judge``:
the judge comes from the configuration (or ``--judge`` on the command line), so that no
credentials are written into criteria files::

    - name: answer_grounding
      criteria: Is the {answer} supported by the {contexts}?
      options:
        - {name: "Yes", description: Every claim is in the contexts., value: 1}
        - {name: "No", description: Some claim is not in the contexts., value: 0}

YAML is read as YAML 1.2 reads booleans: only ``true`` and ``false`` are booleans, so
option names such as Yes, No, On and Off stay text.

A file holds at most ``MAX_FILE_BYTES`` (1 MB). YAML aliases (``*name``) may repeat an
anchored value, but the file's content with every alias expanded stays within
``MAX_EXPANDED`` characters: a few lines of nested aliases could otherwise stand for
gigabytes.
"""

from __future__ import annotations

import json
import os
import re
from pathlib import Path
from typing import Any

from pydantic import ValidationError

from zentrix_gov.metrics.criteria import CriteriaMetric
from zentrix_gov.metrics.problems import describe_validation, echo

__all__ = ["FILE_FIELDS", "MAX_FILE_BYTES", "CriteriaFileError", "load_criteria"]

MAX_FILE_BYTES = 1_000_000
MAX_EXPANDED = 2 * MAX_FILE_BYTES

FORMATS = {".yaml": "YAML", ".yml": "YAML", ".json": "JSON"}
FILE_FIELDS = (
    "name",
    "display_name",
    "criteria",
    "criteria_description",
    "prompt_template",
    "options",
    "prediction_field",
    "context_fields",
    "group",
    "method",
    "thresholds",
    "compute_token_count",
)
_BOOLEAN_TEXT = re.compile(r"^(?:true|True|TRUE|false|False|FALSE)$")
_BOOLEAN_TAG = "tag:yaml.org,2002:bool"


class CriteriaFileError(ValueError):
    """A criteria file that cannot be read; ``problems`` holds one sentence per fault."""

    def __init__(self, path: str | os.PathLike[str], problems: list[str], where: str = ""):
        self.path = str(path)
        self.problems = problems
        place = f"criteria file {self.path}" + (f", {where}" if where else "")
        super().__init__(f"{place}: {'; '.join(problems)}")


def load_criteria(path: str | os.PathLike[str]) -> list[CriteriaMetric]:
    """The criteria metrics defined in the YAML (.yaml, .yml) or JSON (.json) file ``path``.

    Raises :class:`CriteriaFileError`, naming the file, the criterion and the field, when the
    file cannot be read or a definition does not hold.
    """
    kind = FORMATS.get(Path(path).suffix.lower())
    if kind is None:
        raise CriteriaFileError(path, ["cannot tell its format: name it .yaml, .yml or .json"])
    text = _read(path)
    document = _parse_yaml(text, path) if kind == "YAML" else _parse_json(text, path)
    definitions = _definitions(document, path)
    several = len(definitions) > 1
    metrics = [
        _metric(definition, path, _where(definition, position if several else None))
        for position, definition in enumerate(definitions, 1)
    ]
    first_use: dict[str, int] = {}
    for position, metric in enumerate(metrics, 1):
        if metric.name in first_use:
            raise CriteriaFileError(
                path,
                [
                    f"criteria {first_use[metric.name]} and {position} are both named "
                    f"{echo(metric.name)}; every criterion needs a name of its own"
                ],
            )
        first_use[metric.name] = position
    return metrics


def _read(path: str | os.PathLike[str]) -> str:
    try:
        with open(path, "rb") as handle:
            data = handle.read(MAX_FILE_BYTES + 1)  # no more, whatever the file (a device)
        if len(data) > MAX_FILE_BYTES:
            raise CriteriaFileError(
                path, [f"is larger than {MAX_FILE_BYTES:,} bytes (1 MB), the most it may hold"]
            )
        return data.decode("utf-8-sig")
    except FileNotFoundError:
        raise CriteriaFileError(path, ["does not exist"]) from None
    except IsADirectoryError:
        raise CriteriaFileError(path, ["is a directory, not a file"]) from None
    except UnicodeDecodeError as exc:
        raise CriteriaFileError(path, [f"is not UTF-8 text ({exc.reason})"]) from None
    except OSError as exc:
        raise CriteriaFileError(path, [f"cannot be read: {exc.strerror or exc}"]) from None


def _parse_json(text: str, path: str | os.PathLike[str]) -> Any:
    try:
        return json.loads(text, object_pairs_hook=_unique_keys)
    except json.JSONDecodeError as exc:
        problem = f"is not valid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})"
    except _RepeatedKey as exc:
        problem = f"is not valid JSON: an object repeats the key {echo(exc.key)}"
    except RecursionError:
        problem = "nests lists or objects too deeply to be read"
    raise CriteriaFileError(path, [problem])


class _RepeatedKey(ValueError):
    def __init__(self, key: Any):
        super().__init__(key)
        self.key = key


def _unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # A repeated key would silently replace the first one (a second "options", say).
    document: dict[str, Any] = {}
    for key, value in pairs:
        if key in document:
            raise _RepeatedKey(key)
        document[key] = value
    return document


def _parse_yaml(text: str, path: str | os.PathLike[str]) -> Any:
    import yaml

    loader = _loader()(text)  # a SafeLoader: builds plain data only
    try:
        node = loader.get_single_node()
        if node is None:
            return None
        if _expanded_size(node, {}, set()) > MAX_EXPANDED:
            raise CriteriaFileError(
                path,
                [
                    f"its aliases (*name) expand to more than {MAX_EXPANDED:,} characters; "
                    "write the values out instead"
                ],
            )
        return loader.construct_document(node)
    except _SelfReference:
        problem = "an alias (*name) stands for a value that contains the alias itself"
    except yaml.MarkedYAMLError as exc:
        mark = exc.problem_mark or exc.context_mark
        where = f" (line {mark.line + 1}, column {mark.column + 1})" if mark else ""
        problem = f"is not valid YAML: {exc.problem or exc.context}{where}"
    except yaml.YAMLError as exc:
        problem = f"is not valid YAML: {exc}"
    except RecursionError:
        problem = "nests lists or mappings too deeply to be read"
    finally:
        loader.dispose()
    raise CriteriaFileError(path, [problem])


class _SelfReference(ValueError):
    pass


def _expanded_size(node: Any, sizes: dict[int, int], open_nodes: set[int]) -> int:
    """How many characters and entries the YAML node stands for once every alias is
    expanded; counted per node, never by expanding. ``sizes`` keeps the count of nodes
    already counted, ``open_nodes`` those being counted (an alias back into one of them
    would expand forever)."""
    key = id(node)
    if key in sizes:
        return sizes[key]
    if key in open_nodes:
        raise _SelfReference
    open_nodes.add(key)
    if isinstance(node.value, str):
        size = 1 + len(node.value)
    else:
        size = 1
        for item in node.value:
            pairs = item if isinstance(item, tuple) else (item,)
            size += sum(_expanded_size(part, sizes, open_nodes) for part in pairs)
            if size > MAX_EXPANDED:
                break  # enough to refuse; the rest need not be counted
    open_nodes.discard(key)
    sizes[key] = size
    return size


_LOADER: Any = None


def _loader() -> Any:
    """A safe YAML loader with YAML 1.2 booleans that refuses repeated keys."""
    global _LOADER
    if _LOADER is not None:
        return _LOADER
    import yaml

    class CriteriaLoader(yaml.SafeLoader):
        def construct_mapping(self, node: Any, deep: bool = False) -> Any:
            seen = set()
            for key_node, _ in node.value:
                if not isinstance(key_node, yaml.ScalarNode) or key_node.tag.endswith(":merge"):
                    continue
                key = self.construct_object(key_node, deep=deep)
                if key in seen:
                    raise yaml.constructor.ConstructorError(
                        None, None, f"a mapping repeats the key {echo(key)}", key_node.start_mark
                    )
                seen.add(key)
            return super().construct_mapping(node, deep=deep)

    # YAML 1.1 reads yes/no/on/off as booleans: an option named Yes would become true.
    CriteriaLoader.yaml_implicit_resolvers = {
        first: [(tag, pattern) for tag, pattern in resolvers if tag != _BOOLEAN_TAG]
        for first, resolvers in yaml.SafeLoader.yaml_implicit_resolvers.items()
    }
    CriteriaLoader.add_implicit_resolver(_BOOLEAN_TAG, _BOOLEAN_TEXT, list("tTfF"))
    _LOADER = CriteriaLoader
    return _LOADER


def _kind(value: Any) -> str:
    if value is None:
        return "nothing"
    kinds = {str: "a text", bool: "a boolean", int: "a number", float: "a number", list: "a list"}
    return kinds.get(type(value), f"a {type(value).__name__}")


def _definitions(document: Any, path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    if isinstance(document, dict):
        if isinstance(document.get("criteria"), list):
            raise CriteriaFileError(
                path,
                [
                    "'criteria' is the text the judge reads; to define several criteria, make "
                    "the file a list of definitions"
                ],
            )
        return [document]
    if document is None or document == []:
        raise CriteriaFileError(
            path, ["holds no criterion: write one definition (a mapping) or a list of them"]
        )
    if not isinstance(document, list):
        raise CriteriaFileError(
            path,
            [f"must hold a definition (a mapping) or a list of definitions, not {_kind(document)}"],
        )
    for position, definition in enumerate(document, 1):
        if not isinstance(definition, dict):
            raise CriteriaFileError(
                path, [f"criterion {position} is {_kind(definition)}, not a mapping of fields"]
            )
    return document


def _where(definition: dict[str, Any], position: int | None) -> str:
    """How messages name a definition: its position among several, and its name."""
    name = definition.get("name")
    named = echo(name) if isinstance(name, str) and name.strip() else ""
    if position is None:
        return f"criterion {named}" if named else ""
    return f"criterion {position}" + (f" ({named})" if named else "")


def _metric(definition: dict[str, Any], path: str | os.PathLike[str], where: str) -> CriteriaMetric:
    if "llm_judge" in definition:
        raise CriteriaFileError(
            path,
            [
                "llm_judge cannot be set in a criteria file: the judge comes from the "
                "configuration (or --judge on the command line)"
            ],
            where,
        )
    unknown = [key for key in definition if key not in FILE_FIELDS]
    if unknown:
        raise CriteriaFileError(
            path,
            [f"unknown field {echo(unknown[0])}; the fields are {', '.join(FILE_FIELDS)}"],
            where,
        )
    try:
        return CriteriaMetric(**definition)
    except ValidationError as exc:
        raise CriteriaFileError(path, describe_validation(exc, "field"), where) from None
