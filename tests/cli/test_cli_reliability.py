"""What a run does when things go wrong: interrupts, slow or failing services, results
files that cannot be written, and records that would make the results file huge."""

from __future__ import annotations

import csv
import json
import signal
import subprocess
import sys
import time

import pytest

from zentrix_gov.cli import main
from zentrix_gov.entities.errors import MetricComputationError
from zentrix_gov.providers.detectwire import Detectwire
from zentrix_gov.runs.export import TEXT_LIMIT, error_text

from .conftest import (
    COLUMNS,
    EXAMPLE_METRICS,
    RECORDS,
    ROOT,
    clean_env,
    closed_port,
    example_records,
)

FAILED, USAGE, INTERRUPTED = 1, 2, 130


def service_env(server, token: str | None = None) -> dict[str, str]:
    """Environment variables that point the command line at ``server``."""
    return {
        "ZNG_API_KEY": token or server.token,
        "ZNG_SERVICE_INSTANCE_ID": server.instance_id,
        "ZNG_URL": server.url,
        "ZNG_VERSION": "local",
    }


@pytest.fixture
def use_server(monkeypatch, server):
    """Point in-process runs at the shared local server."""
    for key, value in service_env(server).items():
        monkeypatch.setenv(key, value)
    return server


def evaluate(*args) -> int:
    return main(["evaluate", *map(str, args)])


@pytest.fixture(scope="module")
def many_records(tmp_path_factory):
    """The example records 300 times over: enough work to keep a run busy for seconds."""
    path = tmp_path_factory.mktemp("many") / "records.jsonl"
    records = example_records()
    with path.open("w") as handle:
        for copy in range(300):
            for record in records:
                handle.write(json.dumps({**record, "id": f"{record['id']}-{copy}"}) + "\n")
    return path


def assert_interrupted(err: str, folder) -> None:
    """One line says the run was interrupted and how to resume it; no results file."""
    lines = [line for line in err.splitlines() if not line.startswith("[")]
    assert len(lines) == 1 and lines[0].startswith(
        "error: interrupted; resume with: python -m zentrix_gov evaluate --resume "
    ), lines
    assert list(folder.iterdir()) == []


class TestInterrupt:
    """Ctrl-C while the built-in local service is busy scoring many records."""

    def start(self, records, output) -> subprocess.Popen:
        command = [sys.executable, "-m", "zentrix_gov", "evaluate", str(records),
                   "-c", str(COLUMNS), "-m", EXAMPLE_METRICS, "--concurrent",
                   "-o", str(output)]  # fmt: skip
        process = subprocess.Popen(
            command, env=clean_env(), cwd=ROOT, stderr=subprocess.PIPE, text=True
        )
        note = process.stderr.readline()  # the run has begun once the service is up
        assert note.startswith("note:"), note
        time.sleep(1.0)
        assert process.poll() is None, "the run ended before it could be interrupted"
        return process

    def test_first_ctrl_c_ends_the_run_with_one_line(self, many_records, tmp_path):
        process = self.start(many_records, tmp_path / "results.json")
        process.send_signal(signal.SIGINT)
        sent = time.monotonic()
        _, err = process.communicate(timeout=30)
        assert time.monotonic() - sent < 2.0
        assert process.returncode == INTERRUPTED
        assert_interrupted(err, tmp_path)

    def test_second_ctrl_c_ends_it_at_once(self, many_records, tmp_path):
        process = self.start(many_records, tmp_path / "results.json")
        process.send_signal(signal.SIGINT)
        time.sleep(0.1)
        process.send_signal(signal.SIGINT)
        sent = time.monotonic()
        _, err = process.communicate(timeout=30)
        assert time.monotonic() - sent < 0.5
        assert process.returncode == INTERRUPTED
        assert_interrupted(err, tmp_path)


