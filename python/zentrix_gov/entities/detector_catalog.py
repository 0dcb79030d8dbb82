"""The detector metrics: one description per metric, read by everything that needs to know.

Which detector a metric asks for, at which endpoint, what the request body holds, which
columns of the configuration it reads, whether a higher value is worse and which group it
belongs to are written down once here. The metric classes, ``zentrix_gov.evaluate``, the
command line and the local detection service read this table; the native provider keeps its
own copy, and a test checks that the two agree.

Only the standard library and the enumerations are imported, so that the local detection
service can use the table without loading pydantic or pandas.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from zentrix_gov.entities.enums import BasaltGuardianRisks, MetricGroup

__all__ = [
    "API_VERSION",
    "DETECTOR_METRICS",
    "Body",
    "ColumnUse",
    "DetectorMetricInfo",
    "Endpoint",
    "column_uses",
    "detector_info",
    "detectors_by_endpoint",
]

API_VERSION = "2023-10-25"


class Endpoint:
    """Paths of the detection service's endpoints."""

    TEXT = "/ml/v1/text/detection"
    GENERATED = "/ml/v1/text/detection/generated"
    CONTEXT = "/ml/v1/text/detection/context"
    CHAT = "/ml/v1/text/detection/chat"


class Body:
    """What a request body holds besides ``{"detectors": {name: params}}``."""

    INPUT = "input"  # {"input": <input text>}
    PROMPT_AND_ANSWER = "prompt+generated_text"  # {"prompt": <input>, "generated_text": <output>}
    INPUT_AND_CONTEXT = (
        "input+context"  # {"input": <input>, "context_type": "docs", "context": [...]}
    )
    ANSWER_AND_CONTEXT = "answer+context"  # as INPUT_AND_CONTEXT with the output as "input"
    MESSAGES_AND_TOOLS = "messages+tools"  # {"messages": [user, assistant tool calls], "tools"}


# Settings of the configuration a metric may read.
INPUT, OUTPUT, CONTEXT, REFERENCE, TOOL_CALLS, TOOLS = (
    "input_fields",
    "output_fields",
    "context_fields",
    "reference_fields",
    "tool_calls_field",
    "tools",
)


@dataclass(frozen=True)
class ColumnUse:
    """Columns of one configuration setting that a metric reads.

    ``columns`` is empty when the configuration names none. ``needs_value`` is true when a
    record is only evaluated if at least one of these columns holds a value.
    """

    setting: str
    columns: tuple[str, ...]
    needs_value: bool


@dataclass(frozen=True)
class DetectorMetricInfo:
    """Everything about one detector metric that is not code."""

    name: str  # the metric's name ("hap", "faithfulness", "jailbreak", ...)
    detector: str  # the detector asked for in the request body
    endpoint: str  # one of Endpoint
    body: str  # one of Body
    reads: tuple[str, ...]  # settings whose columns must hold a value (besides the record id)
    higher_is_worse: bool  # detections (True) or qualities (False)
    inverted: bool  # the provider reports 1 - the service's score
    group: MetricGroup  # the group written into results
    in_group: bool  # listed by the group's get_metrics() (only metrics without parameters)
    evidences: str | None  # "spans", "passages" or None: what the results carry as evidence
    default_threshold: float
    summary: str  # one line for listings
    method: str | None = None  # the metric's default method

    @property
    def url_template(self) -> str:
        """The endpoint URL with ``{}`` in place of the service URL."""
        return "{}" + self.endpoint + "?version=" + API_VERSION

    def column_uses(self, configuration: Any) -> list[ColumnUse]:
        """The columns this metric reads from records described by ``configuration``."""
        return column_uses(self.reads, configuration)


def column_uses(reads: tuple[str, ...], configuration: Any) -> list[ColumnUse]:
    """The columns a metric reading the settings ``reads`` takes from the records.

    Providers read the first input column for every metric, so it is always listed.
    """
    uses = [ColumnUse(INPUT, tuple(configuration.input_fields[:1]), INPUT in reads)]
    if OUTPUT in reads:
        uses.append(ColumnUse(OUTPUT, tuple(configuration.output_fields[:1]), True))
    if CONTEXT in reads:
        uses.append(ColumnUse(CONTEXT, tuple(configuration.context_fields), True))
    if REFERENCE in reads:
        uses.append(ColumnUse(REFERENCE, tuple(configuration.reference_fields), True))
    if TOOL_CALLS in reads:
        field = configuration.tool_calls_field
        uses.append(ColumnUse(TOOL_CALLS, (field,) if field else (), True))
    return uses


