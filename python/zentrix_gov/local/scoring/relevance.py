"""Relevance and retrieval quality: topic, answer, faithfulness and context relevance."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from .common import Detection, DetectorError, clamp_score, content_words, sentences, similarity

ON_TOPIC_SIMILARITY = 0.4


def detect_topic_relevance(params: dict[str, Any], text: str) -> list[Detection]:
    """A detection (score 1 - similarity) when ``text`` is off the system prompt's topic."""
    prompt = params.get("system_prompt")
    if not isinstance(prompt, str) or not prompt.strip():
        raise DetectorError("Parameter 'system_prompt' is required for topic_relevance.")
    score = similarity(text, prompt)
    if score >= ON_TOPIC_SIMILARITY:
        return []
    return [
        {
            "detection_type": "topic_relevance",
            "detection": "off_topic",
            "score": clamp_score(1 - score),
            "similarity": score,
        }
    ]


def detect_answer_relevance(params: dict[str, Any], prompt: str, generated: str) -> list[Detection]:
    """Always one detection scoring how well the answer matches the prompt."""
    score = similarity(prompt, generated)
    label = "relevant" if score >= 0.5 else "not_relevant"
    return [{"detection_type": "answer_relevance", "detection": label, "score": score}]


_NO_EVIDENCE = {"text": "", "score": 0.0, "context_index": None}
SUPPORT_SHARE = 0.6


def _context_sentences(contexts: Sequence[str]) -> list[list[tuple[str, set[str]]]]:
    return [[(s, set(content_words(s))) for _, _, s in sentences(c)] for c in contexts]


def detect_faithfulness(
    params: dict[str, Any], answer: str, contexts: Sequence[str]
) -> list[Detection]:
    """Share of the answer's sentences whose content words mostly appear in one context."""
    context_words = [set(content_words(c)) for c in contexts]
    per_context = _context_sentences(contexts)
    claims = 0
    supported = 0
    evidence = []
    for _, _, sentence in sentences(answer):
        words = set(content_words(sentence))
        if not words:
            continue
        claims += 1
        best_share, best_index = 0.0, None
        for index, vocabulary in enumerate(context_words):
            share = len(words & vocabulary) / len(words)
            if share > best_share:
                best_share, best_index = share, index
        if best_share >= SUPPORT_SHARE:
            supported += 1
        if best_index is not None:
            best_sentence = max(per_context[best_index], key=lambda item: len(words & item[1]))
            evidence.append(
                {
                    "text": best_sentence[0],
                    "score": clamp_score(best_share),
                    "context_index": best_index,
                    "answer_sentence": sentence,
                }
            )
    evidence.sort(key=lambda item: -item["score"])
    score = supported / claims if claims else 0.0
    return [
        {
            "detection_type": "faithfulness",
            "detection": "faithful" if score >= 0.5 else "unfaithful",
            "score": clamp_score(score),
            "evidence": evidence or [dict(_NO_EVIDENCE)],
        }
    ]


def detect_context_relevance(
    params: dict[str, Any], question: str, contexts: Sequence[str]
) -> list[Detection]:
    """Best similarity between the question and any context, with the best sentences."""
    evidence = []
    for index, context in enumerate(contexts):
        best_sentence = max(
            (s for _, _, s in sentences(context)), key=lambda s: similarity(question, s), default=""
        )
        evidence.append(
            {"text": best_sentence, "score": similarity(question, context), "context_index": index}
        )
    evidence.sort(key=lambda item: -item["score"])
    score = evidence[0]["score"] if evidence else 0.0
    return [
        {
            "detection_type": "context_relevance",
            "detection": "relevant" if score >= 0.5 else "not_relevant",
            "score": score,
            "evidence": evidence or [dict(_NO_EVIDENCE)],
        }
    ]
