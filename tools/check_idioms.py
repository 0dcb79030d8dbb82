"""Checks the house idioms of the native sources; run by ``./dev.sh lint``.

- A raw ``PyObject`` pointer appears only in ``src/core``, where the slot functions and the
  helpers that wrap the C API live; everywhere else references are ``py::object`` (owned)
  or ``py::handle`` (borrowed).
- C-API calls that report failure through their result (``PyDict_*``, ``PyObject_SetAttr*``
  and their relatives) are never called for their effect alone: the result is tested at the
  call, and a failure throws ``py::error_already_set``.
- "Contains" and rounding have one helper each in ``src/core`` (``zcore::contains``,
  ``zcore::round_to``); modules do not write them again.

Usage: ``python tools/check_idioms.py [FILE ...]`` (default: ``src`` and ``tests/native``).
Prints one line per finding, ``path:line: message``, and exits 1 when there is any.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_DIRECTORIES = ("src", "tests/native")
CORE = "src/core/"

RAW_POINTER = re.compile(r"\bPyObject\b")
# Calls whose int (or pointer) result is the only report of a failure.
CHECKED_CALL = re.compile(
    r"\b(PyDict_\w+|PyObject_(?:Set|Del)(?:Attr|Item)\w*|PyList_(?:Append|Insert|SetItem|SetSlice))"
    r"\s*\("
)
# Calls of those families that cannot fail.
CANNOT_FAIL = {
    "PyDict_Clear",
    "PyDict_Check",
    "PyDict_CheckExact",
    "PyDict_GET_SIZE",
    "PyDict_Size",
}
OWN_HELPERS = {
    re.compile(r"\bPySequence_Contains\s*\(|\.contains\s*\("): "write 'item in container' as "
    "zcore::contains",
    re.compile(r"__round__"): "round with zcore::round_to",
}
CONTROL_HEADER = re.compile(r"^(?:if|while|for|switch)\s*\(")
VOID_CAST = re.compile(r"^(?:\(\s*void\s*\)|static_cast\s*<\s*void\s*>\s*\()\s*")


def blank_comments_and_literals(text: str, keep_literals: bool = False) -> str:
    """``text`` with comments, and string and character literals, replaced by spaces.

    With ``keep_literals`` the literals stay. Newlines are kept, so offsets and line
    numbers stay those of the source.
    """
    out = []
    i, n = 0, len(text)
    while i < n:
        two = text[i : i + 2]
        if two == "//":
            end = text.find("\n", i)
            end = n if end < 0 else end
        elif two == "/*":
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
        elif text[i] in "\"'":
            raw = text[i] == '"' and i > 0 and text[i - 1] == "R"
            end = raw_literal_end(text, i) if raw else quoted_end(text, i)
            if keep_literals:
                out.append(text[i:end])
                i = end
                continue
        else:
            out.append(text[i])
            i += 1
            continue
        out.append(re.sub(r"[^\n]", " ", text[i:end]))
        i = end
    return "".join(out)


def quoted_end(text: str, start: int) -> int:
    quote = text[start]
    i = start + 1
    while i < len(text) and text[i] != quote:
        i += 2 if text[i] == "\\" else 1
    return min(i + 1, len(text))


def raw_literal_end(text: str, start: int) -> int:
    delimiter = text[start + 1 : text.index("(", start)]
    end = text.find(")" + delimiter + '"', start)
    return len(text) if end < 0 else end + len(delimiter) + 2


def statement_prefix(code: str, position: int) -> str:
    """The code between the start of the statement holding ``position`` and ``position``."""
    start = max(code.rfind(mark, 0, position) for mark in ";{}")
    return code[start + 1 : position].strip()


def without_control_headers(prefix: str) -> str:
    """``prefix`` without leading ``else`` and ``if (...)``-style headers of unbraced bodies."""
    while True:
        if prefix.startswith("else") and (len(prefix) == 4 or not prefix[4].isalnum()):
            prefix = prefix[4:].lstrip()
            continue
        header = CONTROL_HEADER.match(prefix)
        if header is None:
            return prefix
        depth, i = 0, header.end() - 1
        for i in range(header.end() - 1, len(prefix)):
            depth += {"(": 1, ")": -1}.get(prefix[i], 0)
            if depth == 0:
                break
        if depth != 0:
            return prefix
        prefix = prefix[i + 1 :].lstrip()


def result_discarded(code: str, position: int) -> bool:
    prefix = without_control_headers(statement_prefix(code, position))
    return not VOID_CAST.sub("", prefix, count=1)


def findings(path: Path, relative: str) -> list[str]:
    source = path.read_text(encoding="utf-8")
    code = blank_comments_and_literals(source)
    # Attribute names such as "__round__" are literals.
    code_and_literals = blank_comments_and_literals(source, keep_literals=True)

    def line_of(position: int) -> int:
        return code.count("\n", 0, position) + 1

    found = []
    if not relative.startswith(CORE):
        for match in RAW_POINTER.finditer(code):
            found.append(
                f"{relative}:{line_of(match.start())}: raw PyObject pointer outside src/core: "
                "hold a py::object (owned) or py::handle (borrowed), or add a helper to src/core"
            )
        for pattern, advice in OWN_HELPERS.items():
            for match in pattern.finditer(code_and_literals):
                found.append(f"{relative}:{line_of(match.start())}: {advice}")
    for match in CHECKED_CALL.finditer(code):
        name = match.group(1)
        if name in CANNOT_FAIL or not result_discarded(code, match.start()):
            continue
        found.append(
            f"{relative}:{line_of(match.start())}: the result of {name} is not checked: "
            "test it and throw py::error_already_set on failure"
        )
    return found


def sources(arguments: list[str]) -> list[Path]:
    if arguments:
        return [Path(argument).resolve() for argument in arguments]
    paths = []
    for directory in DEFAULT_DIRECTORIES:
        paths += sorted((ROOT / directory).rglob("*.[ch]pp"))
    return paths


def main(arguments: list[str]) -> int:
    problems = []
    for path in sources(arguments):
        try:
            relative = path.relative_to(ROOT).as_posix()
        except ValueError:
            relative = path.as_posix()
        problems += findings(path, relative)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
