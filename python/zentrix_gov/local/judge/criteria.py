"""The judge's answers to criteria-judge prompts: a JSON verdict in the schema the prompt
gives, as evalassist's ``DirectJudge`` asks for it.

Three prompt forms are recognised:

- criteria mode: a system message with the output schema ("Here is the output schema:"
  and a JSON schema) and a user message whose instructions list the allowed option names
  ("exactly one of the following values: ..."), then "## Criteria:" (name,
  "Description:", "Options:" lines "- name: description"), an optional "## Context"
  section of "- field: value" items and "## The <field> to evaluate" followed by the
  text;
- custom-prompt mode: the user's own prompt, then "### Output format" and the schema. The
  text to evaluate is the last labelled section ("Label: text" at the start of a line)
  whose label ends in response, answer, prediction, output, summary, completion,
  generation, reply or text (else the last labelled section); the other labelled
  sections (a markdown heading ends a section and opens one) are its context. A
  prompt without labels is read as context paragraphs followed by the text to
  evaluate, its last paragraph. Without any context, the prompt itself stands for the
  criterion;
- repair prompts ("You are given an invalid model output that must be corrected"): the
  judge cannot repair a verdict it never gave, so it answers with the invalid output
  unchanged; an unparseable answer stays unparseable.

The rating, from 0 to 1: with context, the share of the text's content words found in the
context (is the text supported?); without, the share of the criterion description's
content words found in the text (does the text address the criterion?). Options are
chosen from the rating as :mod:`.options` describes; a "selected_score" is the rating on
the schema's interval ("A number between 1 and 5"), or from 0 to 10 when none is given.

The answer holds exactly the schema's properties: "explanation" (markdown bullets),
"selected_option" or "selected_score", and "feedback" when asked for: "" when nothing is
missing (every content word of the text is in the context or, without context, the text
covers the whole criterion), otherwise the missing words to support, remove or address.
The same prompt always gets the same answer.
"""

from __future__ import annotations

import ast
import json
import re
from dataclasses import dataclass
from typing import Any

from . import options as choice
from .judging import content_words

REPAIR_OPENING = "You are given an invalid model output that must be corrected"
_INVALID_OUTPUT_RE = re.compile(r"INVALID OUTPUT:\n```\n(.*?)\n```\n\nPARSING ERROR:", re.DOTALL)
_SCHEMA_RE = re.compile(r"Here is the output schema:\s*```json\s*\n(.*?)\n```", re.DOTALL)
_OUTPUT_FORMAT_RE = re.compile(r"^### Output format[ \t]*$", re.MULTILINE)
_CRITERIA_RE = re.compile(r"^## Criteria:[ \t]*$", re.MULTILINE)
_CONTEXT_RE = re.compile(r"^## Context[ \t]*$", re.MULTILINE)
_TO_EVALUATE_RE = re.compile(r"^## The (.+?) to evaluate[ \t]*$", re.MULTILINE)
_OPTION_NAMES_RE = re.compile(r"to exactly one of the following values: (.*)$", re.MULTILINE)
_QUOTED_RE = re.compile(r'"((?:[^"\\]|\\.)*)"')
_CONTEXT_ITEM_RE = re.compile(r"^- ([^:\n]+): ?", re.MULTILINE)
_LABEL_RE = re.compile(
    r"^[ \t#*>-]*([A-Za-z][A-Za-z0-9'()/_-]*(?: [A-Za-z0-9'()/_-]+){0,3})\**:\**"
)
_HEADING_RE = re.compile(r"^[ \t]*#{1,6}[ \t]+(.*?)[ \t#]*$")
_EVALUATED_TEXT = "response answer prediction output summary completion generation reply text"
_EVALUATED_LABELS = frozenset(_EVALUATED_TEXT.split())
_INTERVAL_RE = re.compile(r"between (-?\d+) and (-?\d+)")
_OPTION_LIST_PREFIX = "The chosen option. Any of "
_MAX_LISTED_WORDS = 6


