"""Construction, module bindings and what importing the module costs."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from unittest import mock

import pytest

from zentrix_gov.providers import critwise
from zentrix_gov.providers.critwise import Critwise

from .conftest import YES_NO, openai_judge


def build(*args, **kwargs):
    return Critwise(*args, **kwargs)


class TestConstructor:
    def test_positional_order_and_defaults(self):
        judge = openai_judge()
        provider = build("m", "M", "numeric", judge, YES_NO)
        assert (provider.metric_name, provider.display_name, provider.value_type) == (
            "m",
            "M",
            "numeric",
        )
        assert provider.llm_judge is judge
        assert provider.options is YES_NO
        assert provider.criteria_description is None
        assert provider.prompt_template is None
        assert provider.context_fields == []
        assert provider.prediction_field is None
        assert provider.metric_group is None
        assert provider.metric_method is None
        assert provider.thresholds == []
        assert provider.record_id_field == "record_id"
        assert provider.record_timestamp_field == "record_timestamp"
        assert provider.compute_token_count is False
        # Nothing is built up front: no judge, engine or tokenizer.
        assert not hasattr(provider, "encoding")

    def test_default_lists_are_not_shared(self):
        first, second = build("a", "A", "n", None, []), build("b", "B", "n", None, [])
        assert first.context_fields is not second.context_fields
        assert first.thresholds is not second.thresholds

    def test_given_lists_are_kept_as_they_are(self):
        fields, thresholds = ["question"], []
        provider = build("m", "M", "n", None, YES_NO, context_fields=fields, thresholds=thresholds)
        assert provider.context_fields is fields and provider.thresholds is thresholds

    def test_settings_from_extra_keywords(self):
        provider = build(
            "m",
            "M",
            "n",
            None,
            YES_NO,
            record_id_field="id",
            record_timestamp_field="ts",
            compute_token_count=True,
            something_else=3,
        )
        assert (provider.record_id_field, provider.record_timestamp_field) == ("id", "ts")
        assert provider.compute_token_count is True
        assert not hasattr(provider, "something_else")

    @pytest.mark.parametrize(
        ("keyword", "value", "message"),
        [
            ("metric_name", 3, "metric_name must be of type str, not int"),
            ("display_name", None, "display_name must be of type str, not NoneType"),
            ("value_type", b"x", "value_type must be of type str, not bytes"),
            ("options", tuple(YES_NO), "options must be of type list, not tuple"),
            ("criteria_description", 1, "criteria_description must be of type str or None"),
            ("prompt_template", [], "prompt_template must be of type str or None"),
            ("context_fields", "question", "context_fields must be of type list, not str"),
            ("prediction_field", 2, "prediction_field must be of type str or None"),
            ("metric_method", 1.5, "metric_method must be of type str or None"),
            ("thresholds", {}, "thresholds must be of type list, not dict"),
        ],
    )
    def test_wrong_types_are_refused_before_anything_is_set(self, keyword, value, message):
        arguments = {
            "metric_name": "m",
            "display_name": "M",
            "value_type": "n",
            "llm_judge": None,
            "options": YES_NO,
            keyword: value,
        }
        provider = Critwise.__new__(Critwise)
        with pytest.raises(TypeError, match=message):
            provider.__init__(**arguments)
        assert vars(provider) == {}


class TestModule:
    def test_variables_pattern(self):
        assert critwise.VARIABLES_PATTERN == r"\{([a-zA-Z_][a-zA-Z0-9_]*)\}"
        assert len(critwise.VARIABLES_PATTERN) == 28

    def test_lazy_module_is_declared(self):
        assert critwise.ea_imports.__name__ == "lazy_ea"

    def test_class_is_a_plain_python_class(self):
        assert Critwise.__doc__ == (
            "The class to invoke eval assist library for computing the LLMAJ metrics."
        )

        class Custom(Critwise):
            def _Critwise__get_judge(self):
                raise RuntimeError("custom judge")

        with pytest.raises(Exception, match="Reason: custom judge"):
            Custom("m", "M", "n", None, YES_NO, criteria_description="c").evaluate(None)

    def test_unknown_names_raise_attribute_error(self):
        with pytest.raises(AttributeError, match="has no attribute 'Nothing'"):
            critwise.Nothing  # noqa: B018

    def test_lazy_names_are_bound_once_and_patchable(self):
        from evalassist.judges import DirectJudge

        assert critwise.DirectJudge is DirectJudge
        assert "DirectJudge" in vars(critwise)
        with mock.patch.object(critwise, "DirectJudge") as fake:
            assert critwise.DirectJudge is fake
        assert critwise.DirectJudge is DirectJudge

    def test_importing_loads_neither_evalassist_nor_unitxt_nor_tiktoken(self):
        code = textwrap.dedent(
            """
            import sys
            import zentrix_gov.providers.critwise as critwise
            heavy = [m for m in ("evalassist", "unitxt", "tiktoken", "litellm", "torch")
                     if m in sys.modules]
            assert not heavy, heavy
            critwise.Critwise("m", "M", "n", None, [])
            print("ok")
            """
        )
        done = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "ok"


_RACE = """
import threading
from zentrix_gov.providers import critwise, scorewell
barrier = threading.Barrier(4)
errors = []
def read(module, name):
    barrier.wait(timeout=60)
    try:
        getattr(module, name)
    except Exception as exc:
        errors.append(repr(exc))
names = [(critwise, "CrossProviderInferenceEngine")] * 2
names += [(scorewell, "LiteLLMInferenceEngine"), (critwise, "DirectJudge")]
threads = [threading.Thread(target=read, args=pair) for pair in names]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(errors)
"""


def test_threads_binding_lazy_names_at_once_all_get_them():
    """The first units of two judge metrics start together on worker threads."""
    done = subprocess.run(
        [sys.executable, "-c", _RACE], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
