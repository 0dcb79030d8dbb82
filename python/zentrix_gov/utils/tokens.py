"""tiktoken without downloads: the "cl100k_base" encoding read from the copy litellm ships.

tiktoken fetches an encoding's file from the internet the first time it is asked for one
and keeps it in ``TIKTOKEN_CACHE_DIR``. litellm (a dependency) ships that very file, under
the cache name tiktoken looks for, in ``litellm/litellm_core_utils/tokenizers``; pointing
``TIKTOKEN_CACHE_DIR`` there lets tiktoken find it, without importing litellm (which would
point it there itself, and take a second doing so).
"""

from __future__ import annotations

import importlib.util
import os
from pathlib import Path
from types import ModuleType

ENCODING_NAME = "cl100k_base"
# The name tiktoken gives its cached copy of the encoding (the SHA-1 of the address it
# would download it from).
CACHE_FILE = "9b5ad71b2ce5302211f9c61530b329a4922fc6a4"
CACHE_VARIABLE = "TIKTOKEN_CACHE_DIR"


class EncodingUnavailable(RuntimeError):
    """The encoding's file is in no folder tiktoken reads, and it would have to be downloaded."""


def bundled_folder() -> Path | None:
    """litellm's folder of tokenizer files, found without importing litellm."""
    found = importlib.util.find_spec("litellm")
    if found is None or found.origin is None:
        return None
    return Path(found.origin).parent / "litellm_core_utils" / "tokenizers"


def offline_tiktoken() -> ModuleType:
    """The ``tiktoken`` module, set up so that "cl100k_base" loads from disk.

    A ``TIKTOKEN_CACHE_DIR`` that already holds the file is kept; otherwise it is pointed at
    litellm's copy. Raises :class:`EncodingUnavailable` when neither has the file: the
    encoding is then never downloaded.
    """
    name = CACHE_FILE
    current = os.environ.get(CACHE_VARIABLE)
    if not (current and (Path(current) / name).is_file()):
        folder = bundled_folder()
        if folder is None or not (folder / name).is_file():
            raise EncodingUnavailable(
                f"The {ENCODING_NAME} token encoding is not on this machine: install litellm "
                f"(it ships the file) or put the file {name} in ${CACHE_VARIABLE}."
            )
        os.environ[CACHE_VARIABLE] = str(folder)
    import tiktoken

    return tiktoken
