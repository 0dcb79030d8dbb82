"""Scoring of the local detection service.

Pure functions over plain JSON values: every detector takes its parameters and texts and
returns a list of detection objects ready to be sent back. Problems with the caller's
input raise :class:`DetectorError`, which the server turns into a 400 reply.

All word lists and patterns are compiled once at import time so that a request costs
only the matching itself.
"""

from __future__ import annotations

import functools
import ipaddress
import json
import math
import re
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

Detection = dict[str, Any]

# Which detectors each endpoint serves.
TEXT_DETECTORS = frozenset({"hap", "pii", "keyword", "regex", "basalt_guardian", "topic_relevance"})
GENERATED_DETECTORS = frozenset({"answer_relevance"})
CONTEXT_DETECTORS = frozenset({"faithfulness", "context_relevance"})
CHAT_DETECTORS = frozenset({"tool_call_accuracy"})
ALL_DETECTORS = TEXT_DETECTORS | GENERATED_DETECTORS | CONTEXT_DETECTORS | CHAT_DETECTORS

# Limits that keep a single request cheap.
MAX_PATTERNS = 50
MAX_PATTERN_LENGTH = 2_000
MAX_KEYWORDS = 1_000


class DetectorError(ValueError):
    """The request cannot be scored as sent; ``status``/``code`` shape the error reply."""

    def __init__(self, message: str, *, status: int = 400, code: str = "invalid_request"):
        super().__init__(message)
        self.message = message
        self.status = status
        self.code = code


# --------------------------------------------------------------------------- text helpers

_WORD_RE = re.compile(r"[a-z0-9]+(?:'[a-z]+)?")
_ANY_WORD_RE = re.compile(r"\w+")
# A sentence starts at a visible character and runs to its terminators or a line end.
_SENTENCE_RE = re.compile(r"[^\s.!?][^.!?\n]*[.!?]*")

STOP_WORDS = frozenset(
    """
    a about above after again against all am an and any are aren't as at be because been before
    being below between both but by can can't cannot could couldn't did didn't do does doesn't
    doing don't down during each few for from further had hadn't has hasn't have haven't having
    he he'd he'll he's her here here's hers herself him himself his how how's i i'd i'll i'm
    i've if in into is isn't it it's its itself let's me more most mustn't my myself no nor not
    of off on once only or other ought our ours ourselves out over own same shan't she she'd
    she'll she's should shouldn't so some such than that that's the their theirs them themselves
    then there there's these they they'd they'll they're they've this those through to too under
    until up very was wasn't we we'd we'll we're we've were weren't what what's when when's
    where where's which while who who's whom why why's will with won't would wouldn't you you'd
    you'll you're you've your yours yourself yourselves also just may might must shall us please
    tell
    """.split()  # noqa: SIM905 - a word list reads better as text
)


def _stem(word: str) -> str:
    # Plural folding only: enough to match "passwords" with "password" without a stemmer.
    if len(word) > 4 and word.endswith("ies"):
        return word[:-3] + "y"
    if len(word) > 3 and word.endswith("s") and not word.endswith(("ss", "us", "is")):
        return word[:-1]
    return word


def content_words(text: str) -> list[str]:
    """Lower-cased, plural-folded words of ``text`` without stop words, in order."""
    return [_stem(w) for w in _WORD_RE.findall(text.lower()) if w not in STOP_WORDS]


def _cosine(a: Counter[str], b: Counter[str]) -> float:
    dot = sum(count * b[word] for word, count in a.items())
    norm = math.sqrt(sum(c * c for c in a.values())) * math.sqrt(sum(c * c for c in b.values()))
    return dot / norm if norm else 0.0


def similarity(first: str, second: str) -> float:
    """Deterministic text similarity in [0, 1].

    The mean of the cosine over content-word counts and the overlap coefficient of the
    content-word sets. The cosine punishes texts of very different length; the overlap
    coefficient does not, so a short question fully covered by a long prompt still scores
    well.
    """
    a, b = Counter(content_words(first)), Counter(content_words(second))
    if not a or not b:
        return 0.0
    overlap = len(a.keys() & b.keys()) / min(len(a), len(b))
    return _round((_cosine(a, b) + overlap) / 2)


def sentences(text: str) -> Iterator[tuple[int, int, str]]:
    """(start, end, sentence) for every sentence of ``text``; offsets are character indices."""
    for match in _SENTENCE_RE.finditer(text):
        sentence = match.group().rstrip()
        yield match.start(), match.start() + len(sentence), sentence


def _round(value: float) -> float:
    return round(min(1.0, max(0.0, value)), 6)


def _span(kind: str, label: str, score: float, text: str, start: int, end: int) -> Detection:
    return {
        "detection_type": kind,
        "detection": label,
        "score": _round(score),
        "text": text[start:end],
        "start": start,
        "end": end,
    }


