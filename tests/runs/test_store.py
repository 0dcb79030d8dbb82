"""The run store: one writer per run, whoever claims it and however the claims interleave."""

from __future__ import annotations

import fcntl
import os
from pathlib import Path

import pytest

from tests.support.synthetic_runs import SyntheticMetric, store_run
from zentrix_gov.runs.errors import StoreError
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