def _detection(name: str, summary: str, *, evidences: str | None = "spans", **kw: Any):
    options: dict[str, Any] = {
        "detector": name,
        "endpoint": Endpoint.TEXT,
        "body": Body.INPUT,
        "reads": (INPUT,),
        "higher_is_worse": True,
        "inverted": False,
        "group": MetricGroup.CONTENT_SAFETY,
        "in_group": True,
        "evidences": evidences,
        "default_threshold": 0.5,
    }
    options.update(kw)
    return DetectorMetricInfo(name=name, summary=summary, **options)


def _quality(name: str, summary: str, **kw: Any) -> DetectorMetricInfo:
    options: dict[str, Any] = {
        "higher_is_worse": False,
        "evidences": None,
        "default_threshold": 0.7,
    }
    options.update(kw)
    return _detection(name, summary, **options)


# Risks about how the answer behaves rather than about harmful content.
_ANSWER_QUALITY_RISKS = frozenset({BasaltGuardianRisks.EVASIVENESS.value})
SHARED_RISK_DETECTOR = "basalt_guardian"


def _risk(risk: str) -> DetectorMetricInfo:
    group = (
        MetricGroup.ANSWER_QUALITY if risk in _ANSWER_QUALITY_RISKS else MetricGroup.CONTENT_SAFETY
    )
    return _detection(
        risk,
        f"{risk.replace('_', ' ')} risk of the shared risk detector in the input (0 = none)",
        detector=SHARED_RISK_DETECTOR,
        method=SHARED_RISK_DETECTOR,
        group=group,
        evidences=None,
    )


_ALL = [
    _detection("hap", "hate, abuse and profanity in the input (0 = none)"),
    _detection("pii", "personal data in the input: e-mail, phone, card numbers (0 = none)"),
    _detection(
        "keyword",
        "occurrences of the given keywords in the input (needs keywords)",
        in_group=False,
    ),
    _detection(
        "regex",
        "matches of the given regular expressions in the input (needs patterns)",
        in_group=False,
    ),
    _quality(
        "topic_relevance",
        "input on the topic of the system prompt (1 = on topic; needs system_prompt)",
        inverted=True,
        in_group=False,
    ),
    _quality(
        "answer_relevance",
        "how well the answer addresses the question (1 = fully)",
        endpoint=Endpoint.GENERATED,
        body=Body.PROMPT_AND_ANSWER,
        reads=(INPUT, OUTPUT),
        group=MetricGroup.RETRIEVAL_QUALITY,
    ),
    _quality(
        "faithfulness",
        "share of the answer supported by the contexts (1 = all)",
        endpoint=Endpoint.CONTEXT,
        body=Body.ANSWER_AND_CONTEXT,
        reads=(OUTPUT, CONTEXT),
        group=MetricGroup.RETRIEVAL_QUALITY,
        evidences="passages",
        method="faithfulness_model",
    ),
    _quality(
        "context_relevance",
        "relevance of the best context to the question (1 = fully)",
        endpoint=Endpoint.CONTEXT,
        body=Body.INPUT_AND_CONTEXT,
        reads=(INPUT, CONTEXT),
        group=MetricGroup.RETRIEVAL_QUALITY,
        evidences="passages",
        method="context_relevance_model",
    ),
    _quality(
        "tool_call_accuracy",
        "tool calls valid against the tool catalogue (1 = all valid)",
        endpoint=Endpoint.CHAT,
        body=Body.MESSAGES_AND_TOOLS,
        reads=(INPUT, TOOL_CALLS, TOOLS),
        group=MetricGroup.TOOL_CALL_QUALITY,
        inverted=True,
        default_threshold=0.8,
    ),
    _detection(
        "prompt_safety_risk",
        "overall safety risk of the prompt (0 = safe)",
        detector=SHARED_RISK_DETECTOR,
        method=SHARED_RISK_DETECTOR,
        in_group=False,
        evidences=None,
    ),
    *(_risk(risk) for risk in BasaltGuardianRisks.values()),
]

DETECTOR_METRICS: dict[str, DetectorMetricInfo] = {info.name: info for info in _ALL}
del _ALL


def detector_info(name: str) -> DetectorMetricInfo:
    """The description of the detector metric called ``name`` (KeyError when unknown)."""
    return DETECTOR_METRICS[name]


def detectors_by_endpoint() -> dict[str, frozenset[str]]:
    """For each endpoint path, the names of the detectors it serves."""
    served: dict[str, set[str]] = {}
    for info in DETECTOR_METRICS.values():
        served.setdefault(info.endpoint, set()).add(info.detector)
    return {path: frozenset(names) for path, names in served.items()}
