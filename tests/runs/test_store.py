"""The run store: finding runs, upgrading older stores, and one writer per run whoever
claims it and however the claims interleave."""

from __future__ import annotations

import fcntl
import json
import os
import sqlite3
from pathlib import Path

import pytest

from tests.support.synthetic_runs import SyntheticMetric, store_run
from zentrix_gov.runs.errors import StoreError
from zentrix_gov.runs.schema import FIRST_TABLES, MIGRATIONS, SCHEMA_VERSION
from zentrix_gov.runs.store import RunStore


def lock_file(store: Path, run_id: str) -> Path:
    return store.with_name(f"{store.name}-locks") / f"{run_id}.lock"


def test_a_resumer_that_opened_the_lock_before_its_owner_let_go_is_the_only_owner(run_store):
    with RunStore(run_store) as owner, RunStore(run_store) as later:
        run = store_run(owner, [SyntheticMetric("quality", [0.5, 0.7])])
        early = os.open(lock_file(run_store, run.id), os.O_RDWR)  # a resumer opens the lock...
        try:
            owner.release(run.id)
            fcntl.flock(early, fcntl.LOCK_EX | fcntl.LOCK_NB)  # ...and takes it when it is free
            with pytest.raises(StoreError, match=f"run {run.id} is being written by another"):
                later.claim(run.id)
        finally:
            os.close(early)
        later.claim(run.id)  # free again once that resumer is gone
        assert later.owns(run.id)


def test_only_the_owner_says_how_a_run_ended(run_store):
    with RunStore(run_store) as owner, RunStore(run_store) as other:
        run = store_run(owner, [SyntheticMetric("quality", [0.5])])
        with pytest.raises(StoreError, match="not owned by this process"):
            other.finish_run(run.id, "failed", "now", "a commit of another process failed")
        assert other.find_run(run.id).status == "complete"


@pytest.mark.parametrize(
    ("reference", "found"),
    [
        ("20261201-100000-aaaaaa", "20261201-100000-aaaaaa"),  # an id
        ("20261201-12", "20261201-120000-cccccc"),  # a start of exactly one id
        ("last", "20261201-110000-bbbbbb"),  # the most recently started, not the greatest id
        ("20261201-1", "starts more than one run id"),
        ("20261202", "no run '20261202'"),
        ("2026_201", "no run '2026_201'"),  # LIKE's wildcards are only characters here
    ],
)
def test_runs_are_found_by_id_by_a_unique_start_or_as_last(store, reference, found):
    for run_id in ("20261201-100000-aaaaaa", "20261201-120000-cccccc", "20261201-110000-bbbbbb"):
        run = store_run(store, [SyntheticMetric("quality", [0.5])])
        with sqlite3.connect(store.path) as db:
            db.execute("UPDATE runs SET id = ? WHERE id = ?", (run_id, run.id))
    if found.startswith("2026"):
        assert store.find_run(reference).id == found
    else:
        with pytest.raises(StoreError, match=found):
            store.find_run(reference)


def version_1_store(path: Path) -> None:
    """A store as the first schema version made it, holding one run."""
    with sqlite3.connect(path) as db:
        for statement in FIRST_TABLES:
            db.execute(statement)
        db.execute("PRAGMA user_version = 1")
        db.execute(
            "INSERT INTO runs (id, started, status, command, config_hash, metrics_hash, "
            "total_records, chunk_size, metrics, versions, definition) VALUES "
            "('old-run', 'then', 'complete', ?, 'c', 'm', 1, 1, ?, '{}', '{}')",
            (json.dumps("cmd"), json.dumps(["hap"])),
        )


def test_a_version_1_store_is_upgraded_once_and_keeps_its_runs(tmp_path):
    path = tmp_path / "v1.sqlite"
    version_1_store(path)
    with RunStore(path) as store:
        assert store.find_run("old-run").metrics == ["hap"]
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
        applied = db.execute("SELECT version, name FROM migrations").fetchall()
    assert applied == [(number, step.__name__) for number, step in enumerate(MIGRATIONS, start=2)]


def test_a_migration_that_fails_leaves_the_store_as_it_was(tmp_path, monkeypatch):
    def broken(db):
        db.execute("CREATE TABLE half_done (x)")
        raise sqlite3.OperationalError("disk full")

    path = tmp_path / "v1.sqlite"
    version_1_store(path)
    monkeypatch.setattr("zentrix_gov.runs.store.MIGRATIONS", (*MIGRATIONS, broken))
    monkeypatch.setattr("zentrix_gov.runs.store.SCHEMA_VERSION", SCHEMA_VERSION + 1)
    with pytest.raises(StoreError, match="disk full"):
        RunStore(path)
    with sqlite3.connect(path) as db:
        tables = {row[0] for row in db.execute("SELECT name FROM sqlite_master")}
        assert db.execute("PRAGMA user_version").fetchone()[0] == 1
    assert "migrations" not in tables and "half_done" not in tables
