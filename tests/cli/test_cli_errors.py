"""Mistakes a user can make end with one ``error:`` line and the documented exit code."""

from __future__ import annotations

import json

import pytest

from zentrix_gov.cli import main

from .conftest import COLUMNS, EXAMPLES, RECORDS, closed_port

USAGE, FAILED = 2, 1

CONFIG = json.loads(COLUMNS.read_text())
TWO_RECORDS = [{"id": "x", "input_text": "a"}, {"id": "x", "input_text": "b"}]

# Files a case may name as {tmp}/<name>.
FILES = {
    "broken.jsonl": '{"input_text": "a"}\n{"input_text": \n',
    "list_line.jsonl": '{"input_text": "a"}\n["b"]\n',
    "object.json": '{"input_text": "a"}',
    "not_utf8.csv": b"input_text\n\xff\xfe broken\n",
    "records.txt": "input_text\nhello\n",
    "empty.jsonl": "\n",
    "repeated_ids.json": json.dumps(TWO_RECORDS),
    "ids.json": json.dumps({"record_id_field": "id"}),
    "bad.json": '{"input_fields": ["q"],\n}',
    "misspelt.json": json.dumps({"input_field": ["question"]}),
    "numbers.json": json.dumps({"input_fields": [1, 2]}),
    "passages.json": json.dumps({"input_fields": ["question"], "context_fields": ["passages"]}),
    "no_tools.json": json.dumps({k: v for k, v in CONFIG.items() if k != "tools"}),
    "bad_regex.json": json.dumps({**CONFIG, "metric_params": {"regex": {"patterns": ["(x"]}}}),
    "regex_typo.json": json.dumps({**CONFIG, "metric_params": {"regex": {"pattern": ["x"]}}}),
    "metric_typo.json": json.dumps({**CONFIG, "metric_params": {"keywrd": {"keywords": ["x"]}}}),
    "harm_risk.json": json.dumps({**CONFIG, "metric_params": {"harm": {"risk": "violence"}}}),
    "extra_field.csv": "input_text,generated_text\nhello,hi\nsmall,talk,extra\n",
    "deep.jsonl": '{"input_text": ' + "[" * 100_000 + "]" * 100_000 + "}\n",
    "deep.json": "[" * 100_000 + "]" * 100_000,
}

EVALUATE = ["evaluate", str(RECORDS)]
WITH_CONFIG = [*EVALUATE, "-c", str(COLUMNS)]