def _term_pattern(terms: Iterable[str], inflect: bool = False) -> re.Pattern[str]:
    """One case-insensitive whole-word alternation over ``terms`` (phrases allowed)."""
    parts = []
    for term in sorted(set(terms), key=len, reverse=True):
        words = [re.escape(w) for w in term.split()]
        body = r"\s+".join(words)
        if inflect and len(words) == 1:
            body += r"(?:s|es|ed|ing)?"
        parts.append(body)
    return re.compile(r"(?<!\w)(?:" + "|".join(parts) + r")(?!\w)", re.IGNORECASE)


def require_str(value: Any, what: str) -> str:
    if not isinstance(value, str):
        raise DetectorError(f"'{what}' must be a string, got {type(value).__name__}.")
    return value


def _optional_unit_float(params: dict[str, Any], name: str) -> float | None:
    value = params.get(name)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int | float) or not 0 <= value <= 1:
        raise DetectorError(f"Parameter '{name}' must be a number between 0 and 1.")
    return float(value)


# --------------------------------------------------------------------------- hap

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
_HAP_RE = _term_pattern(_HAP_TERMS, inflect=True)


def detect_hap(params: dict[str, Any], text: str) -> list[Detection]:
    """One detection per sentence holding abusive words; denser abuse scores higher."""
    threshold = _optional_unit_float(params, "threshold")
    detections = []
    for start, end, sentence in sentences(text):
        hits = len(_HAP_RE.findall(sentence))
        if not hits:
            continue
        words = max(1, len(_ANY_WORD_RE.findall(sentence)))
        score = 0.55 + 0.44 * min(1.0, 3 * hits / words)
        if threshold is not None and score < threshold:
            continue
        detections.append(_span("hap", "has_HAP", score, text, start, end))
    return detections


# --------------------------------------------------------------------------- pii

_EMAIL_RE = re.compile(
    r"(?<![\w.%+-])[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}\b"
)
_CARD_RE = re.compile(r"(?<![\d-])\d(?:[ -]?\d){12,18}(?!\d)")
_IPV4_RE = re.compile(r"(?<![\d.])(?:\d{1,3}\.){3}\d{1,3}(?!\.?\d)")
_IPV6_RE = re.compile(r"(?<![\w:])(?:[0-9A-Fa-f]{0,4}:){2,7}[0-9A-Fa-f]{0,4}(?![\w:])")
_PHONE_RE = re.compile(
    r"(?<![\w+])(?:\+\d{1,3}[ .-]?)?(?:\(\d{1,4}\)[ .-]?)?\d{2,4}(?:[ .-]?\d{2,4}){1,4}(?!\w)"
)
_NON_DIGIT_RE = re.compile(r"\D")

PII_SCORES = {
    "email_address": 0.99,
    "credit_card_number": 0.97,
    "ipv4_address": 0.93,
    "ipv6_address": 0.93,
    "phone_number": 0.85,
}


def luhn_valid(digits: str) -> bool:
    """Luhn checksum of a string of decimal digits."""
    total = 0
    for position, char in enumerate(reversed(digits)):
        value = ord(char) - 48
        if position % 2:
            value *= 2
            if value > 9:
                value -= 9
        total += value
    return total % 10 == 0


def _is_card(candidate: str) -> bool:
    digits = _NON_DIGIT_RE.sub("", candidate)
    return 13 <= len(digits) <= 19 and luhn_valid(digits)


def _is_ipv4(candidate: str) -> bool:
    try:
        ipaddress.IPv4Address(candidate)
    except ValueError:
        return False
    return True


def _is_ipv6(candidate: str) -> bool:
    if not any(c not in ":0" for c in candidate):
        return False  # "::" and friends are not worth reporting
    try:
        ipaddress.IPv6Address(candidate)
    except ValueError:
        return False
    return True


def _is_phone(candidate: str) -> bool:
    # At least nine digits keeps dates ("2023-10-25") and short numbers out.
    return 9 <= len(_NON_DIGIT_RE.sub("", candidate)) <= 15


# Earlier kinds win where matches overlap (a card number also looks like a phone number).
_PII_MATCHERS: tuple[tuple[str, re.Pattern[str], Callable[[str], bool] | None], ...] = (
    ("email_address", _EMAIL_RE, None),
    ("credit_card_number", _CARD_RE, _is_card),
    ("ipv4_address", _IPV4_RE, _is_ipv4),
    ("ipv6_address", _IPV6_RE, _is_ipv6),
    ("phone_number", _PHONE_RE, _is_phone),
)


def detect_pii(params: dict[str, Any], text: str) -> list[Detection]:
    """E-mail addresses, Luhn-valid card numbers, IPv4/IPv6 addresses and phone numbers."""
    taken: list[tuple[int, int]] = []
    found = []
    for kind, pattern, accept in _PII_MATCHERS:
        for match in pattern.finditer(text):
            start, end = match.span()
            if accept is not None and not accept(match.group()):
                continue
            if any(start < t_end and t_start < end for t_start, t_end in taken):
                continue
            taken.append((start, end))
            found.append(_span("pii", kind, PII_SCORES[kind], text, start, end))
    found.sort(key=lambda d: d["start"])
    return found


