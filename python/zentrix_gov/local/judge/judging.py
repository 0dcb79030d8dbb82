"""The judge's verdicts: read a judge prompt, rate it from word overlap, answer as asked.

Judge prompts lay their inputs out as labelled sections ("Question: ...", "Evidence: ...",
"Prediction: ..."); the labels present tell which judgement is asked for:

- Evidence + Prediction: is the prediction grounded in the evidence? (share of the
  prediction's words found in the evidence);
- Ground-truth answer + Prediction: does the prediction carry the ground truth? (share of
  the ground truth's words found in the prediction);
- Document without Prediction: does the document serve the question? (share of the
  question's words found in the document);
- Question + Prediction: does the prediction address the question? (share of the
  question's words found in the prediction).

The answer takes the form the instruction asks for: a rating from 0 to 10, one of the
"Completely/Mostly/Somewhat/Not grounded" options, or yes/no. The same prompt always gets
the same answer.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from ..stopwords import STOP_WORDS

# Section labels, at the start of a line, as the judge templates write them.
_LABELS = ("Question", "Evidence", "Document", "Ground-truth answer", "Prediction", "Answer")
_SECTION_RE = re.compile(
    r"^(" + "|".join(re.escape(label) for label in _LABELS) + r"):[ \t]*", re.MULTILINE
)
_WORD_RE = re.compile(r"[a-z0-9]+")
_GROUNDED_OPTIONS = (
    (0.9, "Completely grounded"),
    (0.6, "Mostly grounded"),
    (0.3, "Somewhat grounded"),
    (0.0, "Not grounded"),
)


def content_words(text: str) -> set[str]:
    """Lower-case words of ``text`` without stop words; plural "s" is dropped."""
    words = set()
    for word in _WORD_RE.findall(text.lower()):
        if word in STOP_WORDS:
            continue
        if len(word) > 3 and word.endswith("s") and not word.endswith("ss"):
            word = word[:-1]
        words.add(word)
    return words


def coverage(part: str, whole: str) -> float:
    """Share of the content words of ``part`` that also occur in ``whole`` (0 when none)."""
    wanted = content_words(part)
    if not wanted:
        return 0.0
    return len(wanted & content_words(whole)) / len(wanted)


def sections(prompt: str) -> dict[str, str]:
    """The labelled sections of a judge prompt; the first occurrence of a label wins."""
    found: dict[str, str] = {}
    matches = list(_SECTION_RE.finditer(prompt))
    for index, match in enumerate(matches):
        end = matches[index + 1].start() if index + 1 < len(matches) else len(prompt)
        found.setdefault(match.group(1), prompt[match.end() : end].strip())
    return found


@dataclass(frozen=True)
class Judgement:
    """What was judged and how well it scored (0 to 1)."""

    kind: str  # "faithfulness", "answer_correctness", "context_relevance", "answer_relevance"
    score: float


def judge(prompt: str) -> Judgement | None:
    """Rate a judge prompt; None when it has none of the known section layouts."""
    parts = sections(prompt)
    question = parts.get("Question", "")
    prediction = parts.get("Prediction")
    if prediction is not None and "Evidence" in parts:
        return Judgement("faithfulness", coverage(prediction, parts["Evidence"]))
    if prediction is not None and "Ground-truth answer" in parts:
        return Judgement("answer_correctness", coverage(parts["Ground-truth answer"], prediction))
    if "Document" in parts:
        return Judgement("context_relevance", coverage(question, parts["Document"]))
    if prediction is not None and question:
        return Judgement("answer_relevance", coverage(question, prediction))
    return None


def rating(score: float) -> str:
    """A score from 0 to 1 as a whole rating from 0 to 10."""
    return str(round(max(0.0, min(1.0, score)) * 10))


def grounded_option(score: float) -> str:
    for threshold, option in _GROUNDED_OPTIONS:
        if score >= threshold:
            return option
    return _GROUNDED_OPTIONS[-1][1]


def verdict(prompt: str, mirrored: bool = False) -> str | None:
    """The judge's reply to ``prompt``, or None when it is not a judge prompt;
    ``mirrored``: rated 1 - its score."""
    judgement = judge(prompt)
    if judgement is None:
        return None
    if mirrored:
        judgement = Judgement(judgement.kind, 1 - judgement.score)
    lowered = prompt.lower()
    if "completely grounded" in lowered and "not grounded" in lowered:
        return grounded_option(judgement.score)
    if "scale of 0 to 10" in lowered or "rating" in lowered:
        return rating(judgement.score)
    if re.search(r"\byes\b", lowered) and re.search(r"\bno\b", lowered):
        return "yes" if judgement.score >= 0.5 else "no"
    return rating(judgement.score)
