"""The detection endpoints: their paths, the API version and which detectors each serves."""

from __future__ import annotations

API_VERSION = "2023-10-25"
PATH_TEXT = "/ml/v1/text/detection"
PATH_GENERATED = "/ml/v1/text/detection/generated"
PATH_CONTEXT = "/ml/v1/text/detection/context"
PATH_CHAT = "/ml/v1/text/detection/chat"

TEXT_DETECTORS = frozenset({"hap", "pii", "keyword", "regex", "basalt_guardian", "topic_relevance"})
GENERATED_DETECTORS = frozenset({"answer_relevance"})
CONTEXT_DETECTORS = frozenset({"faithfulness", "context_relevance"})
CHAT_DETECTORS = frozenset({"tool_call_accuracy"})
ALL_DETECTORS = TEXT_DETECTORS | GENERATED_DETECTORS | CONTEXT_DETECTORS | CHAT_DETECTORS

ENDPOINT_DETECTORS = {
    PATH_TEXT: TEXT_DETECTORS,
    PATH_GENERATED: GENERATED_DETECTORS,
    PATH_CONTEXT: CONTEXT_DETECTORS,
    PATH_CHAT: CHAT_DETECTORS,
}
DETECTOR_PATHS = {
    name: path for path, names in ENDPOINT_DETECTORS.items() for name in sorted(names)
}