# --------------------------------------------------------------------------- keyword / regex


@functools.lru_cache(maxsize=512)
def _keyword_pattern(keywords: tuple[str, ...]) -> re.Pattern[str]:
    # Escaped literals only, so the alternation cannot backtrack badly.
    alternatives = "|".join(re.escape(k) for k in sorted(keywords, key=len, reverse=True))
    return re.compile(r"(?<!\w)(?:" + alternatives + r")(?!\w)", re.IGNORECASE)


def detect_keyword(params: dict[str, Any], text: str) -> list[Detection]:
    """Case-insensitive whole-word occurrences of the ``keywords`` parameter, score 1."""
    keywords = params.get("keywords")
    if (
        not isinstance(keywords, list)
        or not keywords
        or not all(isinstance(k, str) and k.strip() for k in keywords)
    ):
        raise DetectorError("Parameter 'keywords' must be a non-empty list of non-empty strings.")
    if len(keywords) > MAX_KEYWORDS:
        raise DetectorError(f"At most {MAX_KEYWORDS} keywords are accepted.")
    by_lower = {k.strip().lower(): k for k in keywords}
    pattern = _keyword_pattern(tuple(sorted(by_lower)))
    return [
        _span("keyword", by_lower.get(m.group().lower(), m.group()), 1.0, text, *m.span())
        for m in pattern.finditer(text)
    ]


@functools.lru_cache(maxsize=512)
def _compile(pattern: str) -> re.Pattern[str]:
    return re.compile(pattern)


def regex_patterns(params: dict[str, Any]) -> list[str]:
    """Validate the ``regex`` parameter: a list of patterns that all compile."""
    patterns = params.get("regex")
    if not isinstance(patterns, list) or not patterns:
        raise DetectorError("Parameter 'regex' must be a non-empty list of patterns.")
    if len(patterns) > MAX_PATTERNS:
        raise DetectorError(f"At most {MAX_PATTERNS} regex patterns are accepted.")
    for pattern in patterns:
        if not isinstance(pattern, str) or not pattern:
            raise DetectorError(f"Regex pattern {pattern!r} must be a non-empty string.")
        if len(pattern) > MAX_PATTERN_LENGTH:
            raise DetectorError(
                f"Regex pattern {pattern[:40]!r}... is longer than {MAX_PATTERN_LENGTH} characters."
            )
        try:
            _compile(pattern)
        except re.error as exc:
            raise DetectorError(
                f"Regex pattern {pattern!r} does not compile: {exc}.", code="invalid_regex"
            ) from None
    return patterns


def regex_detections(
    patterns: Sequence[str], text: str, matches: Iterable[Sequence[int]]
) -> list[Detection]:
    """Detections for ``(pattern index, start, end)`` matches found by the regex worker."""
    found = [_span("regex", patterns[i], 1.0, text, start, end) for i, start, end in matches]
    found.sort(key=lambda d: (d["start"], d["end"]))
    return found


def find_regex_matches(
    patterns: Sequence[str], text: str, max_matches: int
) -> tuple[list[tuple[int, int, int]], bool]:
    """Non-empty matches of every pattern, capped at ``max_matches``; True when capped.

    Runs the matching in the calling thread with no time limit: the server only calls this
    inside its regex worker process, which it can kill.
    """
    matches: list[tuple[int, int, int]] = []
    for index, pattern in enumerate(patterns):
        for match in _compile(pattern).finditer(text):
            start, end = match.span()
            if start == end:
                continue  # empty matches ("a*") mark no text
            if len(matches) >= max_matches:
                return matches, True
            matches.append((index, start, end))
    return matches, False


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
_RISK_RES = {risk: _term_pattern(terms, inflect=True) for risk, terms in _RISK_TERMS.items()}


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
    detection = _span("risk", risk, score, text, hits[0].start(), hits[-1].end())
    detection["risk_name"] = risk
    return [detection]


# --------------------------------------------------------------------------- relevance

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
            "score": _round(1 - score),
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
                    "score": _round(best_share),
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
            "score": _round(score),
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


# --------------------------------------------------------------------------- tool calls

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


# --------------------------------------------------------------------------- dispatch

# Detectors of the plain text endpoint that need no help from the server (regex does:
# its matching runs in a worker process with a time limit).
TEXT_SCORERS: dict[str, Callable[[dict[str, Any], str], list[Detection]]] = {
    "hap": detect_hap,
    "pii": detect_pii,
    "keyword": detect_keyword,
    "basalt_guardian": detect_basalt_guardian,
    "topic_relevance": detect_topic_relevance,
}


def string_list(value: Any, what: str) -> list[str]:
    """A list of texts from a request member; null entries count as empty texts."""
    if not isinstance(value, list):
        raise DetectorError(f"'{what}' must be a list of strings.")
    texts = []
    for item in value:
        if item is None:
            item = ""
        texts.append(require_str(item, f"{what}[]"))
    return texts
