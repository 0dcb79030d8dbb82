"""The run store: every run, its finished units and their per-record results, in SQLite.

One file holds many runs. Each finished unit (one metric over one chunk of records) is
committed in one transaction together with all its records' results, so a run that stops
for any reason, ``kill -9`` included, keeps exactly the units it finished. Only the process
that owns a run writes to it; it holds an advisory lock on the run for as long as it does,
which the operating system releases when the process ends, however it ends. Any number of
processes may write their own runs to the same file at once (WAL mode, with a busy
time-out).
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import sqlite3
import time
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import StoreError
from zentrix_gov.runs.result_counts import ResultCounts
from zentrix_gov.runs.schema import (
    FIRST_TABLES,
    JSON_FIELDS,
    MIGRATIONS,
    RESULT_COLUMNS,
    RUN_FIELDS,
    SCHEMA_VERSION,
    RunRecord,
    RunStatus,
    UnitRecord,
)
from zentrix_gov.runs.usage import write_unit_usage
from zentrix_gov.utils.clock import now

if TYPE_CHECKING:
    from zentrix_gov.spend.usage import UnitSpend

DEFAULT_STORE = Path(".zentrix") / "runs.sqlite"
STORE_ENV = "ZENTRIX_STORE"
# How long a writer waits for another process's transaction before giving up.
_BUSY_SECONDS = 60.0


def store_path(explicit: str | os.PathLike[str] | None = None) -> Path:
    """The store to use: ``explicit``, else ``$ZENTRIX_STORE``, else ``.zentrix/runs.sqlite``
    under the current folder."""
    return Path(explicit or os.environ.get(STORE_ENV) or DEFAULT_STORE)


class RunStore(ResultCounts):
    """A connection to one store file. Not shared between threads."""

    def __init__(self, path: str | os.PathLike[str] | None = None, *, create: bool = True):
        self.path = store_path(path)
        self._locks: dict[str, int] = {}
        if not create and not self.path.exists():
            raise StoreError(f"no run store at {self.path}: no run has been stored there yet")
        try:
            if create:
                self.path.parent.mkdir(parents=True, exist_ok=True)
            self._db = sqlite3.connect(self.path, timeout=_BUSY_SECONDS, isolation_level=None)
            self._db.execute("PRAGMA foreign_keys = ON")
            self._prepare_schema(create)
            if create:
                # A readable empty store is not enough for a run: check it takes writes now,
                # before any record is sent anywhere.
                self._db.execute("BEGIN IMMEDIATE")
                self._db.execute("ROLLBACK")
        except sqlite3.DatabaseError as exc:
            raise StoreError(_db_problem(self.path, exc)) from None
        except OSError as exc:
            raise StoreError(
                f"cannot use the run store {self.path}: {exc.strerror or exc}"
            ) from None

    # ------------------------------------------------------------------ schema

    def _prepare_schema(self, create: bool) -> None:
        version = self._version()
        if version == 0:
            if not create:
                self._refuse_foreign()
                raise StoreError(f"no run store at {self.path}: it holds no runs")
            # WAL lets readers and the writers of other runs work while one run commits.
            self._db.execute("PRAGMA journal_mode = WAL")
        if version > SCHEMA_VERSION:
            raise StoreError(
                f"the run store {self.path} has schema version {version}, newer than this "
                f"version of zentrix-gov reads ({SCHEMA_VERSION}); use a newer zentrix-gov, or "
                "another store (--store)"
            )
        if version < SCHEMA_VERSION:
            with self._transaction():
                # Read again inside the transaction: another process may have made or
                # upgraded the store since.
                self._upgrade(self._version())

    def _upgrade(self, version: int) -> None:
        """Make the store (version 0) or bring it up to date, in the open transaction."""
        if version == 0:
            self._refuse_foreign()
            for statement in FIRST_TABLES:
                self._db.execute(statement)
            version = 1
        for number, migration in enumerate(MIGRATIONS[version - 1 :], start=version + 1):
            migration(self._db)
            self._db.execute(
                "INSERT INTO migrations (version, name, applied) VALUES (?, ?, ?)",
                (number, migration.__name__, now()),
            )
        self._db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")

    def _refuse_foreign(self) -> None:
        if self._db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
            raise StoreError(f"{self.path} is an SQLite file, but not a run store")

    def _version(self) -> int:
        return int(self._db.execute("PRAGMA user_version").fetchone()[0])

    @contextlib.contextmanager
    def _transaction(self) -> Iterator[sqlite3.Connection]:
        self._db.execute("BEGIN IMMEDIATE")
        try:
            yield self._db
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")

    def close(self) -> None:
        for run_id in list(self._locks):
            self.release(run_id)
        self._db.close()

    def __enter__(self) -> RunStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ------------------------------------------------------------------ ownership

    def _lock_path(self, run_id: str) -> Path:
        return self.path.with_name(f"{self.path.name}-locks") / f"{run_id}.lock"

    def claim(self, run_id: str) -> None:
        """Become the only writer of ``run_id`` until :meth:`release` or the process ends."""
        lock_path = self._lock_path(run_id)
        try:
            lock_path.parent.mkdir(exist_ok=True)
            descriptor = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
        except OSError as exc:
            raise StoreError(f"cannot lock run {run_id} in {self.path}: {exc.strerror}") from None
        # A reader checking whether the run is owned holds the lock for a moment: try again
        # briefly before taking a held lock for another writer's.
        for pause in (0.01, 0.05, None):
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if pause is None:
                    os.close(descriptor)
                    raise StoreError(f"run {run_id} is being written by another process") from None
                time.sleep(pause)
        self._locks[run_id] = descriptor

    def release(self, run_id: str) -> None:
        descriptor = self._locks.pop(run_id, None)
        if descriptor is not None:
            # The file stays: a resumer may have opened it already, and must lock this very
            # file, not an orphan beside a new one (a resumed run keeps its id).
            os.close(descriptor)

    def owns(self, run_id: str) -> bool:
        """Whether this store holds the run's lock (is its only writer)."""
        return run_id in self._locks

    def _owned_elsewhere(self, run_id: str) -> bool:
        """Whether a live process other than this one holds the run's lock."""
        if run_id in self._locks:
            return False
        try:
            descriptor = os.open(self._lock_path(run_id), os.O_RDONLY | os.O_NOFOLLOW)
        except OSError:
            return False
        try:
            fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        finally:
            os.close(descriptor)
        return False

    # ------------------------------------------------------------------ writing

    def begin_run(self, run: RunRecord) -> None:
        """Store a new run and claim it."""
        values = [_column_value(name, getattr(run, name)) for name in RUN_FIELDS]
        with self._transaction() as db:
            db.execute(
                f"INSERT INTO runs ({', '.join(RUN_FIELDS)}) "
                f"VALUES ({', '.join('?' * len(RUN_FIELDS))})",
                values,
            )
        self.claim(run.id)

    def reopen_run(self, run_id: str) -> None:
        """Mark a claimed run as running again (resumed)."""
        with self._transaction() as db:
            db.execute(
                "UPDATE runs SET status = ?, ended = NULL, error = NULL WHERE id = ?",
                (RunStatus.RUNNING, run_id),
            )

    def commit_unit(
        self,
        run_id: str,
        unit: UnitRecord,
        rows: Iterable[tuple[Any, ...]],
        committed: str,
        usage: UnitSpend | None = None,
        also: Callable[[sqlite3.Connection], None] | None = None,
    ) -> None:
        """Store a finished unit and its result rows (``RESULT_COLUMNS`` each) at once, with
        what its judge requests used (``usage``); ``also`` writes what else belongs with
        them (labels, judgements) in the same transaction."""
        self._check_owner(run_id)
        placeholders = ", ".join("?" * (len(RESULT_COLUMNS) + 2))
        with self._transaction() as db:
            db.execute(
                "INSERT INTO units (run_id, metric, chunk, first_position, records, "
                "wall_seconds, attempts, summary, committed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    run_id,
                    unit.metric,
                    unit.chunk,
                    unit.first_position,
                    unit.records,
                    unit.wall_seconds,
                    unit.attempts,
                    json.dumps(unit.summary, ensure_ascii=False),
                    committed,
                ),
            )
            db.executemany(
                f"INSERT INTO results (run_id, metric, {', '.join(RESULT_COLUMNS)}) "
                f"VALUES ({placeholders})",
                ((run_id, unit.metric, *row) for row in rows),
            )
            if usage is not None:
                write_unit_usage(db, run_id, unit.metric, unit.chunk, usage)
            if also is not None:
                also(db)

    @contextlib.contextmanager
    def owned_transaction(self, run_id: str) -> Iterator[sqlite3.Connection]:
        """A write transaction for what the owner of ``run_id`` stores besides units."""
        self._check_owner(run_id)
        with self._transaction() as db:
            yield db

    def read(self, query: str, arguments: Iterable[Any] = ()) -> sqlite3.Cursor:
        """Rows of a read-only query on the store (the tables of later schema versions)."""
        return self._db.execute(query, tuple(arguments))

    def finish_run(
        self, run_id: str, status: RunStatus, ended: str, error: str | None = None
    ) -> None:
        status = RunStatus(status)
        self._check_owner(run_id)
        with self._transaction() as db:
            db.execute(
                "UPDATE runs SET status = ?, ended = ?, error = ? WHERE id = ?",
                (status, ended, error, run_id),
            )

    def _check_owner(self, run_id: str) -> None:
        if run_id not in self._locks:
            raise StoreError(f"run {run_id} is not owned by this process; only its owner writes")

    # ------------------------------------------------------------------ reading

    def find_run(self, reference: str) -> RunRecord:
        """The run called ``reference``: an id, a unique start of one, or ``last`` (the most
        recently started run)."""
        if reference == "last":
            row = self._db.execute(
                f"SELECT {', '.join(RUN_FIELDS)} FROM runs ORDER BY rowid DESC LIMIT 1"
            ).fetchone()
            if row is None:
                raise StoreError(f"the run store {self.path} holds no runs yet")
            return self._run(row)
        rows = self._db.execute(
            f"SELECT {', '.join(RUN_FIELDS)} FROM runs WHERE id = ? OR id LIKE ? ESCAPE '\\' "
            "ORDER BY id LIMIT 3",
            (reference, _like_prefix(reference)),
        ).fetchall()
        exact = [row for row in rows if row[0] == reference]
        if exact:
            return self._run(exact[0])
        if len(rows) == 1:
            return self._run(rows[0])
        if not rows:
            raise StoreError(f"no run {reference!r} in {self.path} (python -m zentrix_gov runs)")
        raise StoreError(f"{reference!r} starts more than one run id in {self.path}; give more")

    def list_runs(self) -> list[RunRecord]:
        rows = self._db.execute(
            f"SELECT {', '.join(RUN_FIELDS)} FROM runs ORDER BY rowid"
        ).fetchall()
        return [self._run(row) for row in rows]

    def _run(self, row: tuple[Any, ...]) -> RunRecord:
        values = {
            name: json.loads(value) if name in JSON_FIELDS and value is not None else value
            for name, value in zip(RUN_FIELDS, row, strict=True)
        }
        run = RunRecord(**values)
        if run.status is RunStatus.RUNNING and not self._owned_elsewhere(run.id):
            # Its process is gone (killed, or the machine went down): nothing writes it now.
            run.status = RunStatus.INTERRUPTED
        return run

    def committed_units(self, run_id: str) -> set[tuple[str, int]]:
        rows = self._db.execute("SELECT metric, chunk FROM units WHERE run_id = ?", (run_id,))
        return {(metric, chunk) for metric, chunk in rows}

    def records_done(self, run_id: str, metrics: Iterable[str]) -> int:
        """How many records every metric of the run has finished (from the start)."""
        done = dict(
            self._db.execute(
                "SELECT metric, sum(records) FROM units WHERE run_id = ? GROUP BY metric",
                (run_id,),
            )
        )
        return min((done.get(metric, 0) for metric in metrics), default=0)

    def units(self, run_id: str, metric: str | None = None) -> list[UnitRecord]:
        query = (
            "SELECT metric, chunk, first_position, records, wall_seconds, attempts, summary "
            "FROM units WHERE run_id = ?"
        )
        arguments: tuple[Any, ...] = (run_id,)
        if metric is not None:
            query += " AND metric = ?"
            arguments += (metric,)
        rows = self._db.execute(query + " ORDER BY metric, chunk", arguments)
        return [
            UnitRecord(name, chunk, first, records, seconds, attempts, json.loads(summary))
            for name, chunk, first, records, seconds, attempts, summary in rows
        ]

    def results(
        self, run_id: str, metric: str, columns: Iterable[str] = RESULT_COLUMNS
    ) -> Iterator[tuple[Any, ...]]:
        """The metric's result rows in record order, streamed."""
        names = [name for name in columns if name in RESULT_COLUMNS]
        yield from self._db.execute(
            f"SELECT {', '.join(names)} FROM results WHERE run_id = ? AND metric = ? "
            "ORDER BY position",
            (run_id, metric),
        )


def _column_value(name: str, value: Any) -> Any:
    return json.dumps(value, ensure_ascii=False) if name in JSON_FIELDS else value


def _like_prefix(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
    return escaped + "%"


def _db_problem(path: Path, exc: sqlite3.DatabaseError) -> str:
    text = str(exc)
    if "readonly" in text or "unable to open" in text:
        return f"cannot write the run store {path}: {text} (check the folder's permissions)"
    if "not a database" in text:
        return f"{path} is not a run store (not an SQLite file)"
    return f"cannot use the run store {path}: {text}"