class TestTimeout:
    def test_timeout_is_set_for_the_run_only(self, use_server, monkeypatch, capsys):
        seen = []
        original = Detectwire.evaluate_async

        async def spy(self, data):
            seen.append(type(self).REQUEST_TIMEOUT)
            return await original(self, data)

        monkeypatch.setattr(Detectwire, "evaluate_async", spy)
        before = getattr(Detectwire, "REQUEST_TIMEOUT", "unset")
        assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap", "--timeout", "7.5") == 0
        assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap", "--concurrent") == 0
        assert seen == [7.5, 60.0]
        assert getattr(Detectwire, "REQUEST_TIMEOUT", "unset") == before

    def test_waiting_is_shown_while_a_metric_is_outstanding(self, use_server, monkeypatch, capsys):
        monkeypatch.setattr("zentrix_gov.cli.running.UnitProgress.wait_every", 0.1)
        use_server.faults.latency = 0.5
        assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap") == 0
        waiting = [line for line in capsys.readouterr().err.splitlines() if "waiting" in line]
        assert waiting and all("waiting for hap" in line for line in waiting)

    def test_a_failure_without_a_message_is_still_explained(self, use_server, monkeypatch, capsys):
        async def times_out(self, data):
            raise MetricComputationError(
                "Error while computing metrics: hap. Reason: ",
                metric_name="hap",
                cause=TimeoutError(),
            )

        monkeypatch.setattr(Detectwire, "evaluate_async", times_out)
        assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap") == FAILED
        err = capsys.readouterr().err
        assert err.splitlines()[-1] == "error: metric 'hap' failed: timed out"
        assert error_text("REQUEST_FAILED", "").startswith("REQUEST_FAILED: no message")


class TestResultsFile:
    def test_unwritable_output_is_refused_before_any_request(self, use_server, tmp_path, capsys):
        blocker = tmp_path / "file"
        blocker.write_text("")
        assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap", "-o", blocker / "r.json") == USAGE
        assert "--output" in capsys.readouterr().err
        assert len(use_server.requests) == 0

    def test_failed_run_marks_its_results_failed(self, server, monkeypatch, tmp_path, capsys):
        # The service answers, but refuses the token: every record of every metric fails.
        for key, value in service_env(server, token="wrong-token").items():
            monkeypatch.setenv(key, value)
        output = tmp_path / "results.json"
        assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap,pii", "-o", output) == FAILED
        out, err = capsys.readouterr()
        assert "2 metrics produced no value" in err and "401" in err
        assert "Error" in out  # the table is still printed
        document = json.loads(output.read_text())
        assert document["status"] == "failed"
        assert "2 metrics produced no value" in document["error"]
        assert sorted(p.name for p in tmp_path.iterdir()) == ["results.csv", "results.json"]

    def test_run_stopped_by_an_unreachable_service_marks_the_file_failed(
        self, monkeypatch, tmp_path, capsys
    ):
        url = f"http://127.0.0.1:{closed_port()}"
        for key, value in {"ZNG_API_KEY": "key", "ZNG_SERVICE_INSTANCE_ID": "instance",
                           "ZNG_URL": url, "ZNG_VERSION": "5"}.items():  # fmt: skip
            monkeypatch.setenv(key, value)
        output = tmp_path / "results.json"
        output.write_text(json.dumps({"status": "complete", "metrics": []}))  # an earlier run
        assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap,pii", "-o", output) == FAILED
        document = json.loads(output.read_text())
        assert document["status"] == "failed"
        assert "cannot connect to the detection service" in document["error"]
        # The unit that could not connect is not stored: a resume asks for it again.
        assert [metric["value"] for metric in document["metrics"]] == [None, None]

    def test_failed_write_leaves_no_results_file(self, use_server, monkeypatch, tmp_path, capsys):
        def broken_writer(handle):
            handle.write("id,hap\n")
            raise OSError(28, "No space left on device")

        monkeypatch.setattr("zentrix_gov.runs.export.csv.writer", broken_writer)
        output = tmp_path / "results.json"
        assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap", "-o", output) == FAILED
        assert "No space left on device" in capsys.readouterr().err
        assert list(tmp_path.iterdir()) == []

    def test_long_texts_are_cut_and_the_file_says_so(self, use_server, tmp_path, capsys):
        text = "x" * 30_000 + " you stupid idiot " + "y" * 30_000
        records = tmp_path / "records.jsonl"
        records.write_text(json.dumps({"input_text": text}) + "\n")
        output = tmp_path / "results.json"
        assert evaluate(records, "-m", "hap", "-o", output) == 0
        document = json.loads(output.read_text())
        assert document["text_limit"] == TEXT_LIMIT
        assert document["truncated_texts"] >= 1
        (record,) = document["metrics"][0]["record_level_metrics"]
        assert record["value"] > 0.5
        evidence = record["evidences"][0]["text"]
        assert len(evidence) < TEXT_LIMIT + 100 and evidence.endswith("characters]")
        assert output.stat().st_size < 3 * TEXT_LIMIT
        with output.with_suffix(".csv").open(newline="") as handle:
            assert [row["record_id"] for row in csv.DictReader(handle)] == ["1"]
