"""How a run asks its judges: each verdict several times (repeats), with the options listed
in reverse order as well (swapped options), by several judges (a jury); and the variants of
a judge metric that come of it.

A variant is one way of asking the judge for every record of a unit: juror ``j``, repeat
``r``, options in their order or swapped. Its judge is the juror's, with a seed of its own
(``JUDGE_SEED + j * repeats + r``: repeat 0 of the first juror is asked exactly as a run
without repeats asks) and, when one model is asked more than once per record, a sampling
temperature (``REPEAT_TEMPERATURE`` unless ``temperature`` says otherwise): at
temperature 0 a model answers the same whatever the seed, and repeats would measure
nothing. A swapped variant keeps its twin's seed, so only the order of the options
differs.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from pydantic import BaseModel, ConfigDict, Field

if TYPE_CHECKING:
    from zentrix_gov.entities.llm_judge import LLMJudge

# The temperature of repeated verdicts of one model, unless the run says otherwise.
REPEAT_TEMPERATURE = 0.7
MAJORITY, MEAN, MEDIAN = "majority", "mean", "median"


class Judging(BaseModel):
    """How each judge verdict of a run is asked and combined.

    - ``repeats``: ask each verdict this many times, with distinct seeds; a record's
      verdict is the majority option (a tie goes to the option of lower value) or the
      mean score;
    - ``swap_options``: ask criteria a second time with their options in reverse order;
      a record whose verdict changes is unstable;
    - ``unstable``: ``keep`` unstable records' verdicts, or ``drop`` them (the record is
      then an error, ``UNSTABLE_VERDICT``);
    - ``jury``: how the jurors' verdicts are combined when a run has several judges
      (default: majority for options, mean for scores); ``quorum``: how many jurors must
      give a verdict for the record to have one (default: a majority of them);
    - ``temperature``: the sampling temperature of every variant (default: the judge's
      own, or ``REPEAT_TEMPERATURE`` when one model is asked more than once per record).
    """

    model_config = ConfigDict(frozen=True, extra="forbid")

    repeats: int = Field(default=1, ge=1)
    swap_options: bool = False
    unstable: Literal["keep", "drop"] = "keep"
    jury: Literal["majority", "mean", "median"] | None = None
    quorum: int | None = Field(default=None, ge=1)
    temperature: float | None = Field(default=None, ge=0)

    def jury_method(self, options: bool) -> str:
        return self.jury or (MAJORITY if options else MEAN)

    def quorum_of(self, jurors: int) -> int:
        """Jurors that must answer for a record to have a verdict."""
        return self.quorum if self.quorum is not None else jurors // 2 + 1


@dataclass(frozen=True, order=True)
class Variant:
    """One way of asking for every record's verdict."""

    juror: int
    repeat: int
    swapped: bool

    def key(self) -> tuple[int, int, int]:
        return (self.juror, self.repeat, int(self.swapped))

    def describe(self) -> str:
        swapped = ", options swapped" if self.swapped else ""
        return f"juror {self.juror + 1}, repeat {self.repeat + 1}{swapped}"


def swappable(metric: Any) -> bool:
    """Whether the metric lists options a judge picks from (criteria)."""
    from zentrix_gov.metrics.criteria import CriteriaMetric

    return isinstance(metric, CriteriaMetric) and len(metric.options) >= 2


def variants(metric: Any, judging: Judging, jurors: int) -> list[Variant]:
    """Every variant each record of ``metric`` is judged by, in the order they combine."""
    sides = (False, True) if judging.swap_options and swappable(metric) else (False,)
    return [
        Variant(juror, repeat, swapped)
        for juror in range(max(jurors, 1))
        for repeat in range(judging.repeats)
        for swapped in sides
    ]


def juror_identity(judge: Any) -> tuple[str | None, str | None]:
    """A judge's model and URL (never its key)."""
    model = getattr(judge, "model", None)
    credentials = getattr(getattr(model, "provider", None), "credentials", None)
    url = getattr(credentials, "api_url", None) or getattr(credentials, "url", None)
    return getattr(model, "model_id", None), url


def temperature_for(judging: Judging, jurors: list[LLMJudge]) -> float | None:
    """The temperature of every variant: the run's, else ``REPEAT_TEMPERATURE`` when one
    model is asked more than once per record, else None (the judge's own)."""
    if judging.temperature is not None:
        return judging.temperature
    identities = [juror_identity(juror) for juror in jurors]
    if judging.repeats > 1 or len(set(identities)) < len(identities):
        return REPEAT_TEMPERATURE
    return None


def variant_metric(
    metric: Any, variant: Variant, judge: LLMJudge, judging: Judging, temperature: float | None
) -> Any:
    """``metric`` as ``variant`` asks it: the juror's judge with the variant's seed (and
    temperature), the options reversed when swapped. The judge's request options are kept
    as they are: every variant of a judge shares its request slots."""
    from zentrix_gov.engines.openai_judge import JUDGE_SEED

    parameters = dict(judge.model.parameters or {})
    parameters["seed"] = JUDGE_SEED + variant.juror * judging.repeats + variant.repeat
    if temperature is not None:
        parameters["temperature"] = temperature
    model = judge.model.model_copy(update={"parameters": parameters})
    update: dict[str, Any] = {"llm_judge": judge.model_copy(update={"model": model})}
    if variant.swapped:
        update["options"] = list(reversed(metric.options))
    return metric.model_copy(update=update)
