"""Criteria from the command line: --criteria files, planning, the judge check, the results.

The provider is replaced by the fake of ``tests/metrics/fake_critwise.py`` except in the
last test, which runs the real one against the local judge service.
"""

from __future__ import annotations

import csv
import json
import resource
import subprocess
import sys

import pytest

from tests.support.sanitizer import SANITIZED
from zentrix_gov.cli import main
from zentrix_gov.cli.parser import build_parser
from zentrix_gov.metrics import load_criteria
from zentrix_gov.metrics.criteria_files import MAX_FILE_BYTES

from .conftest import COLUMNS, EXAMPLES, RECORDS, ROOT, clean_env, run_cli

JUDGE_ARGS = ["--judge", "http://127.0.0.1:9/v1", "--judge-model", "judge-model"]
ROWS = [
    {"id": "grounded", "question": "How heavy may my bag be?",
     "answer": "Checked bags may weigh 23 kg.", "contexts": ["Bags up to 23 kg are included."]},
    {"id": "ungrounded", "question": "Is there wifi?", "answer": "Planes never carry internet.",
     "contexts": ["Wifi is offered on long flights."]},
    {"id": "no-answer", "question": "Where is my bag?", "contexts": ["Bags arrive at belt 3."]},
    {"id": "unreadable", "question": "Seat?", "answer": "??? garbled", "contexts": ["Seat 12A."]},
]  # fmt: skip
GROUNDING = {
    "name": "grounding",
    "criteria": "Is {answer} supported by {contexts}?",
    "context_fields": ["contexts"],
    "options": [
        {"name": "Yes", "description": "Supported.", "value": 1},
        {"name": "No", "description": "Not supported.", "value": 0},
    ],
    "compute_token_count": True,
}
DETAILS = ["label", "explanation", "feedback", "input_tokens", "output_tokens"]


@pytest.fixture
def judge_env(monkeypatch):
    for key in ("ZENTRIX_JUDGE_URL", "ZENTRIX_JUDGE_MODEL", "OPENAI_API_KEY"):
        monkeypatch.delenv(key, raising=False)
    for key in ("ZNG_API_KEY", "ZNG_SERVICE_INSTANCE_ID", "ZNG_URL", "ZNG_VERSION"):
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("ZENTRIX_JUDGE_API_KEY", "test-judge-key")


@pytest.fixture
def files(tmp_path):
    """Records, config and criteria files of a run, by name; ``files.criteria(...)`` writes
    another criteria file."""

    class Files:
        records = tmp_path / "records.jsonl"
        config = tmp_path / "columns.json"
        output = tmp_path / "out" / "results.json"

        @staticmethod
        def criteria(document, name="criteria.json"):
            path = tmp_path / name
            path.write_text(json.dumps(document))
            return path

        @staticmethod
        def write_config(**changes):
            document = {
                "input_fields": ["question"],
                "output_fields": ["answer"],
                "context_fields": ["contexts"],
                "record_id_field": "id",
                **changes,
            }
            Files.config.write_text(json.dumps(document))

    Files.records.write_text("".join(json.dumps(row) + "\n" for row in ROWS))
    Files.write_config()
    return Files


def evaluate(files, *args):
    return main(["evaluate", str(files.records), "--config", str(files.config), *map(str, args)])


def by_metric(path) -> dict[str, dict]:
    return {entry["metric"]: entry for entry in json.loads(path.read_text())["metrics"]}


def test_criteria_is_repeatable_and_metrics_optional():
    args = build_parser().parse_args(["evaluate", "r.jsonl", "--criteria", "a.yaml",
                                      "--criteria", "b.json"])  # fmt: skip
    assert args.criteria == ["a.yaml", "b.json"] and args.metrics is None
    args = build_parser().parse_args(["evaluate", "r.jsonl", "-m", "hap"])
    assert args.criteria is None and args.metrics == ["hap"]


