import os
import tempfile

import pytest

# Everything runs offline: models and catalogs come from installed packages, and judge
# engines that cache answers write to a folder of this run.
os.environ["HF_HUB_OFFLINE"] = "1"
os.environ["TRANSFORMERS_OFFLINE"] = "1"
os.environ["UNITXT_USE_ONLY_LOCAL_CATALOGS"] = "True"
# litellm reads its packaged model cost map (and other tables) instead of fetching them.
os.environ["LITELLM_LOCAL_MODEL_COST_MAP"] = "True"
os.environ["LITELLM_OFFLINE_MODE"] = "true"
os.environ.setdefault(
    "UNITXT_INFERENCE_ENGINE_CACHE_PATH", tempfile.mkdtemp(prefix="zentrix-engine-cache-")
)
# Runs stored outside any test (module fixtures) go to a store of this session, never to the
# repository's own .zentrix folder; each test gets one of its own (run_store below).
os.environ["ZENTRIX_STORE"] = os.path.join(tempfile.mkdtemp(prefix="zentrix-runs-"), "runs.sqlite")

pytest_plugins = ["tests.plugin_services", "tests.plugin_judge"]


@pytest.fixture(autouse=True)
def run_store(tmp_path_factory, monkeypatch):
    """Every test's stored runs go to a store of its own, outside its tmp_path."""
    path = tmp_path_factory.mktemp("store") / "runs.sqlite"
    monkeypatch.setenv("ZENTRIX_STORE", str(path))
    return path


@pytest.fixture
def store(run_store):
    """The test's run store, open."""
    from zentrix_gov.runs.store import RunStore

    with RunStore(run_store) as opened:
        yield opened
