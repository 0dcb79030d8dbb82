"""Packaged models by name: ``--judge local-model[:NAME]`` opens the model it names and
refuses, before any service starts, a name the catalogue lacks or a model whose parts are
not installed; every model's parts are pinned in its extra, joined by its own file pattern
and checked; and the header tool tells a candidate's size from its first part."""

from __future__ import annotations

import hashlib
import json
import struct
import subprocess
import sys
import tomllib
from contextlib import contextmanager
from pathlib import Path
from types import SimpleNamespace

import pytest
from packaging.requirements import Requirement

from tests.cli.conftest import COLUMNS, RECORDS, ROOT
from zentrix_gov.cli import local_services, main
from zentrix_gov.cli.judge import open_judge
from zentrix_gov.cli.parser import build_parser
from zentrix_gov.local.model import catalog
from zentrix_gov.local.model.files import MODEL, ModelFileError, ModelInfo, model_file

CRITERION = RECORDS.parent / "criteria" / "answer_grounding.yaml"
EVALUATE = ["evaluate", str(RECORDS), "--config", str(COLUMNS), "--criteria", str(CRITERION)]


@pytest.fixture
def served(monkeypatch):
    """The models the command line asked the local model server for (none is started)."""
    started = []

    @contextmanager
    def fake_server(quiet, **options):
        started.append(options["model"])
        settings = SimpleNamespace(slots=2)
        yield SimpleNamespace(
            base_url="u", model_name=options["model"].name, key="k", settings=settings
        )

    monkeypatch.setattr(local_services, "local_model_server", fake_server)
    return started


@pytest.mark.parametrize("judge", ["local-model", f"local-model:{MODEL.name}"])
def test_the_judge_option_names_a_packaged_model(served, judge):
    with open_judge(build_parser().parse_args([*EVALUATE, "--judge", judge]), quiet=True) as j:
        assert j.model.model_id == MODEL.name
    assert served == [MODEL]


@pytest.mark.parametrize(
    ("judge", "said"),
    [
        ("local-model:nope", f"no packaged model 'nope'; choose one of local-model:{MODEL.name}"),
        ("local-model:absent", "needs absent_model_part1, absent_model_part2"),
        ("local-model:absent", "pip install 'zentrix-gov[local-model-absent]'"),
    ],
)
def test_an_unknown_or_missing_model_is_refused_before_any_service(
    served, monkeypatch, capsys, tmp_path, judge, said
):
    absent = ModelInfo(
        name="absent",
        file_name="absent.gguf",
        part_packages=("absent_model_part1", "absent_model_part2"),
        sha256="0" * 64,
        size=1,
        extra="local-model-absent",
    )
    monkeypatch.setitem(catalog.MODELS, absent.name, absent)
    store = str(tmp_path / "runs.sqlite")
    assert main([*EVALUATE, "--judge", judge, "--store", store, "-q"]) == 2
    assert said in capsys.readouterr().err
    assert served == []


@pytest.mark.parametrize("checksum_right", [True, False])
def test_parts_join_in_package_order_by_the_models_pattern(monkeypatch, tmp_path, checksum_right):
    chunks = {"first_part": [b"GGUF-one", b"-two"], "second_part": [b"-three"]}
    for package, pieces in chunks.items():
        folder = tmp_path / "site" / package
        folder.mkdir(parents=True)
        (folder / "__init__.py").write_text("")
        (folder / "README").write_text("not a part")
        for number, piece in enumerate(pieces):
            (folder / f"model_part_{number:04d}").write_bytes(piece)
    monkeypatch.syspath_prepend(str(tmp_path / "site"))
    joined = b"GGUF-one-two-three"
    model = ModelInfo(
        name="tiny",
        file_name="tiny.gguf",
        part_packages=tuple(chunks),
        sha256=hashlib.sha256(joined if checksum_right else b"other").hexdigest(),
        size=len(joined),
        part_pattern="model_part_*",
    )
    cache = tmp_path / "cache"
    if checksum_right:
        assert model_file(model, folder=cache).read_bytes() == joined
    else:
        with pytest.raises(ModelFileError, match="nothing was loaded"):
            model_file(model, folder=cache)
        assert list(cache.iterdir()) == []


@pytest.mark.parametrize("model", list(catalog.MODELS.values()), ids=lambda model: model.name)
def test_every_packaged_models_parts_are_pinned_in_its_extra(model):
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    listed = [Requirement(text) for text in extras["optional-dependencies"][model.extra]]
    pins = {requirement.name.replace("-", "_"): requirement for requirement in listed}
    for package in ("xllamacpp", *model.part_packages):
        assert str(pins[package].specifier).startswith("=="), package


def gguf_first_part(path: Path) -> int:
    """A GGUF file of two tensors (Q4_K 256x2, F32 8) cut after its header and 100 bytes
    of data, as a first part would be; the whole file's size is returned."""

    def text(value: str) -> bytes:
        return struct.pack("<Q", len(value)) + value.encode()

    keys = [
        text("general.name") + struct.pack("<I", 8) + text("Tiny"),
        text("general.license") + struct.pack("<I", 8) + text("mit"),
        text("general.file_type") + struct.pack("<II", 4, 15),
        text("tokenizer.ggml.tokens") + struct.pack("<IIQ", 9, 8, 2) + text("a") + text("b"),
    ]
    tensors = [
        text("a") + struct.pack("<I", 2) + struct.pack("<QQ", 256, 2) + struct.pack("<IQ", 12, 0),
        text("b") + struct.pack("<I", 1) + struct.pack("<Q", 8) + struct.pack("<IQ", 0, 288),
    ]
    header = b"GGUF" + struct.pack("<IQQ", 3, 2, len(keys)) + b"".join(keys + tensors)
    start = -(-len(header) // 32) * 32
    path.write_bytes(header.ljust(start, b"\0") + b"\1" * 100)
    return start + 288 + 32


def test_the_header_tool_tells_the_whole_files_size_from_a_first_part(tmp_path):
    part = tmp_path / "model_part_0000"
    whole = gguf_first_part(part)
    done = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gguf_header.py"), str(part), "--part-size", "128"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    facts = json.loads(done.stdout)
    assert facts["file_size"] == whole and facts["parts_needed"] == -(-whole // 128)
    assert (facts["name"], facts["licence"], facts["quantisation"]) == ("Tiny", "mit", "Q4_K_M")
    assert (facts["parameters"], facts["complete"]) == (520, False)
