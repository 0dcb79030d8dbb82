"""Risk word lists: abusive language (hap) and the named risks of basalt_guardian."""

from __future__ import annotations

from typing import Any

from .common import (
    ANY_WORD_RE,
    Detection,
    DetectorError,
    optional_unit_float,
    sentences,
    span,
    term_pattern,
)

_HAP_TERMS = [
    *"""
    idiot moron imbecile stupid dumb loser jerk scum pathetic worthless ugly disgusting
    hate shit fuck fucking damn crap bastard bitch asshole bullshit
    """.split(),  # noqa: SIM905 - a word list reads better as text
    "shut up",
    "kill yourself",
    "go to hell",
    "piece of garbage",
]
_HAP_RE = term_pattern(_HAP_TERMS, inflect=True)


def detect_hap(params: dict[str, Any], text: str) -> list[Detection]:
    """One detection per sentence holding abusive words; denser abuse scores higher."""
    threshold = optional_unit_float(params, "threshold")
    detections = []
    for start, end, sentence in sentences(text):
        hits = len(_HAP_RE.findall(sentence))
        if not hits:
            continue
        words = max(1, len(ANY_WORD_RE.findall(sentence)))
        score = 0.55 + 0.44 * min(1.0, 3 * hits / words)
        if threshold is not None and score < threshold:
            continue
        detections.append(span("hap", "has_HAP", score, text, start, end))
    return detections


# --------------------------------------------------------------------------- basalt guardian

_RISK_TERMS: dict[str, list[str]] = {
    "harm": [
        "kill", "murder", "weapon", "bomb", "explosive", "poison", "hurt", "harm", "suicide",
        "self-harm", "overdose", "attack", "injure", "make a bomb", "hurt someone",
    ],
    "social_bias": [
        "inferior", "those people", "all women are", "all men are", "women are", "men are",
        "immigrants are", "belong in the kitchen", "superior race", "stereotype", "not as smart",
    ],
    "jailbreak": [
        "ignore previous instructions", "ignore all previous instructions",
        "ignore your instructions", "disregard your rules", "developer mode", "do anything now",
        "pretend you are", "jailbreak", "without any restrictions", "bypass your",
        "no rules apply", "act as an unfiltered",
    ],
    "violence": [
        "punch", "beat up", "stab", "shoot", "kill", "assault", "blood", "gun", "knife",
        "torture", "strangle", "massacre", "fight",
    ],
    "profanity": [
        "shit", "fuck", "fucking", "damn", "crap", "bastard", "bitch", "asshole", "bullshit",
    ],
    "unethical_behavior": [
        "cheat", "steal", "bribe", "fraud", "plagiarize", "scam", "launder", "embezzle",
        "fake reviews", "evade taxes", "lie to", "shoplift",
    ],
    "sexual_content": [
        "sex", "sexual", "nude", "naked", "porn", "pornography", "explicit", "erotic", "nsfw",
    ],
    "evasiveness": [
        "i can't answer", "i cannot answer", "i'd rather not", "no comment", "i don't know",
        "can't say", "not able to discuss", "change the subject", "i won't answer",
        "i prefer not to say",
    ],
}  # fmt: skip
BASALT_GUARDIAN_RISKS = tuple(_RISK_TERMS)
_RISK_RES = {risk: term_pattern(terms, inflect=True) for risk, terms in _RISK_TERMS.items()}


def detect_basalt_guardian(params: dict[str, Any], text: str) -> list[Detection]:
    """One detection when the named risk is present; more evidence scores higher."""
    risk = params.get("risk_name") or "harm"
    if risk not in _RISK_RES:
        raise DetectorError(
            f"Unknown risk_name {risk!r}; expected one of {', '.join(BASALT_GUARDIAN_RISKS)}."
        )
    hits = list(_RISK_RES[risk].finditer(text))
    if not hits:
        return []
    score = 0.99 - 0.39 * 0.5 ** (len(hits) - 1)  # 0.6, 0.795, 0.8925 ... towards 0.99
    detection = span("risk", risk, score, text, hits[0].start(), hits[-1].end())
    detection["risk_name"] = risk
    return [detection]
