"""Traced runs (evaluate --otel). Prints one JSON line per case, with the machine's load.

- detector_cpu: `python -m zentrix_gov evaluate` of 10,000 records x 2 detector metrics
  (hap, pii) against the local detection service in its own process, with --otel to a local
  OTLP receiver (in this process) and without: CPU seconds (user + system) of the command's
  process per record, medians of RUNS runs each, taken in turns. Target: at most 5 % more
  with --otel. Also checks that every span and event of the traced runs was received.
- imports: the same command without --otel, and with the 'otel' extra hidden (as if not
  installed) with and without --otel: whether any OpenTelemetry module was imported.
  Target: none without --otel; with it and no extra, exit 2 naming the extra.
- judge_2000: 2,000 criteria records judged by the local judge service with --otel: the
  judge request spans and evaluation events the receiver got. Target: all 2,000 of each.

Usage: python bench/traces.py [case ...]
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from _support import emit
from runs import cli_env, service, write_config, write_records
from zentrix_gov.local.otlp import OTLPReceiver

RUNS = int(os.environ.get("BENCH_TRACES_RUNS", "5"))
RECORDS = 10_000
# Runs the command (argv) and prints its exit code and CPU seconds (user + system).
CPU = (
    "import resource, subprocess, sys\n"
    "code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, timeout=1800).returncode\n"
    "usage = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
    "print(code, usage.ru_utime + usage.ru_stime)\n"
)
# Runs the command line in this process and prints whether OpenTelemetry was imported; with
# "hide" first on its argv, as if the 'otel' extra were not installed.
IMPORTS = (
    "import importlib.abc, runpy, sys\n"
    "class Hide(importlib.abc.MetaPathFinder):\n"
    "    def find_spec(self, name, path, target=None):\n"
    "        if name.split('.')[0] == 'opentelemetry':\n"
    "            raise ModuleNotFoundError(name)\n"
    "if sys.argv[1] == 'hide':\n"
    "    sys.meta_path.insert(0, Hide())\n"
    "sys.argv = ['zentrix_gov', *sys.argv[2:]]\n"
    "try:\n"
    "    runpy.run_module('zentrix_gov', run_name='__main__')\n"
    "except SystemExit as exit:\n"
    "    code = exit.code\n"
    "print(code, any(name.split('.')[0] == 'opentelemetry' for name in sys.modules))\n"
)


def cpu_seconds(command: list[str], env: dict[str, str]) -> float:
    done = subprocess.run(
        [sys.executable, "-c", CPU, *command], env=env, capture_output=True, text=True,
        timeout=2000,
    )  # fmt: skip
    code, seconds = done.stdout.split()
    if code != "0":
        raise RuntimeError(f"exit {code}: {done.stderr[-2000:]}")
    return float(seconds)


def evaluate_command(data: Path, config: Path) -> list[str]:
    return [sys.executable, "-m", "zentrix_gov", "evaluate", str(data), "--config", str(config),
            "--metrics", "hap,pii", "-q"]  # fmt: skip


def bench_detector_cpu(runs: int = RUNS, records: int = RECORDS) -> None:
    with tempfile.TemporaryDirectory() as folder, service() as url, OTLPReceiver() as receiver:
        folder = Path(folder)
        data = write_records(folder / "records.jsonl", records)
        config = write_config(folder)
        env = cli_env(url, folder / "runs.sqlite")
        traced_env = {**env, "OTEL_EXPORTER_OTLP_ENDPOINT": receiver.url}
        command = evaluate_command(data, config)
        plain, traced = [], []
        for _ in range(runs):
            plain.append(cpu_seconds(command, env))
            traced.append(cpu_seconds([*command, "--otel"], traced_env))
        events = len(receiver.events("gen_ai.evaluation.result"))
        requests = sum(span.name == "POST" for span in receiver.spans)
    base, with_otel = statistics.median(plain), statistics.median(traced)
    emit(
        "detector_cpu",
        records=records,
        metrics=2,
        runs=runs,
        cpu_us_per_record=round(base / records * 1e6, 1),
        cpu_us_per_record_otel=round(with_otel / records * 1e6, 1),
        ratio=round(with_otel / base, 4),
        target=1.05,
        cpu_seconds=[round(value, 3) for value in plain],
        cpu_seconds_otel=[round(value, 3) for value in traced],
        request_spans_received=requests,
        request_spans_expected=runs * records * 2,
        events_received=events,
        events_expected=runs * records * 2,
    )


def bench_imports(records: int = 1000) -> None:
    with tempfile.TemporaryDirectory() as folder, service() as url:
        folder = Path(folder)
        data = write_records(folder / "records.jsonl", records)
        env = {**cli_env(url, folder / "runs.sqlite"), "OTEL_EXPORTER_OTLP_ENDPOINT": url}
        command = evaluate_command(data, write_config(folder))[3:]
        figures = {}
        for case, hide, extra in (
            ("installed_without_otel", "show", []),
            ("missing_without_otel", "hide", []),
            ("missing_with_otel", "hide", ["--otel"]),
        ):
            done = subprocess.run(
                [sys.executable, "-c", IMPORTS, hide, *command, *extra],
                env=env, capture_output=True, text=True, timeout=600,
            )  # fmt: skip
            code, imported = done.stdout.split()[-2:]
            figures[case] = {"exit": int(code), "opentelemetry_imported": imported == "True"}
            if extra:
                figures[case]["error"] = done.stderr.strip().splitlines()[-1]
    emit("imports", **figures)


def bench_judge_2000(records: int = 2000) -> None:
    with tempfile.TemporaryDirectory() as folder, OTLPReceiver() as receiver:
        folder = Path(folder)
        data = folder / "records.jsonl"
        with data.open("w") as handle:
            for index in range(records):
                handle.write(json.dumps({
                    "id": f"r{index}",
                    "question": f"Is fee {index} refundable?",
                    "answer": f"Fee {index} is refundable within {index % 30} days.",
                    "contexts": [f"Fees are refundable within {index % 40} days."],
                }) + "\n")  # fmt: skip
        root = Path(__file__).resolve().parent.parent
        env = {**os.environ, "ZENTRIX_STORE": str(folder / "runs.sqlite"),
               "OTEL_EXPORTER_OTLP_ENDPOINT": receiver.url}  # fmt: skip
        command = [sys.executable, "-m", "zentrix_gov", "evaluate", str(data),
                   "--config", str(root / "examples" / "columns.json"),
                   "--criteria", str(root / "examples" / "criteria" / "answer_grounding.yaml"),
                   "--judge", "local", "--otel", "-q"]  # fmt: skip
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=3600)
        requests = sum(span.name.startswith("chat ") for span in receiver.spans)
        events = len(receiver.events("gen_ai.evaluation.result"))
        units = sum(span.name.startswith("unit ") for span in receiver.spans)
    emit(
        "judge_2000",
        exit=done.returncode,
        records=records,
        request_spans=requests,
        evaluation_events=events,
        unit_spans=units,
        target=records,
    )


CASES = {"detector_cpu": bench_detector_cpu, "imports": bench_imports,
         "judge_2000": bench_judge_2000}  # fmt: skip

if __name__ == "__main__":
    for name in sys.argv[1:] or list(CASES):
        CASES[name]()
