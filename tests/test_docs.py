"""Every shell and Python block of the README and of docs/ runs as shown.

The blocks of a page run in order, in a temporary folder holding a copy of ``examples/``,
with this interpreter as ``python`` on PATH and no ``ZNG_*`` settings, as a reader
following the page in a fresh shell would run them. A block run on its own (``-k``) runs
the page's unmarked blocks before it first.

HTML comments on the lines right before a fence say how its block runs:

- ``<!-- not run: REASON -->``: never run; reported as skipped with its reason;
- ``<!-- needs: EXTRA -->``: skipped when that optional extra is not installed
  (``local-model`` blocks are also marked ``realmodel``, ``ray`` blocks ``ray``);
- ``<!-- serves until Ctrl-C -->``: a server; it must print its 127.0.0.1 URL, then end
  on Ctrl-C (exit code 0, or 130 for "interrupted").
"""

from __future__ import annotations

import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

from tests.cli.conftest import ROOT, clean_env
from tests.support.sanitizer import SANITIZED

pytestmark = pytest.mark.docs

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# The languages of fences: the blocks run as a shell script or as Python, or not at all.
LANGUAGES = {"sh": "shell", "python": "python"} | dict.fromkeys(["yaml", "json", "text", "cpp"])
NOTE = re.compile(r"<!--\s*(not run: .+|needs: [\w-]+|serves until Ctrl-C)\s*-->")
URL = re.compile(r"http://127\.0\.0\.1:\d+")
TIMEOUT = 600  # seconds a block may take; the local model's blocks get more
SLOW_TIMEOUT = 1800


def _modules(*names: str):
    return lambda: all(importlib.util.find_spec(name) is not None for name in names)


def _local_model() -> bool:
    from zentrix_gov.local.model.files import MODEL

    return _modules("xllamacpp", *MODEL.part_packages)()


EXTRAS = {
    "local-model": _local_model,
    "ray": _modules("ray"),
    "risk": _modules("reportlab", "matplotlib"),
    "embeddings": _modules("torch", "sentence_transformers"),
    "parquet": _modules("pyarrow"),
    "otel": _modules("opentelemetry.sdk", "opentelemetry.exporter.otlp.proto.http"),
}
MARKS = {"local-model": pytest.mark.realmodel, "ray": pytest.mark.ray}


@dataclass(frozen=True)
class Block:
    page: Path
    line: int  # of the opening fence
    language: str
    code: str
    notes: tuple[str, ...]

    @property
    def name(self) -> str:
        return f"{self.page.relative_to(ROOT)}:{self.line}"

    @property
    def not_run(self) -> str | None:
        return next((note for note in self.notes if note.startswith("not run:")), None)

    @property
    def needs(self) -> list[str]:
        return [note.removeprefix("needs: ") for note in self.notes if note.startswith("needs:")]

    @property
    def serves(self) -> bool:
        return "serves until Ctrl-C" in self.notes


def read_blocks(page: Path) -> list[Block]:
    """The page's shell and Python blocks; a fence of another language is left out, one
    without a language or of an unknown one is an error (it might hide a command)."""
    lines = page.read_text(encoding="utf-8").splitlines()
    blocks, index = [], 0
    while index < len(lines):
        opening = lines[index]
        if not opening.startswith("```"):
            index += 1
            continue
        language = opening[3:].strip()
        if language not in LANGUAGES:
            raise ValueError(f"{page.name}:{index + 1}: a fence of unknown language {language!r}")
        end = lines.index("```", index + 1)
        notes, before = [], index - 1
        while before >= 0 and lines[before].startswith("<!--"):
            match = NOTE.fullmatch(lines[before].strip())
            if match is None:
                raise ValueError(f"{page.name}:{before + 1}: unknown note {lines[before]!r}")
            notes.append(match.group(1))
            before -= 1
        if LANGUAGES[language]:
            code = "\n".join(lines[index + 1 : end]) + "\n"
            blocks.append(Block(page, index + 1, LANGUAGES[language], code, tuple(notes)))
        index = end + 1
    return blocks


BLOCKS = [block for page in PAGES for block in read_blocks(page)]


def _case(block: Block):
    marks = [MARKS[extra] for extra in block.needs if extra in MARKS]
    return pytest.param(block, id=block.name, marks=marks)


