"""The run store as the commands open it: its option, and its errors as usage errors."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from zentrix_gov.cli.constants import STORE_HELP
from zentrix_gov.cli.errors import UsageError

if TYPE_CHECKING:
    from zentrix_gov.runs.store import RunRecord, RunStore


def add_store_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--store", metavar="PATH", help=STORE_HELP)


def open_store(path: str | None, *, create: bool = False) -> RunStore:
    from zentrix_gov.runs.errors import StoreError
    from zentrix_gov.runs.store import RunStore

    try:
        return RunStore(path, create=create)
    except StoreError as exc:
        raise UsageError(str(exc)) from None


def find_run(store: RunStore, reference: str) -> RunRecord:
    from zentrix_gov.runs.errors import StoreError

    try:
        return store.find_run(reference)
    except StoreError as exc:
        raise UsageError(str(exc)) from None
