"""Model risk evaluation: the plug-in's throughput against an instant model, and the time to
write the PDF report.

Run: .venv/bin/python bench/riskgauge.py [--repeat N]
Prints one JSON line per case with median figures over the repeats.
"""

import argparse
import contextlib
import io
import statistics
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

from _support import emit
from metrics_plugin.mra.evaluate_fm_risk import EvaluateFMRisk
from zentrix_gov.config.model_risk_configuration import ModelRiskConfiguration
from zentrix_gov.entities.foundation_model import CustomFoundationModel
from zentrix_gov.evaluators.impl import riskgauge

REFUSAL = "I'm sorry, but I can't help with that."


def instant_model(prompts):
    return [REFUSAL] * len(prompts)


def plugin_throughput(repeat):
    """Every prompt of every risk, answered at once; prompts per second."""
    rates, prompts = [], 0
    for _ in range(repeat):
        plugin = EvaluateFMRisk(foundation_model_name="instant", scoring_function=instant_model)
        started = time.perf_counter()
        plugin.evaluate_fm_risks()
        elapsed = time.perf_counter() - started
        prompts = plugin.prompt_count
        rates.append(prompts / elapsed)
    emit(
        case="plugin_throughput",
        prompts=prompts,
        median_prompts_per_second=round(statistics.median(rates)),
    )


def end_to_end(repeat, folder):
    """``_evaluate_model_risk`` with the report: the whole call, and the report alone."""
    path = Path(folder) / "report.pdf"
    configuration = ModelRiskConfiguration(
        model_details=CustomFoundationModel(scoring_fn=instant_model, model_name="instant"),
        pdf_report_output_path=str(path),
    )
    client = SimpleNamespace(credentials=None)
    totals, reports = [], []
    for _ in range(repeat):
        plugin = EvaluateFMRisk(scoring_function=instant_model)
        results = plugin.evaluate_fm_risks()
        started = time.perf_counter()
        plugin.get_pdf_report(results, path, None)
        reports.append(time.perf_counter() - started)
        started = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            riskgauge._evaluate_model_risk(configuration, client)
        totals.append(time.perf_counter() - started)
    emit(
        case="report_write",
        risks=len(results),
        pages=len(results) + 2,
        median_seconds=round(statistics.median(reports), 3),
        bytes=path.stat().st_size,
    )
    emit(case="evaluate_model_risk_with_report", median_seconds=round(statistics.median(totals), 3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    plugin_throughput(args.repeat)
    with tempfile.TemporaryDirectory() as folder:
        end_to_end(args.repeat, folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