class TestPlanning:
    @pytest.fixture(autouse=True)
    def no_service(self, monkeypatch):
        def refuse(*args, **kwargs):
            raise AssertionError("a service was started")

        monkeypatch.setattr("zentrix_gov.cli.service.open_service", refuse)
        monkeypatch.setattr("zentrix_gov.cli.judge.open_judge", refuse)

    def test_neither_metrics_nor_criteria(self, files, capsys):
        assert evaluate(files) == 2
        assert "give --metrics NAMES, --criteria FILE or both" in capsys.readouterr().err

    def test_a_criterion_needs_a_judge(self, files, capsys, judge_env, fake_critwise):
        assert evaluate(files, "--criteria", files.criteria(GROUNDING)) == 2
        err = capsys.readouterr().err
        assert "criterion 'grounding' is judged by an LLM and needs a judge" in err
        assert "--judge URL (or --judge local)" in err
        assert fake_critwise.built == []

    @pytest.mark.parametrize(
        ("changes", "config", "fragments"),
        [
            ({"prediction_field": "response"}, {},
             ["has no column 'response' (prediction_field, needed by grounding)",
              "its columns are: id, question, answer, contexts"]),
            ({"context_fields": ["passages"]}, {}, ["no column 'passages' (context_fields"]),
            ({"criteria": None, "prompt_template": "{question} - {tone}?"}, {},
             ["no column 'tone' (prompt_template, needed by grounding)"]),
            ({}, {"output_fields": []}, ["grounding needs the column of the text to judge"]),
        ],
    )  # fmt: skip
    def test_missing_columns_are_reported_before_anything_runs(
        self, files, capsys, judge_env, fake_critwise, changes, config, fragments
    ):
        files.write_config(**config)
        criteria = files.criteria({**GROUNDING, **changes})
        assert evaluate(files, "--criteria", criteria, *JUDGE_ARGS) == 2
        err = capsys.readouterr().err
        for fragment in fragments:
            assert fragment in err
        assert fake_critwise.built == []

    def test_names_must_differ(self, files, capsys, judge_env):
        hap = files.criteria({**GROUNDING, "name": "hap"})
        assert evaluate(files, "-m", "hap", "--criteria", hap, *JUDGE_ARGS) == 2
        assert "two metrics are named 'hap'" in capsys.readouterr().err
        again = files.criteria(GROUNDING, "again.json")
        assert evaluate(files, "--criteria", again, "--criteria", again, *JUDGE_ARGS) == 2
        assert "two metrics are named 'grounding'" in capsys.readouterr().err
        # rag_faithfulness files its results as "faithfulness".
        faithfulness = files.criteria({**GROUNDING, "name": "faithfulness"}, "f.json")
        args = ["-m", "rag_faithfulness", "--criteria", faithfulness, *JUDGE_ARGS]
        assert evaluate(files, *args) == 2
        assert (
            "criterion 'faithfulness' has the name of the results of metric 'rag_faithfulness'"
            in capsys.readouterr().err
        )

    def test_a_bad_file_names_file_and_field(self, files, capsys, judge_env):
        bad = files.criteria({**GROUNDING, "options": [{"name": "Yes", "value": 1}]})
        assert evaluate(files, "--criteria", bad, *JUDGE_ARGS) == 2
        err = capsys.readouterr().err
        assert f"error: criteria file {bad}, criterion 'grounding': field 'options'" in err
        assert "give at least two options" in err

    def test_metric_criteria_needs_a_definition(self, files, capsys, judge_env):
        assert evaluate(files, "-m", "criteria", *JUDGE_ARGS) == 2
        assert "metric 'criteria' needs a definition: give --criteria FILE" in (
            capsys.readouterr().err
        )


def alias_bomb() -> str:
    """Under 500 bytes that stand for 9**9 texts: each anchor repeats the one before it nine
    times."""
    anchors = ["&a0 [lol,lol,lol,lol,lol,lol,lol,lol,lol]"]
    anchors += [f"&a{n} [" + ",".join([f"*a{n - 1}"] * 9) + "]" for n in range(1, 9)]
    return (
        "name: bomb\ncriteria: Is {answer} fine?\noptions:\n"
        f"- {{name: Yes, value: [{', '.join(anchors)}]}}\n- {{name: No, value: 0}}\n"
    )


