"""What a planned run would ask its judge, before any request: per judged metric, the
requests, the prompt tokens and the cost.

The records are read once: each metric counts the records it would evaluate and keeps an
evenly spread sample of them. The sample is then evaluated as a unit would be, with the
SDK's judge engine noting each prompt instead of sending it
(:func:`zentrix_gov.engines.judge_usage.capturing_prompts`): the prompts are the ones the
judges build. Their tokens are counted with the criteria judge's tokenizer; requests per
record and tokens per request are the sample's, multiplied out over the records. The
answers are given an allowance of the answer cap per request, so the cost is a range:
the prompts alone, and the prompts with every answer at the cap.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.executor import chunk_units
from zentrix_gov.runs.inputs import read_chunks
from zentrix_gov.runs.planning import judges
from zentrix_gov.runs.runner import driver_evaluator
from zentrix_gov.runs.types import RunJob
from zentrix_gov.utils.clock import now

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.runs.plans import RunPlan
    from zentrix_gov.spend.prices import PriceBook

SAMPLE = 20


@dataclass
class MetricEstimate:
    """What one judged metric of a run would ask."""

    name: str
    records: int  # records the metric would evaluate
    sampled: int  # records whose prompts were built
    requests: int  # judge requests over all its records
    prompt_tokens: int  # over all its requests
    output_allowance: int  # the answer cap times the requests
    models: list[str]
    cost_low: float | None  # the prompts alone (None: some model has no price)
    cost_high: float | None  # the prompts and every answer at the cap
    no_price: str | None = None  # why there is no cost


async def estimate_run(
    plan: RunPlan,
    prices: PriceBook,
    max_tokens: int,
    sample: int = SAMPLE,
    jurors: Sequence[str] = (),
) -> list[MetricEstimate]:
    """The estimate of each metric of ``plan`` that asks a judge (see the module); the
    configuration's judge must be set. ``jurors``: the models of a jury (two or more),
    each asked every verdict. Each record's requests are its verdicts' variants (repeats,
    swapped options, jurors: ``plan.blueprint.judging``). Sends no request and writes nothing."""
    from zentrix_gov.engines.judge_usage import capturing_prompts
    from zentrix_gov.judging.settings import Judging, variants
    from zentrix_gov.spend.prices import NoPrice, Price
    from zentrix_gov.spend.usage import count_tokens

    judged = [entry for entry in plan.planned if judges(entry.metric)]
    counts, samples = _sample(plan, judged, sample)
    evaluate = driver_evaluator(plan.blueprint.configuration, None)
    estimates = []
    for entry in judged:
        frame = samples[entry.name]
        with capturing_prompts() as captured:
            if frame is not None:
                await evaluate(entry.metric, frame)
        sampled = 0 if frame is None else len(frame)
        asked = variants(entry.metric, plan.blueprint.judging or Judging(), max(len(jurors), 1))
        per_record = len(asked) * len(captured) / sampled if sampled else 0.0
        requests = round(counts[entry.name] * per_record)
        tokens = [count_tokens(prompt) for _, prompt in captured]
        per_request = sum(tokens) / len(tokens) if tokens else 0.0
        models = list(jurors) if len(jurors) > 1 else sorted({model for model, _ in captured})
        found = [prices.price(model) for model in models]
        low = high = None
        reasons = [price.reason for price in found if isinstance(price, NoPrice)]
        if not reasons:
            # One model per metric as the command line asks; several share the tokens evenly.
            share = 1 / len(found) if found else 0.0
            low = high = 0.0
            for price in found:
                assert isinstance(price, Price)
                prompt = requests * per_request * share
                low += price.cost(round(prompt), 0)
                high += price.cost(round(prompt), round(requests * share) * max_tokens)
        estimates.append(
            MetricEstimate(
                entry.name,
                counts[entry.name],
                sampled,
                requests,
                round(requests * per_request),
                requests * max_tokens,
                models,
                low,
                high,
                "; ".join(reasons) or None,
            )
        )
    return estimates


def _sample(
    plan: RunPlan, judged: list[Any], sample: int
) -> tuple[dict[str, int], dict[str, pd.DataFrame | None]]:
    """Per metric: the records it would evaluate, and an evenly spread sample of them."""
    import pandas as pd

    blueprint = plan.blueprint
    job = RunJob(
        "estimate",
        plan.source,
        blueprint.chunk_size,
        judged,
        blueprint.configuration,
        None,
        now(),  # type: ignore[arg-type]
    )
    step = max(1, plan.source.records // sample)
    counts = {entry.name: 0 for entry in judged}
    picked: dict[str, list[pd.DataFrame]] = {entry.name: [] for entry in judged}
    for chunk, frame in enumerate(read_chunks(plan.source, blueprint.chunk_size)):
        for work in chunk_units(job, chunk, frame, judged):
            name = work.metric.name
            counts[name] += len(work.rows)
            rows = [row for row in work.rows if (work.first_position + row) % step == 0]
            room = sample - sum(len(part) for part in picked[name])
            if rows and room > 0:
                picked[name].append(work.frame.iloc[rows[:room]])
    samples = {
        name: pd.concat(parts).reset_index(drop=True) if parts else None
        for name, parts in picked.items()
    }
    return counts, samples