@dataclass(frozen=True)
class Rating:
    """How well the text scored, and the words behind it."""

    score: float
    basis: str  # "context" or "criterion"
    matched: list[str]
    missing: list[str]  # text words not in the context, or criterion words not in the text


def answer(prompt: str, mirrored: bool = False) -> str | None:
    """The judge's reply to a criteria-judge or repair prompt; None for other prompts.
    ``mirrored``: the text is rated 1 - its rating (a judge that gets it the other way)."""
    if prompt.lstrip().startswith(REPAIR_OPENING):
        match = _INVALID_OUTPUT_RE.search(prompt)
        return match.group(1) if match else None
    match = _SCHEMA_RE.search(prompt)
    schema = _schema(match.group(1)) if match else None
    if match is None or schema is None:
        return None
    # the last header before the schema: the user's own prompt may have one of its own
    headers = [h for h in _OUTPUT_FORMAT_RE.finditer(prompt) if h.start() < match.start()]
    if headers:
        return _custom_answer(prompt[: headers[-1].start()].strip(), schema, mirrored)
    return _criteria_answer(prompt, schema, mirrored)


def _schema(text: str) -> dict[str, Any] | None:
    """The properties of an output schema, when it asks for an option or a score."""
    text = text.strip()
    try:  # evalassist writes the schema as a Python dict; JSON is accepted as well
        schema = ast.literal_eval(text)
    except (ValueError, SyntaxError):
        try:
            schema = json.loads(text)
        except ValueError:
            return None
    properties = schema.get("properties") if isinstance(schema, dict) else None
    if not isinstance(properties, dict):
        return None
    if "selected_option" not in properties and "selected_score" not in properties:
        return None
    return properties


def rate(text: str, context: str, criterion: str) -> Rating:
    """The text's rating against its context, or against the criterion without one."""
    if context.strip():
        wanted, pool, basis = content_words(text), content_words(context), "context"
    else:
        wanted, pool, basis = content_words(criterion), content_words(text), "criterion"
    matched = sorted(wanted & pool)
    missing = sorted(wanted - pool)
    score = len(matched) / len(wanted) if wanted else 0.0
    return Rating(score, basis, matched, missing)


def _listed(words: list[str]) -> str:
    shown = ", ".join(words[:_MAX_LISTED_WORDS])
    return shown + (", ..." if len(words) > _MAX_LISTED_WORDS else "")


def _explanation(rating: Rating, what: str, verdict: str) -> str:
    total = len(rating.matched) + len(rating.missing)
    if rating.basis == "context":
        lines = [f"- {len(rating.matched)} of {total} content words of the {what} appear in "
                 "the context."]  # fmt: skip
        if rating.missing:
            lines.append(f"- Not found in the context: {_listed(rating.missing)}.")
    else:
        lines = [f"- The {what} covers {len(rating.matched)} of {total} content words of "
                 "the criterion."]  # fmt: skip
        if rating.missing:
            lines.append(f"- Not addressed: {_listed(rating.missing)}.")
    lines.append(f"- A rating of {rating.score:.2f} gives {verdict}.")
    return "\n".join(lines)


def _feedback(rating: Rating, what: str) -> str:
    if not rating.missing:
        return ""
    if rating.basis == "context":
        return f"Support these points with the context or remove them: {_listed(rating.missing)}."
    return f"Make the {what} address these points of the criterion: {_listed(rating.missing)}."


def _reply(properties: dict[str, Any], values: dict[str, Any]) -> str:
    """The JSON object with exactly the schema's properties, in the schema's order."""
    return json.dumps({name: values.get(name, "") for name in properties})


def _verdict(
    properties: dict[str, Any], rating: Rating, option_names: list[str]
) -> tuple[dict[str, Any], str] | None:
    """The selected option or score, and how the explanation names it; None without options."""
    if "selected_option" in properties:
        if not option_names:
            return None
        option, _ = choice.choose(rating.score, option_names)
        return {"selected_option": option}, f'the option "{option}"'
    description = str(properties["selected_score"].get("description", ""))
    interval = _INTERVAL_RE.search(description)
    low, high = (int(interval.group(1)), int(interval.group(2))) if interval else (0, 10)
    score = choice.score_in(rating.score, low, high)
    return {"selected_score": score}, f"a score of {score} ({low} to {high})"


