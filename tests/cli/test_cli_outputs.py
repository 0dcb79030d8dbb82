"""Where results go: ``evaluate --output`` and ``risk --report`` replace only regular files,
write through symbolic links, and refuse any other target before the run starts."""

from __future__ import annotations

import json
import os
import socket
import stat
from pathlib import Path

import pytest

from zentrix_gov.cli import main

from .conftest import COLUMNS, RECORDS

USAGE = 2


@pytest.fixture(autouse=True)
def nothing_but_files_is_replaced(monkeypatch):
    """A safety net, not the check under test: these tests run as root, where renaming a
    file over /dev/null would replace the system's device."""
    rename = os.replace

    def guarded(source, target, **kwargs):
        found = os.lstat(target).st_mode if os.path.lexists(target) else stat.S_IFREG
        assert stat.S_ISREG(found), f"a run tried to replace {target}"
        return rename(source, target, **kwargs)

    monkeypatch.setattr(os, "replace", guarded)


@pytest.fixture
def risk_model(tmp_path):
    """A model file that leaves a mark when it is asked anything."""
    marker = tmp_path / "model-was-called"
    model = tmp_path / "model.py"
    model.write_text(
        "from pathlib import Path\n"
        "def reply(prompts):\n"
        f"    Path({str(marker)!r}).touch()\n"
        "    return ['No.' for _ in prompts]\n"
    )
    return f"{model}:reply", marker


def evaluate_args(target: Path) -> list[str]:
    return ["evaluate", str(RECORDS), "-c", str(COLUMNS), "-m", "hap", "-o", str(target)]


def risk_args(model: str, target: Path) -> list[str]:
    return ["risk", "--model", model, "--risks", "bias", "--samples", "2", "--report",
            str(target), "-q"]  # fmt: skip


def make_socket(path: Path) -> None:
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(str(path))  # the socket file stays after the socket is closed


# What stands at the output's name: how to make it, and how the error line calls it.
OBSTACLES = {
    "device": (None, "a character device"),
    "directory": (Path.mkdir, "a directory"),
    "fifo": (os.mkfifo, "a FIFO"),
    "socket": (make_socket, "a socket"),
}


@pytest.mark.parametrize("command", ["evaluate", "risk"])
@pytest.mark.parametrize(("make", "kind"), OBSTACLES.values(), ids=OBSTACLES.keys())
def test_a_target_that_is_not_a_regular_file_is_refused_before_the_run(
    tmp_path, capsys, monkeypatch, risk_model, command, make, kind
):
    def no_service(*args, **kwargs):
        raise AssertionError("the run started")

    monkeypatch.setattr("zentrix_gov.cli.service.open_service", no_service)
    target = Path(os.devnull) if make is None else tmp_path / "results.json"
    if make is not None:
        make(target)
    model, marker = risk_model
    argv = evaluate_args(target) if command == "evaluate" else risk_args(model, target)
    assert main(argv) == USAGE
    err = capsys.readouterr().err
    option = "--output" if command == "evaluate" else "--report"
    assert err.startswith(f"error: {option} {target} is {kind}") and err.count("\n") == 1
    assert not marker.exists()
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_the_csv_beside_the_results_is_checked_too(tmp_path, capsys):
    (tmp_path / "results.csv").mkdir()
    assert main(evaluate_args(tmp_path / "results.json")) == USAGE
    assert f"its CSV file {tmp_path / 'results.csv'} is a directory" in capsys.readouterr().err
    assert not (tmp_path / "results.json").exists()


@pytest.mark.parametrize("existing", [True, False], ids=["over a file", "dangling link"])
def test_results_are_written_through_a_symbolic_link(
    tmp_path, monkeypatch, server, capsys, existing
):
    for key, value in {"ZNG_API_KEY": server.token, "ZNG_SERVICE_INSTANCE_ID": server.instance_id,
                       "ZNG_URL": server.url, "ZNG_VERSION": "local"}.items():  # fmt: skip
        monkeypatch.setenv(key, value)
    real = tmp_path / "kept" / "results.json"
    real.parent.mkdir()
    if existing:
        real.write_text("an earlier run")
    link = tmp_path / "link.json"
    link.symlink_to(real)
    assert main([*evaluate_args(link), "-q"]) == 0, capsys.readouterr().err
    assert link.is_symlink() and link.resolve() == real
    assert json.loads(real.read_text())["status"] == "complete"
    assert (tmp_path / "link.csv").is_file()
    assert sorted(p.name for p in real.parent.iterdir()) == ["results.json"]


def test_the_risk_report_is_written_through_a_symbolic_link(tmp_path, capsys, risk_model):
    real = tmp_path / "reports" / "report.pdf"
    link = tmp_path / "report.pdf"
    link.symlink_to(real)
    model, marker = risk_model
    assert main(risk_args(model, link)) == 0, capsys.readouterr().err
    assert link.is_symlink() and marker.exists()
    assert real.read_bytes().startswith(b"%PDF")
