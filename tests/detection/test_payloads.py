import json

import pandas as pd
import pytest

from zentrix_gov.providers.detectwire import Detectwire


def bodies_of(provider, frame):
    bodies, record_ids = provider._Detectwire__pre_process_data(frame)
    assert record_ids == frame["record_id"].to_list()
    assert all(isinstance(body, str) for body in bodies)
    return bodies


@pytest.fixture
def frame():
    return pd.DataFrame(
        {
            "question": ["What is the capital of France?", "Qué hora es — ¿ya? 🙂"],
            "answer": ["Paris is the capital.", 'It is "noon".'],
            "context": ['["Paris is in France.", "Lyon too."]', "['single context']"],
            "record_id": ["r1", "r2"],
        }
    )


def test_default_body_is_detector_then_input(provider_for, frame):
    bodies = bodies_of(provider_for("hap"), frame)
    assert bodies[0] == '{"detectors": {"hap": {}}, "input": "What is the capital of France?"}'
    expected = {"detectors": {"hap": {}}, "input": frame["question"][1]}
    assert bodies[1] == json.dumps(expected)
    assert "\\u00bf" in bodies[1] and "\\ud83d\\ude42" in bodies[1]


def test_detector_params_are_sent_unchanged_and_empty_ones_as_empty_object(provider_for, frame):
    params = {"threshold": 0.5, "keywords": ["a", "b"]}
    body = json.loads(bodies_of(provider_for("keyword", detector_params=params), frame)[0])
    assert body["detectors"] == {"keyword": params}
    body = json.loads(bodies_of(provider_for("keyword", detector_params={}), frame)[0])
    assert body["detectors"] == {"keyword": {}}


def test_risk_metrics_go_to_the_shared_risk_detector(provider_for, frame):
    provider = provider_for("prompt_safety_risk", method="basalt_guardian")
    assert json.loads(bodies_of(provider, frame)[0])["detectors"] == {"basalt_guardian": {}}


def test_answer_relevance_body(provider_for, frame):
    body = bodies_of(provider_for("answer_relevance"), frame)[1]
    assert body == json.dumps(
        {
            "detectors": {"answer_relevance": {}},
            "prompt": frame["question"][1],
            "generated_text": frame["answer"][1],
        }
    )


def test_faithfulness_sends_the_answer_as_input(provider_for, frame):
    body = bodies_of(provider_for("faithfulness"), frame)[0]
    assert body == json.dumps(
        {
            "detectors": {"faithfulness": {}},
            "input": "Paris is the capital.",
            "context_type": "docs",
            "context": ["Paris is in France.", "Lyon too."],
        }
    )


def test_context_relevance_sends_the_question_and_parsed_contexts(provider_for, frame):
    bodies = [json.loads(b) for b in bodies_of(provider_for("context_relevance"), frame)]
    assert bodies[0]["input"] == "What is the capital of France?"
    assert bodies[1]["context"] == ["single context"]
    assert list(bodies[0]) == ["detectors", "input", "context_type", "context"]


def test_several_context_columns_make_one_list_per_record(provider_for, config):
    config = config.model_copy(update={"context_fields": ["c1", "c2"]})
    frame = pd.DataFrame(
        {"question": ["q"], "answer": ["a"], "c1": ["one"], "c2": ["two"], "record_id": ["r"]}
    )
    body = json.loads(bodies_of(provider_for("faithfulness", configuration=config), frame)[0])
    assert body["context"] == ["one", "two"]


def test_context_metric_without_context_fields_fails(provider_for, config, frame):
    config = config.model_copy(update={"context_fields": []})
    with pytest.raises(TypeError):
        provider_for("faithfulness", configuration=config)._Detectwire__pre_process_data(frame)


def get_weather(city: str, days: int = 1) -> str:
    """Forecast for a city."""
    return city * days


@pytest.fixture
def tool_frame():
    calls = [
        {
            "id": "1",
            "type": "function",
            "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'},
        }
    ]
    return pd.DataFrame(
        {"question": ["Weather in Paris?"], "calls": [json.dumps(calls)], "record_id": ["r1"]}
    )


def test_tool_call_body_with_decoded_arguments_and_tool_schemas(provider_for, config, tool_frame):
    config = config.model_copy(update={"tool_calls_field": "calls", "tools": [get_weather]})
    body = json.loads(
        bodies_of(provider_for("tool_call_accuracy", configuration=config), tool_frame)[0]
    )
    assert list(body) == ["detectors", "messages", "tools"]
    user, assistant = body["messages"]
    assert user == {"content": "Weather in Paris?", "role": "user"}
    assert assistant["role"] == "assistant"
    assert assistant["tool_calls"][0]["function"]["arguments"] == {"city": "Paris"}
    (tool,) = body["tools"]
    assert tool["function"]["name"] == "get_weather"
    assert tool["function"]["parameters"]["required"] == ["city"]
    # the caller's table now holds the decoded tool calls
    assert isinstance(tool_frame["calls"][0], list)


def test_tool_catalogue_of_dicts_is_sent_unchanged(provider_for, config, tool_frame):
    tools = [{"type": "function", "function": {"name": "x", "parameters": {}}}]
    config = config.model_copy(update={"tool_calls_field": "calls", "tools": tools})
    provider = provider_for("tool_call_accuracy", configuration=config)
    assert provider.get_tools_catalog_content() is tools
    assert json.loads(bodies_of(provider, tool_frame)[0])["tools"] == tools


def test_tool_call_accuracy_without_tool_calls_column_builds_no_body(provider_for, tool_frame):
    provider = provider_for("tool_call_accuracy")
    assert provider.get_tool_calls_content(tool_frame) == []
    assert bodies_of(provider, tool_frame) == []


def test_second_evaluation_keeps_already_decoded_tool_calls(provider_for, config, tool_frame):
    config = config.model_copy(update={"tool_calls_field": "calls", "tools": [get_weather]})
    provider = provider_for("tool_call_accuracy", configuration=config)
    first = bodies_of(provider, tool_frame)
    assert bodies_of(provider, tool_frame) == first


def test_pairing_stops_at_the_shorter_list(provider_for):
    provider = provider_for("answer_relevance")
    bodies = provider._Detectwire__get_json_payloads(["a", "b", "c"], ["x"], None, None, None)
    assert bodies == [
        '{"detectors": {"answer_relevance": {}}, "prompt": "a", "generated_text": "x"}'
    ]


def test_overridden_payload_builder_is_used(provider_for, frame):
    class Custom(Detectwire):
        def _Detectwire__get_json_payloads(self, *lists):
            return ["custom"] * len(lists[0])

    provider = provider_for("hap")
    provider.__class__ = Custom
    assert bodies_of(provider, frame) == ["custom", "custom"]
