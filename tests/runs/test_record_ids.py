"""A record's id is its id cell's text as written in the file: the same in every format and
for every chunk size, so that runs of the same records pair record by record."""

from __future__ import annotations

from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from zentrix_gov import runs
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.reports.compare import compare_runs
from zentrix_gov.runs.errors import RecordsError
from zentrix_gov.runs.store import RunStore

CONFIG = GenAIConfiguration(input_fields=["question"], output_fields=["answer"])
# Id cells as JSON writes them: integers beyond 2**53 that a float cannot tell apart, a
# decimal written with a trailing zero, a missing cell and a text.
WRITTEN = ["1", "2", "null", '"x"', "12345678901234567", "12345678901234568", "1.50"]
IDS = ["1", "2", "3", "x", "12345678901234567", "12345678901234568", "1.50"]


def write(path: Path, cells: list[str]) -> Path:
    rows = [(cell, f"question {i}", f"answer {i} you idiot") for i, cell in enumerate(cells)]
    if path.suffix == ".csv":
        text = "record_id,question,answer\n" + "".join(
            f"{'' if cell == 'null' else cell.strip(chr(34))},{q},{a}\n" for cell, q, a in rows
        )
    else:
        lines = [f'{{"record_id": {c}, "question": "{q}", "answer": "{a}"}}' for c, q, a in rows]
        text = "\n".join(lines) + "\n" if path.suffix == ".jsonl" else f"[{','.join(lines)}]"
    path.write_text(text)
    return path


def stored_ids(run: runs.Run) -> list[str]:
    with RunStore(run.store_path, create=False) as store:
        return [row[0] for row in store.results(run.id, "hap", ("record_id",))]


def test_ids_are_the_written_texts_whatever_the_format_and_chunk_size(tmp_path, api_client):
    store = tmp_path / "runs.sqlite"
    made = {}
    for name, chunk in (("a.jsonl", 2), ("b.jsonl", 7), ("c.json", 3), ("d.csv", 4)):
        path = write(tmp_path / name, WRITTEN)
        made[name] = runs.evaluate(
            path, ["hap"], CONFIG, store=store, api_client=api_client, chunk_size=chunk
        )
        assert stored_ids(made[name]) == IDS, name
    # The same records stored as CSV and as JSON Lines pair record by record.
    with RunStore(store, create=False) as opened:
        csv_run, jsonl_run = opened.find_run(made["d.csv"].id), opened.find_run(made["a.jsonl"].id)
        (hap,) = compare_runs(opened, csv_run, jsonl_run).metrics
    assert (hap.paired, hap.base_only, hap.new_only) == (len(IDS), 0, 0)


def test_parquet_integer_ids_with_a_missing_cell_stay_integers(tmp_path, api_client):
    ids = pa.array([1, None, 12345678901234567, 12345678901234568], pa.int64())
    table = pa.table({"record_id": ids, "question": ["q"] * 4, "answer": ["a", "b", "c", "d"]})
    pq.write_table(table, tmp_path / "r.parquet", row_group_size=2)
    run = runs.evaluate(
        tmp_path / "r.parquet", ["hap"], CONFIG, store=tmp_path / "s.sqlite",
        api_client=api_client, chunk_size=3,
    )  # fmt: skip
    assert stored_ids(run) == ["1", "2", "12345678901234567", "12345678901234568"]


@pytest.mark.parametrize(
    ("cells", "repeated"),
    [
        (["7", '"a"', '"7"'], "'7' is used by 2 records"),  # a number and a text of its digits
        (["1", "null", "1.0"], None),  # 1.0 is not 1, whatever a missing cell does
    ],
)
@pytest.mark.parametrize("suffix", [".jsonl", ".csv"])
def test_the_duplicate_check_sees_the_ids_the_run_stores(
    tmp_path, api_client, suffix, cells, repeated
):
    path = write(tmp_path / f"r{suffix}", cells)
    store = tmp_path / "s.sqlite"
    if repeated is None:
        runs.evaluate(path, ["hap"], CONFIG, store=store, api_client=api_client)
        return
    with pytest.raises(RecordsError, match=repeated):
        runs.evaluate(path, ["hap"], CONFIG, store=store, api_client=api_client)
