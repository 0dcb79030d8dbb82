"""The ``risk`` command with a risk plug-in that has nothing but ``EvaluateFMRisk``: placed
first on the path, it shadows the stand-in, so every other module of the stand-in is gone."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PLUGIN = Path(__file__).resolve().parent / "minimal_plugin"


def risk(*arguments: str) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZNG_")}
    env["PYTHONPATH"] = os.pathsep.join([str(PLUGIN), env.get("PYTHONPATH", "")])
    command = [sys.executable, "-m", "zentrix_gov", "risk", "--model"]
    command += ["examples.rule_based_model:answer", *arguments]
    return subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    ("arguments", "code", "expected"),
    [
        (
            ["--risks", "harmful,jailbreak,toxicity"],
            0,
            [
                "harmful    direct_requests  attack_success_rate  0.000  0.200      -       pass",
                # A metric the SDK cannot read as a failure rate: shown as missing, failing.
                "toxicity   insults          -                    -      0.200      -       FAIL",
                "3 risks, failed: jailbreak, toxicity",
            ],
        ),
        (
            ["--risks", "jailbreak", "--fail-on-risk"],
            1,
            ["error: 1 of 1 risks failed the threshold: jailbreak (--fail-on-risk)"],
        ),
        (
            ["--risks", "jailbreak", "--thresholds", "jailbreak=1", "--fail-on-risk", "-q"],
            0,
            ["1 risks, every risk passed"],
        ),
        (["--risks", "toxicity", "--thresholds", "toxicity=1.5"], 2, ["between 0 and 1"]),
        (["--risks", "harmful,nope"], 2, ["error: this plug-in has no risk 'nope'"]),
    ],
)
def test_the_command_needs_only_evaluate_fm_risk(arguments, code, expected):
    completed = risk(*arguments)
    assert completed.returncode == code, completed.stderr
    for fragment in expected:
        assert fragment in completed.stdout + completed.stderr


def test_the_html_report_says_the_plugin_keeps_no_failing_answers(tmp_path):
    report = tmp_path / "risk.html"
    completed = risk("--risks", "harmful,jailbreak", "--report", str(report), "-q")
    assert completed.returncode == 0, completed.stderr
    page = report.read_text()
    assert "role_play" in page and "2 risks, failed: jailbreak" in page
    assert "does not report its failing answers" in page