class Workspace:
    """A page's folder, and which of its blocks have run there."""

    def __init__(self, folder: Path):
        self.folder = folder
        shutil.copytree(ROOT / "examples", folder / "examples")
        self.done: set[int] = set()
        self.failed: list[str] = []  # blocks that did not end well, which later ones may need

    def environment(self) -> dict[str, str]:
        env = clean_env()
        env.pop("ZENTRIX_STORE", None)  # runs go to .zentrix/ here, as the pages say
        env["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}"
        return env

    def start(self, block: Block, log: Path) -> subprocess.Popen[bytes]:
        command = (
            ["bash", "-e", "-o", "pipefail", "-c", block.code]
            if block.language == "shell"
            else [sys.executable, "-c", block.code]
        )
        with log.open("wb") as output:
            return subprocess.Popen(
                command,
                cwd=self.folder,
                env=self.environment(),
                stdin=subprocess.DEVNULL,
                stdout=output,
                stderr=subprocess.STDOUT,
                start_new_session=True,  # its own process group, to stop what it starts
            )


@pytest.fixture(scope="session")
def workspaces(tmp_path_factory):
    made: dict[Path, Workspace] = {}

    def get(page: Path) -> Workspace:
        if page not in made:
            made[page] = Workspace(tmp_path_factory.mktemp(page.stem))
        return made[page]

    return get


def _signal_group(process: subprocess.Popen[bytes], sig: int) -> bool:
    """Send ``sig`` to the block's process group; whether any process was left in it."""
    try:
        os.killpg(process.pid, sig)
    except ProcessLookupError:
        return False
    return True


@dataclass
class Outcome:
    code: int | None  # None: it ran out of time and was killed
    output: str
    left_running: bool  # processes it started were still running a few seconds after it


def run_block(workspace: Workspace, block: Block) -> Outcome:
    log = workspace.folder / f".block-{block.line}.log"
    timeout = SLOW_TIMEOUT if "local-model" in block.needs else TIMEOUT
    process = workspace.start(block, log)
    deadline = time.monotonic() + timeout
    while block.serves and process.poll() is None and time.monotonic() < deadline:
        if URL.search(log.read_text(errors="replace")):
            _signal_group(process, signal.SIGINT)  # Ctrl-C
            deadline = time.monotonic() + 60
            break
        time.sleep(0.2)
    try:
        code = process.wait(timeout=max(deadline - time.monotonic(), 0))
    except subprocess.TimeoutExpired:
        code = None
    grace = time.monotonic() + 5
    while _signal_group(process, 0) and time.monotonic() < grace:
        time.sleep(0.2)
    left_running = _signal_group(process, signal.SIGKILL)
    if code is None:
        process.wait(timeout=30)
    outcome = Outcome(code, log.read_text(errors="replace"), left_running and code is not None)
    workspace.done.add(block.line)
    if outcome.code not in (0, 130) or outcome.left_running:
        workspace.failed.append(block.name)
    return outcome


@pytest.mark.parametrize("block", [_case(block) for block in BLOCKS])
def test_block_runs_as_shown(block: Block, workspaces):
    if block.not_run:
        pytest.skip(f"{block.name} {block.not_run}")
    missing = [extra for extra in block.needs if not EXTRAS[extra]()]
    if missing:
        pytest.skip(f"{block.name} needs the {', '.join(missing)} extra")
    if "ray" in block.needs and SANITIZED:
        pytest.skip(f"{block.name}: Ray's own processes stop on the sanitizer's findings in Ray")
    workspace = workspaces(block.page)
    for earlier in BLOCKS:
        same_page = earlier.page == block.page and earlier.line < block.line
        if same_page and not earlier.notes and earlier.line not in workspace.done:
            run_block(workspace, earlier)
    failed_before = list(workspace.failed)
    outcome = run_block(workspace, block)
    tail = outcome.output[-3000:]
    if failed_before:
        tail += f"\n(after the failure of {', '.join(failed_before)} on this page)"
    assert outcome.code is not None, f"{block.name} did not finish in time:\n{tail}"
    assert outcome.code in ((0, 130) if block.serves else (0,)), (
        f"{block.name} ended with exit code {outcome.code}:\n{tail}"
    )
    assert not outcome.left_running, f"{block.name} left processes running:\n{tail}"
    if block.serves:
        assert URL.search(outcome.output), f"{block.name} printed no URL:\n{tail}"


LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(page: Path) -> set[str]:
    """The anchors of a page's headings, as GitHub makes them."""
    text = re.sub(r"^```.*?^```", "", page.read_text(), flags=re.MULTILINE | re.DOTALL)
    headings = re.findall(r"^#+ (.+)$", text, re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-") for heading in headings}


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_links_between_pages_lead_somewhere(page: Path):
    broken = []
    for link in set(LINK.findall(page.read_text())) - {""}:
        if "://" in link:
            continue
        path, _, anchor = link.partition("#")
        target = page.parent / path if path else page
        if not target.exists() or (anchor and anchor not in anchors(target)):
            broken.append(link)
    assert not broken, f"{page.name} links to what does not exist: {broken}"
