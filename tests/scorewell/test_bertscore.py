"""The BERTScore tokenizer cap: real bert_score, a tokenizer built from a local vocabulary."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest

from zentrix_gov.providers import scorewell

VOCABULARY = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]", "the", "cat", "sat"]


@pytest.fixture
def tokenizer_dir(tmp_path):
    """A BERT tokenizer folder with no maximum length: transformers reports 1e30."""
    (tmp_path / "vocab.txt").write_text("\n".join(VOCABULARY) + "\n")
    (tmp_path / "tokenizer_config.json").write_text('{"tokenizer_class": "BertTokenizer"}')
    (tmp_path / "config.json").write_text('{"model_type": "bert"}')
    return str(tmp_path)


@pytest.fixture
def bert_utils():
    """bert_score.utils with its original get_tokenizer restored afterwards."""
    import bert_score.scorer
    import bert_score.utils

    saved = (bert_score.utils.get_tokenizer, bert_score.scorer.get_tokenizer)
    marker = vars(bert_score.utils).pop("_is_patched_for_overflow", None)
    yield bert_score.utils
    bert_score.utils.get_tokenizer, bert_score.scorer.get_tokenizer = saved
    vars(bert_score.utils).pop("_is_patched_for_overflow", None)
    if marker is not None:
        bert_score.utils._is_patched_for_overflow = marker


def test_huge_lengths_are_capped(bert_utils, tokenizer_dir):
    original = bert_utils.get_tokenizer
    assert original(tokenizer_dir).model_max_length > 100000
    scorewell.patch_bertscore_overflow()
    import bert_score.scorer

    assert bert_utils._is_patched_for_overflow is True
    assert bert_score.scorer.get_tokenizer is bert_utils.get_tokenizer
    tokenizer = bert_utils.get_tokenizer(tokenizer_dir)
    assert tokenizer.model_max_length == 512
    assert tokenizer.tokenize("the cat sat") == ["the", "cat", "sat"]


def test_patch_is_applied_once(bert_utils):
    scorewell.patch_bertscore_overflow()
    first = bert_utils.get_tokenizer
    scorewell.patch_bertscore_overflow()
    assert bert_utils.get_tokenizer is first
    assert first.__name__ == "patched_get_tokenizer"


@pytest.mark.parametrize(
    ("length", "expected"), [(10**6, 512), (100001, 512), (100000, 100000), (512, 512)]
)
def test_only_lengths_above_the_threshold_change(bert_utils, length, expected):
    calls = []

    def original(model_type, use_fast=False):
        calls.append((model_type, use_fast))
        return SimpleNamespace(model_max_length=length)

    bert_utils.get_tokenizer = original
    scorewell.patch_bertscore_overflow()
    assert bert_utils.get_tokenizer("m").model_max_length == expected
    bert_utils.get_tokenizer("m", True)
    # use_fast defaults to False and is passed on by position.
    assert calls == [("m", False), ("m", True)]


def test_tokenizer_without_a_length_is_returned_unchanged(bert_utils):
    plain = object()
    bert_utils.get_tokenizer = lambda model_type, use_fast=False: plain
    scorewell.patch_bertscore_overflow()
    assert bert_utils.get_tokenizer("m") is plain


def test_scorer_without_its_own_reference(bert_utils, monkeypatch):
    import bert_score.scorer

    monkeypatch.delattr(bert_score.scorer, "get_tokenizer")
    scorewell.patch_bertscore_overflow()
    assert bert_utils._is_patched_for_overflow is True
    assert not hasattr(bert_score.scorer, "get_tokenizer")


def run_python(code: str) -> list[str]:
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=180
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_without_bert_score_nothing_happens():
    out = run_python(
        """
        import sys
        sys.modules["bert_score"] = None  # as if it were not installed
        from zentrix_gov.providers import scorewell
        scorewell.patch_bertscore_overflow()
        scorewell.patch_bertscore_overflow()
        print("returned")
        """
    )
    assert out == ["returned"]


def test_evaluations_that_never_load_bert_score_do_not_import_it(tokenizer_dir):
    # The cap is installed the moment bert_score is first imported, by whoever imports it.
    out = run_python(
        f"""
        import sys
        from zentrix_gov.providers import scorewell
        scorewell.patch_bertscore_overflow()
        print("torch" in sys.modules, "bert_score" in sys.modules)
        import bert_score
        from bert_score import utils, scorer
        print(utils._is_patched_for_overflow, scorer.get_tokenizer is utils.get_tokenizer)
        print(utils.get_tokenizer({tokenizer_dir!r}).model_max_length)
        """
    )
    assert out == ["False", "False", "True", "True", "512"]


def test_errors_other_than_import_errors_propagate(bert_utils, monkeypatch):
    class Frozen:
        def __setattr__(self, name, value):
            raise PermissionError("read-only module")

        def __getattr__(self, name):
            if name == "get_tokenizer":
                return lambda *args: None
            raise AttributeError(name)

    monkeypatch.setitem(sys.modules, "bert_score.utils", Frozen())
    with pytest.raises(PermissionError):
        scorewell.patch_bertscore_overflow()
