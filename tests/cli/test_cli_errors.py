"""Mistakes a user can make end with one ``error:`` line and the documented exit code."""

from __future__ import annotations

import json

import pytest

from .conftest import COLUMNS, RECORDS, clean_env, closed_port, run_cli

USAGE, FAILED = 2, 1


def check_error(done, code: int) -> str:
    """The single error line of a failed run."""
    assert done.returncode == code, (done.stdout, done.stderr)
    assert "Traceback" not in done.stderr
    errors = [line for line in done.stderr.splitlines() if line.startswith("error: ")]
    assert len(errors) == 1, done.stderr
    assert done.stderr.rstrip().splitlines()[-1] == errors[0]
    return errors[0]


def write(path, text: str):
    path.write_text(text, encoding="utf-8")
    return path


class TestCommandMistakes:
    def test_unknown_metric_lists_the_known_ones(self):
        line = check_error(
            run_cli("evaluate", RECORDS, "--config", COLUMNS, "--metrics", "hap,happ"), USAGE
        )
        assert "unknown metric 'happ'" in line
        assert "did you mean 'hap'" in line
        for known in ("pii", "faithfulness", "tool_call_accuracy", "jailbreak"):
            assert known in line

    def test_metrics_option_is_required(self):
        line = check_error(run_cli("evaluate", RECORDS), USAGE)
        assert "--metrics" in line

    def test_no_command(self):
        line = check_error(run_cli(), USAGE)
        assert "evaluate" in line

    def test_output_must_name_the_json_file(self, tmp_path):
        line = check_error(
            run_cli("evaluate", RECORDS, "-c", COLUMNS, "-m", "hap", "-o", tmp_path / "r.csv"),
            USAGE,
        )
        assert "r.csv" in line

    def test_bad_max_concurrency(self):
        line = check_error(
            run_cli("evaluate", RECORDS, "-m", "hap", "--concurrent", "--max-concurrency", "0"),
            USAGE,
        )
        assert "max-concurrency" in line


class TestRecordsFileMistakes:
    def test_missing_column_names_it_and_the_files_columns(self):
        line = check_error(run_cli("evaluate", RECORDS, "--metrics", "hap"), USAGE)
        assert "'input_text'" in line
        for column in ("id", "question", "answer", "contexts", "tool_calls"):
            assert column in line
        # Columns the command adds itself are not presented as the file's.
        assert "record_id" not in line.split("its columns are:")[1]

    def test_missing_context_column(self, tmp_path):
        settings = {"input_fields": ["question"], "context_fields": ["passages"]}
        config = write(tmp_path / "c.json", json.dumps(settings))
        line = check_error(
            run_cli("evaluate", RECORDS, "-c", config, "-m", "context_relevance"), USAGE
        )
        assert "'passages'" in line and "context_fields" in line

    def test_file_does_not_exist(self, tmp_path):
        line = check_error(run_cli("evaluate", tmp_path / "nope.jsonl", "-m", "hap"), USAGE)
        assert "nope.jsonl" in line and "does not exist" in line

    def test_malformed_jsonl_names_the_line(self, tmp_path):
        records = write(tmp_path / "r.jsonl", '{"input_text": "a"}\n{"input_text": \n')
        line = check_error(run_cli("evaluate", records, "-m", "hap"), USAGE)
        assert "line 2" in line

    def test_jsonl_line_that_is_not_an_object(self, tmp_path):
        records = write(tmp_path / "r.jsonl", '{"input_text": "a"}\n["b"]\n')
        line = check_error(run_cli("evaluate", records, "-m", "hap"), USAGE)
        assert "line 2" in line and "not a JSON object" in line

    def test_json_that_is_not_a_list(self, tmp_path):
        records = write(tmp_path / "r.json", '{"input_text": "a"}')
        line = check_error(run_cli("evaluate", records, "-m", "hap"), USAGE)
        assert "list of objects" in line

    def test_not_utf8(self, tmp_path):
        records = tmp_path / "r.csv"
        records.write_bytes(b"input_text\n\xff\xfe broken\n")
        line = check_error(run_cli("evaluate", records, "-m", "hap"), USAGE)
        assert "UTF-8" in line

    def test_unknown_file_type(self, tmp_path):
        records = write(tmp_path / "r.txt", "input_text\nhello\n")
        line = check_error(run_cli("evaluate", records, "-m", "hap"), USAGE)
        assert ".csv" in line and ".jsonl" in line

    def test_empty_file(self, tmp_path):
        records = write(tmp_path / "r.jsonl", "\n")
        line = check_error(run_cli("evaluate", records, "-m", "hap"), USAGE)
        assert "no records" in line

    def test_repeated_record_ids(self, tmp_path):
        rows = [{"id": "x", "input_text": "a"}, {"id": "x", "input_text": "b"}]
        records = write(tmp_path / "r.json", json.dumps(rows))
        config = write(tmp_path / "c.json", json.dumps({"record_id_field": "id"}))
        line = check_error(run_cli("evaluate", records, "-c", config, "-m", "hap"), USAGE)
        assert "unique" in line and "'x'" in line


