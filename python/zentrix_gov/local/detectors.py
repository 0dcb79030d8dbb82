"""The detectors of the local detection service and the scorer behind each.

The scoring lives in :mod:`zentrix_gov.local.scoring`, one module per detector family;
this module names what is served where and keeps the older import path working.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from ._regex_worker import find_regex_matches
from .endpoints import (
    ALL_DETECTORS,
    CHAT_DETECTORS,
    CONTEXT_DETECTORS,
    GENERATED_DETECTORS,
    TEXT_DETECTORS,
)
from .scoring.common import (
    STOP_WORDS,
    Detection,
    DetectorError,
    content_words,
    require_str,
    sentences,
    similarity,
    string_list,
)
from .scoring.patterns import (
    MAX_KEYWORDS,
    MAX_PATTERN_LENGTH,
    MAX_PATTERNS,
    detect_keyword,
    regex_detections,
    regex_patterns,
)
from .scoring.pii import PII_SCORES, detect_pii, luhn_valid
from .scoring.relevance import (
    ON_TOPIC_SIMILARITY,
    SUPPORT_SHARE,
    detect_answer_relevance,
    detect_context_relevance,
    detect_faithfulness,
    detect_topic_relevance,
)
from .scoring.risks import BASALT_GUARDIAN_RISKS, detect_basalt_guardian, detect_hap
from .scoring.tool_calls import detect_tool_call_accuracy

# Detectors of the plain text endpoint that need no help from the server (regex does:
# its matching runs in a worker process with a time limit).
TEXT_SCORERS: dict[str, Callable[[dict[str, Any], str], list[Detection]]] = {
    "hap": detect_hap,
    "pii": detect_pii,
    "keyword": detect_keyword,
    "basalt_guardian": detect_basalt_guardian,
    "topic_relevance": detect_topic_relevance,
}

__all__ = [
    "ALL_DETECTORS",
    "BASALT_GUARDIAN_RISKS",
    "CHAT_DETECTORS",
    "CONTEXT_DETECTORS",
    "GENERATED_DETECTORS",
    "MAX_KEYWORDS",
    "MAX_PATTERNS",
    "MAX_PATTERN_LENGTH",
    "ON_TOPIC_SIMILARITY",
    "PII_SCORES",
    "STOP_WORDS",
    "SUPPORT_SHARE",
    "TEXT_DETECTORS",
    "TEXT_SCORERS",
    "Detection",
    "DetectorError",
    "content_words",
    "detect_answer_relevance",
    "detect_basalt_guardian",
    "detect_context_relevance",
    "detect_faithfulness",
    "detect_hap",
    "detect_keyword",
    "detect_pii",
    "detect_tool_call_accuracy",
    "find_regex_matches",
    "luhn_valid",
    "regex_detections",
    "regex_patterns",
    "require_str",
    "sentences",
    "similarity",
    "string_list",
]