def _verdict_reply(
    properties: dict[str, Any],
    rating: Rating,
    option_names: list[str],
    what: str,
    mirrored: bool = False,
) -> str | None:
    if mirrored:
        rating = Rating(1 - rating.score, rating.basis, rating.matched, rating.missing)
    verdict = _verdict(properties, rating, option_names)
    if verdict is None:
        return None
    values, named = verdict
    values["explanation"] = _explanation(rating, what, named)
    values["feedback"] = _feedback(rating, what)
    return _reply(properties, values)


def _listed_options(properties: dict[str, Any]) -> list[str]:
    description = str(properties.get("selected_option", {}).get("description", ""))
    if not description.startswith(_OPTION_LIST_PREFIX):
        return []
    return [name for name in description[len(_OPTION_LIST_PREFIX) :].split(", ") if name]


def _criteria_answer(prompt: str, properties: dict[str, Any], mirrored: bool) -> str | None:
    criteria = _CRITERIA_RE.search(prompt)
    # the first header after the criterion: the text itself may hold anything
    evaluate = _TO_EVALUATE_RE.search(prompt, criteria.end()) if criteria else None
    if criteria is None or evaluate is None:
        return None
    criteria_at, what, text = criteria.end(), evaluate.group(1), prompt[evaluate.end() :].strip()
    head = prompt[criteria_at : evaluate.start()]
    context_header = _CONTEXT_RE.search(head)
    context = ""
    if context_header is not None:
        context = _CONTEXT_ITEM_RE.sub("", head[context_header.end() :])
        head = head[: context_header.start()]
    described = re.search(r"^Description: (.*?)(?=^Options:|\Z)", head, re.M | re.S)
    criterion = described.group(1) if described else head
    names_line = _OPTION_NAMES_RE.search(prompt, 0, criteria.start())  # the instructions
    names = _QUOTED_RE.findall(names_line.group(1)) if names_line else []
    names = names or _listed_options(properties)
    return _verdict_reply(properties, rate(text, context, criterion), names, what, mirrored)


def _labelled_sections(prompt: str) -> list[tuple[str, str]]:
    """("label", "text") for each "Label: text" section, in order.

    A markdown heading without a colon ends the section before it and opens one of its own.
    """
    sections: list[tuple[str, list[str]]] = []
    for line in prompt.splitlines():
        match = _LABEL_RE.match(line)
        heading = None if match else _HEADING_RE.match(line)
        if match:
            sections.append((match.group(1).lower(), [line[match.end() :]]))
        elif heading and sections:
            sections.append((heading.group(1).lower() or "heading", []))
        elif sections:
            sections[-1][1].append(line)
    return [(label, "\n".join(lines).strip()) for label, lines in sections]


def _custom_parts(prompt: str) -> tuple[str, str]:
    """The text to evaluate in a custom prompt, and its context."""
    sections = _labelled_sections(prompt)
    if sections:
        evaluated = [
            index
            for index, (label, _) in enumerate(sections)
            if label.split()[-1].rstrip("s") in _EVALUATED_LABELS
        ]
        chosen = evaluated[-1] if evaluated else len(sections) - 1
        others = [text for index, (_, text) in enumerate(sections) if index != chosen]
        return sections[chosen][1], "\n".join(others)
    paragraphs = [part.strip() for part in re.split(r"\n\s*\n", prompt) if part.strip()]
    return (paragraphs[-1], "\n".join(paragraphs[:-1])) if paragraphs else ("", "")


def _custom_answer(user_prompt: str, properties: dict[str, Any], mirrored: bool) -> str | None:
    text, context = _custom_parts(user_prompt)
    rating = rate(text, context, user_prompt)
    return _verdict_reply(properties, rating, _listed_options(properties), "text", mirrored)