# argv, expected exit code, fragments the error line holds
CASES = {
    "unknown metric": (
        [*WITH_CONFIG, "-m", "hap,happ"],
        USAGE,
        ["unknown metric 'happ'", "did you mean 'hap'", "pii", "tool_call_accuracy", "jailbreak"],
    ),
    "metrics required": (EVALUATE, USAGE, ["--metrics"]),
    "no command": ([], USAGE, ["evaluate"]),
    "output names the csv": ([*WITH_CONFIG, "-m", "hap", "-o", "{tmp}/r.csv"], USAGE, ["r.csv"]),
    "max concurrency 0": (
        [*EVALUATE, "-m", "hap", "--concurrent", "--max-concurrency", "0"],
        USAGE,
        ["max-concurrency"],
    ),
    "negative timeout": ([*EVALUATE, "-m", "hap", "--timeout", "-1"], USAGE, ["--timeout"]),
    "missing column": ([*EVALUATE, "-m", "hap"], USAGE, ["'input_text'", "question", "contexts"]),
    "missing context column": (
        [*EVALUATE, "-c", "{tmp}/passages.json", "-m", "context_relevance"],
        USAGE,
        ["'passages'", "context_fields"],
    ),
    "records missing": (
        ["evaluate", "{tmp}/nope.jsonl", "-m", "hap"],
        USAGE,
        ["nope.jsonl", "does not exist"],
    ),
    "malformed jsonl": (["evaluate", "{tmp}/broken.jsonl", "-m", "hap"], USAGE, ["line 2"]),
    "jsonl line not an object": (
        ["evaluate", "{tmp}/list_line.jsonl", "-m", "hap"],
        USAGE,
        ["line 2", "not a JSON object"],
    ),
    "json not a list": (["evaluate", "{tmp}/object.json", "-m", "hap"], USAGE, ["list of objects"]),
    "not utf-8": (["evaluate", "{tmp}/not_utf8.csv", "-m", "hap"], USAGE, ["UTF-8"]),
    "unknown file type": (
        ["evaluate", "{tmp}/records.txt", "-m", "hap"],
        USAGE,
        [".csv", ".jsonl"],
    ),
    "no records": (["evaluate", "{tmp}/empty.jsonl", "-m", "hap"], USAGE, ["no records"]),
    "repeated ids": (
        ["evaluate", "{tmp}/repeated_ids.json", "-c", "{tmp}/ids.json", "-m", "hap"],
        USAGE,
        ["unique", "'x'"],
    ),
    "csv row longer than the header": (
        ["evaluate", "{tmp}/extra_field.csv", "-m", "hap"],
        USAGE,
        ["row 2", "3 fields", "2 columns"],
    ),
    "jsonl nested too deeply": (
        ["evaluate", "{tmp}/deep.jsonl", "-m", "hap"],
        USAGE,
        ["line 1", "nested too deeply"],
    ),
    "json nested too deeply": (
        ["evaluate", "{tmp}/deep.json", "-m", "hap"],
        USAGE,
        ["nest", "too deeply"],
    ),
    "config not json": (
        [*EVALUATE, "-c", "{tmp}/bad.json", "-m", "hap"],
        USAGE,
        ["not valid JSON", "line 2"],
    ),
    "unknown setting": (
        [*EVALUATE, "-c", "{tmp}/misspelt.json", "-m", "hap"],
        USAGE,
        ["'input_field'", "input_fields"],
    ),
    "setting of the wrong type": (
        [*EVALUATE, "-c", "{tmp}/numbers.json", "-m", "hap"],
        USAGE,
        ["input_fields"],
    ),
    "config missing": ([*EVALUATE, "-c", "{tmp}/none.json", "-m", "hap"], USAGE, ["none.json"]),
    "missing metric parameter": (
        [*EVALUATE, "-m", "keyword"],
        USAGE,
        ["'keywords'", "metric_params.keyword"],
    ),
    "pattern does not compile": (
        [*EVALUATE, "-c", "{tmp}/bad_regex.json", "-m", "regex"],
        USAGE,
        ["does not compile"],
    ),
    "unknown parameter": (
        [*EVALUATE, "-c", "{tmp}/regex_typo.json", "-m", "regex"],
        USAGE,
        ["unknown parameter 'pattern'"],
    ),
    "parameters of an unknown metric": (
        [*EVALUATE, "-c", "{tmp}/metric_typo.json", "-m", "regex"],
        USAGE,
        ["unknown metric 'keywrd'"],
    ),
    "risk name is fixed": (
        [*EVALUATE, "-c", "{tmp}/harm_risk.json", "-m", "harm"],
        USAGE,
        ["name is fixed"],
    ),
    "tool catalogue missing": (
        [*EVALUATE, "-c", "{tmp}/no_tools.json", "-m", "tool_call_accuracy"],
        USAGE,
        ["tools"],
    ),
}


@pytest.fixture
def no_service_env(monkeypatch):
    for key in ("ZNG_API_KEY", "ZNG_SERVICE_INSTANCE_ID", "ZNG_URL", "ZNG_VERSION"):
        monkeypatch.delenv(key, raising=False)
    monkeypatch.delenv("ZENTRIX_SERVER", raising=False)


def error_line(capsys) -> str:
    """The single ``error:`` line of a failed run; it is the last line on standard error."""
    err = capsys.readouterr().err
    assert "Traceback" not in err
    errors = [line for line in err.splitlines() if line.startswith("error: ")]
    assert len(errors) == 1, err
    assert err.rstrip().splitlines()[-1] == errors[0]
    return errors[0]


@pytest.mark.parametrize(("argv", "code", "fragments"), CASES.values(), ids=CASES.keys())
def test_mistake_ends_with_one_error_line(tmp_path, capsys, no_service_env, argv, code, fragments):
    for name, content in FILES.items():
        path = tmp_path / name
        path.write_bytes(content) if isinstance(content, bytes) else path.write_text(content)
    exit_code = main([arg.format(tmp=tmp_path) for arg in argv])
    line = error_line(capsys)
    assert exit_code == code
    for fragment in fragments:
        assert fragment in line


