"""The report of a stored run: what the page holds, how it treats untrusted texts, what it
does without its records file, how it stays small, and the report command."""

from __future__ import annotations

import base64
import hashlib
import html
import json
import re
from pathlib import Path

import pytest

from tests.support.synthetic_runs import SyntheticMetric, store_run, write_records
from zentrix_gov import runs
from zentrix_gov.cli import main
from zentrix_gov.reports import write_report
from zentrix_gov.reports.run_report import write_run_report
from zentrix_gov.runs.store import RunStore

# Texts that would run, or end the data element, if anything were not escaped.
HOSTILE = [
    "</script><script>window.hacked = 1</script>",
    '<img src="x" onerror="window.hacked = 2">',
    "line\u2028separator\u2029and & ampersand <!-- comment",
    "a page once split at \x00report-data\x00 inside a text",
]


def page_data(page: str) -> dict:
    found = re.search(
        r'<script type="application/json" id="report-data">(.*?)</script>', page, re.S
    )
    assert found is not None
    return json.loads(found.group(1))


def record_ids(data: dict) -> list[str]:
    """Every record's id, as the page's script reads the data."""
    ids = []
    for item in data["ids"]:
        ids += [item] if isinstance(item, str) else [str(item[0] + k) for k in range(item[1])]
    return ids


def worst_positions(page: str, metric: str) -> list[int]:
    block = re.search(rf'<ol class="worst" data-metric="{metric}">(.*?)</ol>', page, re.S)
    assert block is not None
    return [int(position) for position in re.findall(r'data-position="(\d+)"', block.group(1))]


def hostile_run(store: RunStore, folder: Path):
    rows = [
        {
            "id": f"r{index}",
            "question": f"question {index}",
            "answer": HOSTILE[index % len(HOSTILE)],
        }
        for index in range(12)
    ]
    records = write_records(folder / "records.jsonl", rows)
    values = [index / 11 for index in range(12)]
    metrics = [
        SyntheticMetric("hap", values, thresholds=[{"type": "upper_limit", "value": 0.5}]),
        SyntheticMetric(
            "grounded",
            [float(index % 2) for index in range(12)],
            labels=["<b>Yes</b>" if index % 2 else "No & never" for index in range(12)],
            explanations=[HOSTILE[(index + 1) % len(HOSTILE)] for index in range(12)],
            statuses=["skipped" if index == 5 else "ok" for index in range(12)],
        ),
        SyntheticMetric(
            "quality",
            [None if index in (3, 7) else 1 - index / 20 for index in range(12)],
            error_text="<script>bad()</script> in a message",
        ),
    ]
    return store_run(
        store, metrics, records=records, ids=[row["id"] for row in rows], id_field="id"
    )


def test_the_page_shows_the_run_and_keeps_every_text_inert(store, tmp_path):
    run = hostile_run(store, tmp_path)
    target = tmp_path / "report.html"
    facts = write_run_report(store, run, target)
    page = target.read_text(encoding="utf-8")
    assert facts.size == target.stat().st_size and facts.left_out == 0
    # Only the page's own two script elements: the data and the table's script.
    assert page.count("<script") == 2 and page.count("</script>") == 2
    assert "<img" not in page and "<b>Yes" not in page
    assert html.escape("<b>Yes</b>") in page  # the label, in the chart and the worst records
    data = page_data(page)
    assert "\u2028" not in page.split('id="report-data">')[1].split("</script>")[0]
    column = data["fields"].index("answer")
    answers = {i: texts[column] for i, texts in zip(record_ids(data), data["texts"], strict=True)}
    assert answers == {f"r{index}": HOSTILE[index % len(HOSTILE)] for index in range(12)}
    # The page runs its own script only: the policy names that script's hash.
    script = page.rsplit("<script>", 1)[1].split("</script>")[0]
    digest = base64.b64encode(hashlib.sha256(script.encode()).digest()).decode()
    policy = html.unescape(re.search(r'Content-Security-Policy" content="([^"]*)"', page)[1])
    assert f"script-src 'sha256-{digest}'" in policy and "default-src 'none'" in policy
    # Per metric: statuses, errors by code, the worst records (highest where higher is worse).
    hap, grounded, quality = data["metrics"]
    assert hap["status"] == "o" * 12 and grounded["status"][5] == "s"
    assert quality["status"] == "".join("e" if i in (3, 7) else "o" for i in range(12))
    assert "SERVICE_ERROR" in page and html.escape("<script>bad()</script>") in page
    assert worst_positions(page, "hap") == list(range(11, 1, -1))
    assert worst_positions(page, "quality")[:3] == [11, 10, 9]
    assert "≤ 0.5 (not met)" not in page and "≤ 0.5" in page  # hap's mean is 0.5


@pytest.mark.parametrize("change", ["edited", "removed", None])
def test_texts_are_shown_only_from_the_records_file_the_run_read(store, tmp_path, change):
    run = hostile_run(store, tmp_path)
    records = tmp_path / "records.jsonl"
    if change == "edited":
        records.write_text(records.read_text().replace("question 1", "question one"))
    elif change == "removed":
        records.unlink()
    write_run_report(store, run, tmp_path / "report.html")
    page = (tmp_path / "report.html").read_text()
    data = page_data(page)
    if change is None:
        assert data["fields"] == ["question", "answer"]
        assert "question 4" in page
        return
    assert data["fields"] == [] and "question 4" not in page
    assert ("changed since the run" if change == "edited" else "is gone") in page
    # The results are all there still.
    assert record_ids(data) == [f"r{index}" for index in range(12)]