class TestBounds:
    def test_an_alias_bomb_is_refused_at_once_in_little_memory(self, tmp_path):
        bomb = tmp_path / "bomb.yaml"
        bomb.write_text(alias_bomb())
        gigabyte = 2**30

        def limit_memory():
            resource.setrlimit(resource.RLIMIT_AS, (gigabyte, gigabyte))

        # AddressSanitizer reserves terabytes of address space for its shadow memory: under
        # the sanitizer build the refusal is checked without the limit.

        done = subprocess.run(
            [sys.executable, "-m", "zentrix_gov", "evaluate", RECORDS, "-c", COLUMNS,
             "--criteria", bomb],
            capture_output=True, text=True, env=clean_env(), cwd=ROOT, timeout=60,
            preexec_fn=None if SANITIZED else limit_memory,
        )  # fmt: skip
        assert done.returncode == 2, done.stderr[-2000:]
        assert done.stderr == (
            f"error: criteria file {bomb}: its aliases (*name) expand to more than 2,000,000 "
            "characters; write the values out instead\n"
        )

    @pytest.mark.parametrize(
        ("text", "fragments"),
        [
            ("name: big\n#" + "x" * MAX_FILE_BYTES, ["is larger than 1,000,000 bytes (1 MB)"]),
            ("name: loop\ncriteria: Fine?\noptions: &o [*o, *o]\n", ["contains the alias itself"]),
            (f"name: long\ncriteria: Fine?\noptions:\n- {{name: Yes, value: {'9x' * 50_000}}}\n"
             "- {name: No, value: 0}\n", ["needs a number as value, not '9x9x9x"]),
            (f"name: {'n' * 50_000}\ncriteria: Fine?\noptions: []\n",
             ["criterion 'nnnnn", "give at least two options"]),
        ],
        ids=["size", "self-reference", "long value", "long name"],
    )  # fmt: skip
    def test_file_bounds_and_short_error_lines(self, files, capsys, judge_env, text, fragments):
        path = files.criteria({}, "criteria.yaml")
        path.write_text(text)
        assert evaluate(files, "--criteria", path, *JUDGE_ARGS) == 2
        (line,) = capsys.readouterr().err.splitlines()
        assert line.startswith(f"error: criteria file {path}") and len(line) < 600
        for fragment in fragments:
            assert fragment in line

    def test_anchors_still_share_values_between_criteria(self, files):
        path = files.criteria({}, "shared.yaml")
        path.write_text(
            "- name: first\n  criteria: Is it fine?\n"
            "  options: &yes_no [{name: Yes, value: 1}, {name: No, value: 0}]\n"
            "- name: second\n  criteria: Is it polite?\n  options: *yes_no\n"
        )
        second = load_criteria(path)[1]
        assert [option.name for option in second.options] == ["Yes", "No"]