def test_missing_column_lists_only_the_files_columns(capsys, no_service_env):
    assert main(["evaluate", str(RECORDS), "--metrics", "hap"]) == USAGE
    line = error_line(capsys)
    for column in ("id", "question", "answer", "contexts", "tool_calls"):
        assert column in line
    # Columns the command adds itself are not presented as the file's.
    assert "record_id" not in line.split("its columns are:")[1]


class TestServiceFailures:
    @pytest.mark.parametrize("mode", [[], ["--concurrent"]])
    def test_unreachable_service_names_its_url(self, capsys, monkeypatch, mode):
        url = f"http://127.0.0.1:{closed_port()}"
        for key, value in {"ZNG_API_KEY": "key", "ZNG_SERVICE_INSTANCE_ID": "instance",
                           "ZNG_URL": url, "ZNG_VERSION": "5"}.items():  # fmt: skip
            monkeypatch.setenv(key, value)
        code = main(["evaluate", str(RECORDS), "-c", str(COLUMNS), "-m", "hap,pii", *mode])
        line = error_line(capsys)
        assert code == FAILED
        assert f"cannot connect to the detection service at {url}" in line

    def test_unknown_governance_url_without_version(self, capsys, monkeypatch):
        monkeypatch.delenv("ZNG_VERSION", raising=False)
        for key, value in {"ZNG_API_KEY": "key", "ZNG_SERVICE_INSTANCE_ID": "instance",
                           "ZNG_URL": "https://zng.nowhere.example"}.items():  # fmt: skip
            monkeypatch.setenv(key, value)
        assert main(["evaluate", str(RECORDS), "-c", str(COLUMNS), "-m", "hap"]) == USAGE
        line = error_line(capsys)
        assert "https://zng.nowhere.example" in line and "ZNG_VERSION" in line


class TestJudgeFailures:
    """A failing judge is named by its cause, and its libraries print nothing to standard
    output. The template-library metric talks to the judge through the OpenAI client, the
    criterion through litellm (which prints a banner on every failed request)."""

    RAG = ["-m", "rag_faithfulness", "--rag-method", "llm_as_judge"]
    CRITERION = ["--criteria", str(EXAMPLES / "criteria" / "answer_grounding.yaml")]

    @pytest.mark.parametrize(
        ("metric", "fault", "cause"),
        [
            (RAG, 500, "HTTP 500 Internal Server Error: Scripted failure with status 500."),
            (RAG, 401, "HTTP 401 Unauthorized: the API key was refused: The bearer token is"),
            (RAG, "closed port", "cannot connect to http://127.0.0.1:{port}/v1/chat/completions: "
                                 "connection refused"),
            (CRITERION, 401, "HTTP 401 Unauthorized: the API key was refused"),
        ],
        ids=["500", "401", "refused", "401 through litellm"],
    )  # fmt: skip
    def test_the_error_line_names_the_cause(
        self, tmp_path, capsys, monkeypatch, no_service_env, judge_service, metric, fault, cause
    ):
        config = tmp_path / "columns.json"
        config.write_text(json.dumps({k: v for k, v in CONFIG.items() if k != "metric_params"}))
        url, port = judge_service.openai_base_url, closed_port()
        monkeypatch.setenv("ZENTRIX_JUDGE_API_KEY", judge_service.token)
        if fault == 401:
            monkeypatch.setenv("ZENTRIX_JUDGE_API_KEY", "not-the-key")
        elif fault == 500:
            judge_service.faults.script([500] * 100)
        else:
            url = f"http://127.0.0.1:{port}/v1"
        argv = ["evaluate", str(RECORDS), "-c", str(config), *metric, "--judge", url,
                "--judge-model", "judge", "-q"]  # fmt: skip
        assert main(argv) == FAILED
        out, err = capsys.readouterr()
        assert out == ""
        # Under pytest the model libraries' progress bars may still be drawn (tqdm reads
        # its settings when first imported); the error line starts a line of its own.
        (line,) = [line for line in err.splitlines() if "error:" in line]
        name = metric[1].split("/")[-1].removesuffix(".yaml")
        assert line.startswith(f"error: metric '{name}' failed: {cause.format(port=port)}")
        assert err.endswith(line + "\n")
