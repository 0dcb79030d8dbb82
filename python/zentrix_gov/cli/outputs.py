"""Files the command line writes (``evaluate --output``, ``risk --report``): every target is
checked before a run starts, so that a mistake costs no evaluation (see
:mod:`zentrix_gov.utils.files` for the rules)."""

from __future__ import annotations

import os
from pathlib import Path

from zentrix_gov.cli.errors import UsageError
from zentrix_gov.utils import files
from zentrix_gov.utils.files import staged_files

__all__ = ["file_size", "output_target", "staged_files"]


def output_target(path: str | os.PathLike[str], what: str) -> Path:
    """The file to replace when writing to ``path`` (a link's target); a usage error when
    nothing may be written there."""
    try:
        return files.output_target(path, what)
    except files.OutputPathError as exc:
        raise UsageError(str(exc)) from None


def file_size(size: int) -> str:
    """A written file's size as the commands report it."""
    return f"{size / 1e6:.1f} MB" if size >= 100_000 else f"{size / 1e3:.0f} kB"