class TestRun:
    def test_results_carry_labels_explanations_feedback_and_tokens(
        self, files, capsys, judge_env, fake_critwise
    ):
        code = evaluate(files, "--criteria", files.criteria(GROUNDING), *JUDGE_ARGS,
                        "-o", files.output)  # fmt: skip
        captured = capsys.readouterr()
        assert code == 0, captured.err
        (provider,) = fake_critwise.built
        # The judge of the command line reaches the provider through the configuration.
        assert provider.args[3].model.model_id == "judge-model"
        assert provider.keywords["record_id_field"] == "id"
        assert list(provider.evaluated[0]["id"]) == ["grounded", "ungrounded", "unreadable"]

        entry = by_metric(files.output)["grounding"]
        assert entry["skipped_record_ids"] == ["no-answer"]
        records = {r["record_id"]: r for r in entry["record_level_metrics"]}
        assert (records["grounded"]["value"], records["grounded"]["label"]) == (1, "Yes")
        assert (records["ungrounded"]["value"], records["ungrounded"]["label"]) == (0, "No")
        assert records["grounded"]["explanation"] == "The judge chose Yes."
        info = records["grounded"]["additional_info"]
        assert info["feedback"] == "Consider: Supported." and info["output_tokens"] == 7
        assert info["input_tokens"] == len(ROWS[0]["answer"].split())
        assert records["unreadable"]["value"] is None
        assert records["unreadable"]["errors"][0]["code"] == "UNPARSEABLE_VERDICT"
        assert entry["value"] == 0.5

        with files.output.with_suffix(".csv").open(newline="") as handle:
            rows = {row["id"]: row for row in csv.DictReader(handle)}
        assert list(rows["grounded"]) == ["id", "grounding", *(f"grounding.{d}" for d in DETAILS)]
        assert rows["grounded"]["grounding"] == "1"
        assert rows["grounded"]["grounding.label"] == "Yes"
        assert rows["grounded"]["grounding.feedback"] == "Consider: Supported."
        assert rows["ungrounded"]["grounding.label"] == "No"
        assert rows["ungrounded"]["grounding.input_tokens"] == "4"
        assert set(rows["no-answer"].values()) == {"no-answer", ""}
        assert rows["unreadable"]["grounding"] == rows["unreadable"]["grounding.label"] == ""

        table = captured.out.splitlines()
        # 3 of 4 records read, one verdict unreadable: a value for 2 of 3, one skipped.
        assert table[2].split() == [
            "grounding", "0.5000", "0.0000", "1.0000", "3/4", "66.7%", "0", "1", "1"
        ]  # fmt: skip

    def test_criteria_beside_metrics(self, files, capsys, judge_env, fake_critwise):
        polite = {"name": "polite", "prompt_template": "Q: {question} A: {answer} Polite?",
                  "options": GROUNDING["options"]}  # fmt: skip
        code = evaluate(files, "-m", "hap", "--criteria", files.criteria(GROUNDING),
                        "--criteria", files.criteria(polite, "polite.yaml"), *JUDGE_ARGS,
                        "-o", files.output, "-q")  # fmt: skip
        assert code == 0, capsys.readouterr().err
        assert list(by_metric(files.output)) == ["hap", "grounding", "polite"]
        with files.output.with_suffix(".csv").open(newline="") as handle:
            header = next(csv.reader(handle))
        # Token counts were not asked for by "polite"; hap has no labels.
        polite_columns = ["polite", "polite.label", "polite.explanation", "polite.feedback"]
        assert header == ["id", "hap", "grounding", *(f"grounding.{d}" for d in DETAILS),
                          *polite_columns]  # fmt: skip

    def test_criteria_from_the_config_file(self, files, capsys, judge_env, fake_critwise):
        two = files.criteria([GROUNDING, {**GROUNDING, "name": "grounding_again"}])
        files.write_config(metric_params={"criteria": {"file": str(two)}})
        assert evaluate(files, "-m", "criteria", *JUDGE_ARGS, "-o", files.output, "-q") == 0
        assert list(by_metric(files.output)) == ["grounding", "grounding_again"]
        files.write_config(metric_params={"criteria": {**GROUNDING, "name": "inline"}})
        assert evaluate(files, "-m", "criteria", *JUDGE_ARGS, "-o", files.output, "-q") == 0
        assert list(by_metric(files.output)) == ["inline"]
        assert capsys.readouterr().err == ""


def test_metrics_listing_shows_criteria(capsys):
    assert main(["metrics"]) == 0
    (line,) = [line for line in capsys.readouterr().out.splitlines() if "criteria " in line]
    assert line.split()[0] == "criteria" and "LLM judge" in line


def test_example_criterion_against_the_local_judge(tmp_path):
    """The real provider over the example records; needs zentrix_gov.providers.critwise."""
    output = tmp_path / "results.json"
    done = run_cli(
        "evaluate", RECORDS, "--config", COLUMNS,
        "--criteria", EXAMPLES / "criteria" / "answer_grounding.yaml",
        "--judge", "local", "-o", output, "-q",
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    # Quiet: neither progress bars nor the libraries' warnings.
    assert done.stderr == ""
    (entry,) = json.loads(output.read_text())["metrics"]
    assert entry["metric"] == "answer_grounding"
    records = entry["record_level_metrics"]
    rows = [json.loads(line) for line in RECORDS.read_text().splitlines()]
    with_answer = {row["id"] for row in rows if row.get("answer")}
    assert {record["record_id"] for record in records} == with_answer
    for record in records:
        assert record["label"] in {"Yes", "No"}
        assert record["value"] == {"Yes": 1, "No": 0}[record["label"]]
        assert record["explanation"]
        info = record["additional_info"]
        # An answer judged unsupported always comes with feedback on what to improve.
        if record["label"] == "No":
            assert info["feedback"]
        assert info["input_tokens"] > 0 and info["output_tokens"] > 0
    assert {record["label"] for record in records} == {"Yes", "No"}
    with output.with_suffix(".csv").open(newline="") as handle:
        header = next(csv.reader(handle))
    assert header == ["id", "answer_grounding", *(f"answer_grounding.{d}" for d in DETAILS)]
