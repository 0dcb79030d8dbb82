"""Result files (exports, reports): where they may go, and how they are put in place.

A file is written to a temporary file in the folder of its target and renamed over the
target, so the target is always whole. Renaming replaces whatever the name stands for, so
only a regular file (or nothing) may be there: a device, a folder, a FIFO or a socket is
refused. A symbolic link is followed, and the file it leads to is the one replaced; the
link itself stays. Every target is checked before a run starts, so that a mistake costs
no evaluation.
"""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import Any, TextIO

_KINDS = (
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISFIFO, "a FIFO (named pipe)"),
    (stat.S_ISSOCK, "a socket"),
)


class OutputPathError(ValueError):
    """A name that no result file may be written to; the message names it and why."""


class NotARegularFile(OSError):
    """A target that is no longer a regular file when its new content is put in place."""


def kind_of(mode: int) -> str:
    """What a file of mode ``mode`` is, in words ("a directory", "a socket", ...)."""
    return next((kind for test, kind in _KINDS if test(mode)), "not a regular file")


def output_target(path: str | os.PathLike[str], what: str) -> Path:
    """The file to replace when writing to ``path``: ``path`` itself, or the file the
    symbolic link at ``path`` leads to.

    ``what`` names the file in messages ("--output build/r.json"). Raises
    :class:`OutputPathError` when the name stands for something other than a regular file, or
    when its folder cannot take a new file.
    """
    given = Path(path)
    target = Path(os.path.realpath(given))
    shown = what if target == given.absolute() else f"{what} (a link to {target})"
    try:
        mode: int | None = target.stat().st_mode
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        raise OutputPathError(f"{shown}: cannot be examined: {exc.strerror or exc}") from None
    if mode is not None and not stat.S_ISREG(mode):
        raise OutputPathError(f"{shown} is {kind_of(mode)}; name a regular file to write")
    if mode is not None and not os.access(target, os.W_OK):
        raise OutputPathError(f"{shown} exists and is not writable")
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=target.parent, prefix=f".{target.name}."):
            pass
    except OSError as exc:
        raise OutputPathError(
            f"{shown}: cannot write in {exc.filename or target.parent}: {exc.strerror or exc}"
        ) from None
    return target


def replace(temporary: str | os.PathLike[str], target: Path) -> None:
    """Rename ``temporary`` over ``target``, unless ``target`` has since become something
    other than a regular file (never replace a device or a folder)."""
    with suppress(FileNotFoundError):
        mode = os.lstat(target).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISLNK(mode)):
            raise NotARegularFile(0, f"is {kind_of(mode)}, not a regular file", str(target))
    os.replace(temporary, target)


@contextmanager
def staged_files() -> Iterator[Callable[[Path], TextIO]]:
    """``stage(target)`` opens a temporary file next to ``target``. When the block ends
    without an error, every staged file is renamed to its target, in the order staged;
    otherwise they are all removed and no target is touched."""
    staged: list[tuple[Any, Path]] = []

    def stage(target: Path) -> TextIO:
        handle = tempfile.NamedTemporaryFile(  # noqa: SIM115 - closed below, renamed after
            "w", dir=target.parent, prefix=f".{target.name}.", delete=False, encoding="utf-8",
            newline="" if target.suffix == ".csv" else None,
        )  # fmt: skip
        staged.append((handle, target))
        return handle

    try:
        yield stage
        for handle, _ in staged:
            handle.close()
            # Temporary files are private; results get the permissions of any new file.
            os.chmod(handle.name, 0o666 & ~_umask())
        for handle, target in staged:
            replace(handle.name, target)
    except BaseException:
        for handle, _ in staged:
            handle.close()
            with suppress(OSError):
                os.unlink(handle.name)
        raise


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def private_cache_file(name: str) -> Path:
    """``~/.cache/zentrix_gov/NAME`` (or under ``$XDG_CACHE_HOME``): where a secret the user
    needs (a local service's random key) is kept."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "zentrix_gov" / name


def write_secret(path: Path, text: str) -> None:
    """Write ``text`` to a new file at ``path`` that only its owner can read: whatever was
    there is removed first, so nobody else holds the new file open or owns it."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.unlink(missing_ok=True)
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(descriptor, "w") as handle:
        handle.write(text + "\n")
