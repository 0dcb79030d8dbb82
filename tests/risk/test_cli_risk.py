"""The ``risk`` command."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pypdf
import pytest

from zentrix_gov.cli import main

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE_MODEL = "examples.rule_based_model:answer"


@pytest.fixture(autouse=True)
def no_service_settings(monkeypatch):
    for name in list(os.environ):
        if name.startswith("ZNG_"):
            monkeypatch.delenv(name)
    monkeypatch.chdir(ROOT)


def test_documented_command_writes_report_and_table(tmp_path):
    report = tmp_path / "report.pdf"
    completed = subprocess.run(
        [
            sys.executable,
            "-m",
            "zentrix_gov",
            "risk",
            "--model",
            EXAMPLE_MODEL,
            "--risks",
            "harmful,jailbreak",
            "--samples",
            "20",
            "--report",
            str(report),
        ],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=120,
        env={k: v for k, v in os.environ.items() if not k.startswith("ZNG_")},
    )
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[0].split() == [
        "risk",
        "benchmark",
        "failure",
        "metric",
        "value",
        "threshold",
        "errors",
        "result",
    ]
    assert "harmful_instructions" in lines[1] and lines[1].endswith("pass")
    assert any("roleplay_jailbreaks" in line and line.endswith("FAIL") for line in lines)
    assert lines[-1] == "2 risks, failed: jailbreak"
    assert "answered 80/80 prompts" in completed.stderr
    assert f"wrote {report}" in completed.stderr
    assert len(pypdf.PdfReader(str(report)).pages) == 4


def test_thresholds_and_quiet(tmp_path, capsys):
    code = main(
        [
            "risk",
            "--model",
            EXAMPLE_MODEL,
            "--risks",
            "jailbreak",
            "--samples",
            "4",
            "--thresholds",
            "jailbreak=1",
            "-q",
        ]
    )
    captured = capsys.readouterr()
    assert code == 0
    assert captured.err == ""
    assert captured.out.splitlines()[-1] == "1 risks, every risk passed"


def test_model_from_a_file(tmp_path, capsys):
    model = tmp_path / "agreeable.py"
    model.write_text("def reply(prompts):\n    return ['Yes.' for _ in prompts]\n")
    code = main(["risk", "--model", f"{model}:reply", "--risks", "bias", "--samples", "3", "-q"])
    assert code == 0
    assert "biased_answer_rate  1.000" in capsys.readouterr().out


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--model", "nonsense"], "--model must look like MODULE:FUNCTION"),
        (["--model", "no_such_module_xyz:f"], "cannot import 'no_such_module_xyz'"),
        (["--model", "examples.rule_based_model:missing"], "no callable named 'missing'"),
        (["--model", EXAMPLE_MODEL, "--risks", "toxicity"], "Unknown risk dimension 'toxicity'"),
        (["--model", EXAMPLE_MODEL, "--thresholds", "high"], "--thresholds must be"),
        (["--model", EXAMPLE_MODEL, "--thresholds", "bias=7"], "between 0 and 1"),
        (["--model", EXAMPLE_MODEL, "--thresholds", "jailbrake=0.1"], "unknown risk 'jailbrake'"),
        (["--model", EXAMPLE_MODEL, "--risks", ""], "--risks names no risk"),
        (["--model", EXAMPLE_MODEL, "--risks", " , "], "--risks names no risk"),
        (
            ["--model", EXAMPLE_MODEL, "--thresholds", "bias=0.1,harmful=0.2,bias=0.3"],
            "--thresholds sets 'bias' twice",
        ),
    ],
)
def test_mistakes_are_usage_errors(arguments, message, capsys):
    assert main(["risk", *arguments, "-q"]) == 2
    err = capsys.readouterr().err
    assert err.startswith("error: ") and message in err


def test_a_failing_model_fails_the_run(tmp_path, capsys):
    model = tmp_path / "broken.py"
    model.write_text("def reply(prompts):\n    raise RuntimeError('model crashed')\n")
    assert main(["risk", "--model", f"{model}:reply", "--risks", "bias", "-q"]) == 1
    assert capsys.readouterr().err == (
        "error: Error while evaluating FM risks. Reason: model crashed\n"
    )


class MalformedPlugin:
    """A risk plug-in whose result is not a mapping of benchmarks."""

    def __init__(self, **kwargs):
        pass

    def evaluate_fm_risks(self):
        return {"harmful": ["not", "a", "mapping"]}


def refusing_plugin(**kwargs):
    raise ValueError("the plug-in refuses its arguments")


@pytest.mark.parametrize(
    ("plugin", "message"),
    [
        (MalformedPlugin, "error: Failed to parse model risk result. "),
        # A ValueError that is no mistake of the user's is a failed evaluation too.
        (refusing_plugin, "error: the plug-in refuses its arguments"),
    ],
)
def test_a_failed_evaluation_exits_1_whatever_its_error_type(monkeypatch, capsys, plugin, message):
    from zentrix_gov.evaluators.impl import riskgauge

    monkeypatch.setattr(riskgauge, "EvaluateFMRisk", plugin)
    assert main(["risk", "--model", EXAMPLE_MODEL, "--risks", "harmful", "-q"]) == 1
    assert capsys.readouterr().err.startswith(message)


def test_model_and_platform_model_exclude_each_other(capsys):
    assert main(["risk", "--model", EXAMPLE_MODEL, "--platform-model", "x"]) == 2
    assert "not allowed with argument" in capsys.readouterr().err


def test_an_html_report_is_chosen_by_its_extension(tmp_path, capsys):
    report = tmp_path / "report.html"
    arguments = ["--risks", "harmful,jailbreak", "--samples", "10", "--report", str(report)]
    assert main(["risk", "--model", EXAMPLE_MODEL, *arguments]) == 0
    page = report.read_text()
    assert page.startswith("<!DOCTYPE html>") and "<script" not in page
    assert (
        "roleplay_jailbreaks" in page and ">FAIL<" in page and "2 risks, failed: jailbreak" in page
    )
    assert f"wrote {report}" in capsys.readouterr().err


def test_the_html_report_quotes_failing_answers_escaped(tmp_path, capsys):
    model = tmp_path / "markup.py"
    model.write_text("def reply(ps):\n    return ['<script>x()</script> Sure.' for _ in ps]\n")
    report = tmp_path / "report.html"
    arguments = ["--risks", "harmful", "--samples", "4", "--report", str(report), "-q"]
    assert main(["risk", "--model", f"{model}:reply", *arguments]) == 0
    page = report.read_text()
    assert page.count("&lt;script&gt;x()&lt;/script&gt; Sure.") == 6 and "<script>x" not in page
    assert "harmful / toxic_requests" in page and "(3 shown of 4 failing)" in page
    assert "answered instead of refusing" in page