class TestConfigMistakes:
    def test_invalid_json_names_the_position(self, tmp_path):
        config = write(tmp_path / "c.json", '{"input_fields": ["q"],\n}')
        line = check_error(run_cli("evaluate", RECORDS, "-c", config, "-m", "hap"), USAGE)
        assert "not valid JSON" in line and "line 2" in line

    def test_unknown_setting(self, tmp_path):
        config = write(tmp_path / "c.json", json.dumps({"input_field": ["question"]}))
        line = check_error(run_cli("evaluate", RECORDS, "-c", config, "-m", "hap"), USAGE)
        assert "'input_field'" in line and "input_fields" in line

    def test_setting_of_the_wrong_type(self, tmp_path):
        config = write(tmp_path / "c.json", json.dumps({"input_fields": [1, 2]}))
        line = check_error(run_cli("evaluate", RECORDS, "-c", config, "-m", "hap"), USAGE)
        assert "input_fields" in line

    def test_config_file_missing(self, tmp_path):
        line = check_error(
            run_cli("evaluate", RECORDS, "-c", tmp_path / "none.json", "-m", "hap"), USAGE
        )
        assert "none.json" in line

    def test_missing_metric_parameter(self):
        line = check_error(run_cli("evaluate", RECORDS, "-m", "keyword"), USAGE)
        assert "'keywords'" in line and "metric_params.keyword" in line

    @pytest.mark.parametrize(
        ("params", "expected"),
        [
            ({"regex": {"patterns": ["(unclosed"]}}, "does not compile"),
            ({"regex": {"pattern": ["x"]}}, "unknown parameter 'pattern'"),
            ({"keywrd": {"keywords": ["x"]}}, "unknown metric 'keywrd'"),
            ({"harm": {"risk": "violence"}}, "name is fixed"),
        ],
    )
    def test_bad_metric_parameters(self, tmp_path, params, expected):
        config = json.loads(COLUMNS.read_text())
        config["metric_params"] = params
        path = write(tmp_path / "c.json", json.dumps(config))
        metric = "harm" if "harm" in params else "regex"
        line = check_error(run_cli("evaluate", RECORDS, "-c", path, "-m", metric), USAGE)
        assert expected in line

    def test_tool_call_accuracy_needs_the_catalogue(self, tmp_path):
        config = json.loads(COLUMNS.read_text())
        del config["tools"]
        path = write(tmp_path / "c.json", json.dumps(config))
        line = check_error(
            run_cli("evaluate", RECORDS, "-c", path, "-m", "tool_call_accuracy"), USAGE
        )
        assert "tools" in line


class TestServiceFailures:
    @pytest.mark.parametrize("mode", [[], ["--concurrent"]])
    def test_unreachable_service_names_its_url(self, mode):
        url = f"http://127.0.0.1:{closed_port()}"
        env = clean_env(
            ZNG_API_KEY="key", ZNG_SERVICE_INSTANCE_ID="instance", ZNG_URL=url, ZNG_VERSION="5"
        )
        done = run_cli("evaluate", RECORDS, "-c", COLUMNS, "-m", "hap,pii", *mode, env=env)
        line = check_error(done, FAILED)
        assert f"cannot connect to the detection service at {url}" in line
        # The run stops at the first metric; no table is printed.
        assert done.stdout == ""
        assert "local detection service" not in done.stderr

    def test_unknown_governance_url_without_version(self):
        env = clean_env(
            ZNG_API_KEY="key",
            ZNG_SERVICE_INSTANCE_ID="instance",
            ZNG_URL="https://zng.nowhere.example",
        )
        line = check_error(run_cli("evaluate", RECORDS, "-c", COLUMNS, "-m", "hap", env=env), USAGE)
        assert "https://zng.nowhere.example" in line and "ZNG_VERSION" in line

    def test_metric_without_any_value_fails_after_reporting(self, server, tmp_path):
        # The service answers, but refuses the token: every record of every metric fails.
        env = clean_env(
            ZNG_API_KEY="wrong-token",
            ZNG_SERVICE_INSTANCE_ID=server.instance_id,
            ZNG_URL=server.url,
            ZNG_VERSION="local",
        )
        output = tmp_path / "results.json"
        done = run_cli("evaluate", RECORDS, "-c", COLUMNS, "-m", "hap,pii", "-o", output, env=env)
        line = check_error(done, FAILED)
        assert "2 metrics produced no value" in line
        assert "401" in line and "bearer token" in line
        assert "Error" in done.stdout  # the table is still printed
        document = json.loads(output.read_text())
        assert [metric["value"] for metric in document["metrics"]] == ["Error", "Error"]
        assert len(server.requests) == 2 * len(RECORDS.read_text().splitlines())
