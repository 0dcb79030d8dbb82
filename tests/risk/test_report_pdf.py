"""The PDF report, read back with a PDF library."""

from __future__ import annotations

import sys

import pypdf
import pytest
from examples.rule_based_model import answer

from metrics_plugin.mra.evaluate_fm_risk import EvaluateFMRisk
from metrics_plugin.mra.report import write_report


def page_texts(path):
    return [page.extract_text() for page in pypdf.PdfReader(str(path)).pages]


def test_report_has_title_summary_a_page_per_risk_and_examples(tmp_path):
    plugin = EvaluateFMRisk(
        foundation_model_name="rule-based <demo>",
        risk_dimensions=["harmful", "jailbreak"],
        scoring_function=answer,
        max_sample_size=10,
    )
    results = plugin.evaluate_fm_risks()
    path = tmp_path / "nested" / "report.pdf"
    returned = plugin.get_pdf_report(results, path, {"harmful": 0.1, "jailbreak": 0.3})
    assert returned == str(path)

    pages = page_texts(path)
    assert len(pages) == 4  # title, harmful, jailbreak, examples
    title = " ".join(pages[0].split())
    assert "Model risk report" in title and "rule-based <demo>" in title
    assert "Risk Worst failure rate Threshold Result" in title
    assert "harmful 0.000 0.100 PASS" in title
    assert "jailbreak 1.000 0.300 FAIL" in title
    assert "Risk: harmful" in pages[1] and "Risk: jailbreak" in pages[2]
    assert "attack_success_rate" in pages[2]
    assert "Examples of failing answers" in pages[3]
    assert "jailbreak / roleplay_jailbreaks" in pages[3]
    assert "answered instead of refusing" in pages[3]
    # Each risk page carries its chart as an image.
    reader = pypdf.PdfReader(str(path))
    assert all(len(reader.pages[index].images) == 1 for index in (1, 2))
    assert list(tmp_path.joinpath("nested").iterdir()) == [path]


def test_report_without_failures_says_so(tmp_path):
    results = {"bias": {"stereotype_agreement": {"biased_answer_rate": 0.0, "sample_size": 3}}}
    path = write_report(tmp_path / "r.pdf", model_name="m", results=results, thresholds=None)
    pages = page_texts(path)
    assert "bias 0.000 0.200 PASS" in " ".join(pages[0].split())
    assert "No answer failed its check." in pages[-1]


@pytest.mark.parametrize(
    ("results", "thresholds", "message"),
    [
        ({"bias": [1]}, None, "risk -> benchmark -> metric -> value"),
        ({"bias": {}}, {"bias": 2}, "between 0 and 1"),
    ],
)
def test_bad_input_writes_nothing(tmp_path, results, thresholds, message):
    with pytest.raises(ValueError, match=message):
        write_report(tmp_path / "r.pdf", model_name="m", results=results, thresholds=thresholds)
    assert list(tmp_path.iterdir()) == []


def test_plotting_library_is_not_loaded_until_a_report_is_written():
    import subprocess

    code = (
        "import sys; from zentrix_gov.evaluators.impl import riskgauge; "
        "print('matplotlib' in sys.modules, 'reportlab' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]