@pytest.mark.parametrize("suffix", [".csv", ".json", ".parquet"])
def test_texts_are_read_by_position_from_every_records_format(store, tmp_path, suffix):
    import pandas as pd

    rows = [{"answer": f"answer {i}", "contexts": ["a", f"c{i}"]} for i in range(5)]
    frame = pd.DataFrame(rows)
    path = tmp_path / f"records{suffix}"
    if suffix == ".csv":
        frame.assign(contexts=frame["contexts"].map(json.dumps)).to_csv(path, index=False)
    elif suffix == ".json":
        path.write_text(json.dumps(rows))
    else:
        frame.to_parquet(path)
    run = store_run(store, [SyntheticMetric("quality", [0.1] * 5)], records=path)
    write_run_report(store, run, tmp_path / "report.html")
    data = page_data((tmp_path / "report.html").read_text())
    assert data["fields"] == ["answer", "contexts"]
    assert data["texts"] == [[f"answer {i}", json.dumps(["a", f"c{i}"])] for i in range(5)]


def big_run(store: RunStore, folder: Path, count: int = 400):
    """A run whose texts do not all fit a small page: some of its worst records and of its
    records with an error lie past the first page; ids are words, counts and line numbers."""
    rows = [{"answer": f"answer {index} " + "words " * 60} for index in range(count)]
    records = write_records(folder / "records.jsonl", rows)
    ids = [f"r{index}" if index % 7 == 0 else str(index + 1) for index in range(count)]
    quality = SyntheticMetric(
        "quality",
        [None if index % 50 == 17 else (index * 37 % count) / count for index in range(count)],
    )
    return store_run(store, [quality], records=records, ids=ids), rows, ids


def test_a_page_over_its_size_limit_keeps_whole_texts_for_the_records_read_first(
    store, tmp_path, capsys, monkeypatch
):
    from zentrix_gov.reports import run_report

    run, rows, ids = big_run(store, tmp_path)
    limit = 60_000
    monkeypatch.setattr(run_report, "DATA_LIMIT", limit)
    assert main(["report", run.id, "-o", str(tmp_path / "report.html")]) == 0
    said = capsys.readouterr().err
    page = (tmp_path / "report.html").read_text()
    data = page_data(page)
    assert len(page.split('id="report-data">')[1].split("</script>")[0].encode()) <= limit
    kept = {position for position, texts in enumerate(data["texts"]) if texts != 0}
    through = min(set(range(len(rows))) - kept)
    worst = set(worst_positions(page, "quality"))
    errors = {position for position in range(len(rows)) if position % 50 == 17}
    assert 50 <= through < 200 and max(worst) >= through and max(errors) >= through
    assert kept == set(range(through)) | worst | errors
    for position in range(len(rows)):
        texts, notes = data["texts"][position], data["notes"][position]
        if position in kept:
            assert texts == [rows[position]["answer"]]
            assert (notes != 0) == (position in errors)
        else:
            assert texts == 0 and notes == 0
    assert record_ids(data) == ids
    left_out = len(rows) - len(kept)
    export = f"python -m zentrix_gov runs export {run.id} -o FILE.json"
    note = html.unescape(re.search(r'<p class="note" id="left-out">(.*?)</p>', page, re.S)[1])
    assert f"leaves out the texts, explanations, feedback and errors of {left_out:,} of" in note
    assert f"records 1 to {through:,}, the worst records of each metric and the" in note
    assert export in note and str(tmp_path / "records.jsonl") in note
    assert f"leaves out the texts of {left_out:,} records" in said and export in said
    assert len(said.strip().splitlines()) == 1


@pytest.mark.parametrize(
    "ids",
    [
        None,  # line numbers: the page holds them as one run
        ["007", "8", "9", "10", "12345678901234567890", "x", "3", "4", "-5", "5"],
    ],
)
def test_the_page_data_holds_every_record_id_as_stored(store, tmp_path, ids):
    count = 1000 if ids is None else len(ids)
    run = store_run(store, [SyntheticMetric("quality", [0.5] * count)], ids=ids)
    write_run_report(store, run, tmp_path / "report.html")
    data = page_data((tmp_path / "report.html").read_text())
    assert record_ids(data) == (ids or [str(position + 1) for position in range(count)])
    if ids is None:
        assert len(json.dumps(data["ids"])) < 20


def test_the_table_script_describes_the_page_data_field_for_field():
    from dataclasses import fields

    from zentrix_gov.reports.page import HERE
    from zentrix_gov.reports.page_data import MetricData, PageData

    script = (HERE / "static" / "table.js").read_text()
    described = re.findall(r"^//(   |     )(\w+) ", script.split("(function", 1)[0], re.M)
    outer = [name for indent, name in described if len(indent) == 3]
    inner = [name for indent, name in described if len(indent) == 5]
    assert outer == [field.name for field in fields(PageData)]
    assert inner == [field.name for field in fields(MetricData)]


@pytest.mark.parametrize("by", ["command", "python"])
def test_the_page_of_a_stored_run_is_written_by_the_command_or_from_python(
    store, tmp_path, capsys, by
):
    run = hostile_run(store, tmp_path)
    target = tmp_path / "out.html"
    if by == "command":
        assert main(["report", "last", "-o", str(target)]) == 0
        assert "wrote " in capsys.readouterr().err
    else:
        assert write_report(runs.Run(store.path, run.id), target) == target
    assert page_data(target.read_text())["records"] == 12


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["report", "nosuchrun", "-o", "{tmp}/out.html"], "no run 'nosuchrun'"),
        (["report", "last", "-o", "{tmp}"], "is a directory"),
    ],
)
def test_report_mistakes_are_usage_errors(store, tmp_path, capsys, arguments, message):
    hostile_run(store, tmp_path)
    assert main([argument.format(tmp=tmp_path) for argument in arguments]) == 2
    assert message in capsys.readouterr().err
