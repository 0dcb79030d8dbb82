"""Token counting offline: the encoding comes from disk, never from the internet."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from zentrix_gov.utils import tokens


def run_isolated(code: str, **environment: str) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k != tokens.CACHE_VARIABLE}
    env.update(environment)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


# Fails the process if tiktoken tries to fetch anything.
NO_DOWNLOADS = """
import tiktoken.load

def refuse(blobpath):
    raise AssertionError(f"download attempted: {blobpath}")

tiktoken.load.read_file = refuse
"""


class TestOfflineEncoding:
    def test_loads_from_litellm_copy_without_importing_litellm(self):
        done = run_isolated(
            NO_DOWNLOADS
            + """
import os, sys
from zentrix_gov.providers import critwise
encoding = critwise.tiktoken.get_encoding("cl100k_base")
assert encoding.encode("hello world") == [15339, 1917]
assert "litellm" not in sys.modules
print(os.environ["TIKTOKEN_CACHE_DIR"])
"""
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == str(tokens.bundled_folder())

    def test_a_cache_folder_holding_the_file_is_kept(self, tmp_path):
        name = tokens.CACHE_FILE
        shutil.copy(tokens.bundled_folder() / name, tmp_path / name)
        done = run_isolated(
            NO_DOWNLOADS
            + """
import os
from zentrix_gov.utils.tokens import offline_tiktoken
offline_tiktoken().get_encoding("cl100k_base")
print(os.environ["TIKTOKEN_CACHE_DIR"])
""",
            TIKTOKEN_CACHE_DIR=str(tmp_path),
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == str(tmp_path)

    def test_without_the_file_anywhere_nothing_is_downloaded(self, tmp_path, monkeypatch):
        monkeypatch.setenv(tokens.CACHE_VARIABLE, str(tmp_path))
        monkeypatch.setattr(tokens, "bundled_folder", lambda: tmp_path / "missing")
        with pytest.raises(tokens.EncodingUnavailable, match="cl100k_base"):
            tokens.offline_tiktoken()
        assert os.environ[tokens.CACHE_VARIABLE] == str(tmp_path)

    def test_litellm_ships_the_file(self):
        assert (tokens.bundled_folder() / tokens.CACHE_FILE).is_file()
