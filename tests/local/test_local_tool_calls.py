"""Tool-call accuracy checks against the tools catalogue, over real HTTP."""

from __future__ import annotations

import json

import pytest

from zentrix_gov.local.detection import PATH_CHAT

TOOLS = [
    {
        "type": "function",
        "function": {
            "name": "get_weather",
            "description": "Current weather of a city.",
            "parameters": {
                "type": "object",
                "properties": {
                    "city": {"type": "string"},
                    "units": {"type": "string", "enum": ["celsius", "fahrenheit"]},
                },
                "required": ["city"],
            },
        },
    },
    {
        "type": "function",
        "function": {
            "name": "add",
            "description": "Sum of two integers.",
            "parameters": {
                "type": "object",
                "properties": {"a": {"type": "integer"}, "b": {"type": "integer"}},
                "required": ["a", "b"],
            },
        },
    },
]


def call(name, arguments, call_id="call-1"):
    return {"id": call_id, "type": "function", "function": {"name": name, "arguments": arguments}}


@pytest.fixture
def check(post):
    def run(*tool_calls, tools=TOOLS):
        body = {
            "detectors": {"tool_call_accuracy": {}},
            "messages": [
                {"content": "What is the weather in Oslo?", "role": "user"},
                {"tool_calls": list(tool_calls), "role": "assistant"},
            ],
            "tools": tools,
        }
        return post(body, path=PATH_CHAT).detections

    return run


class TestCorrectCalls:
    def test_correct_calls_have_no_detection(self, check):
        assert check(call("get_weather", {"city": "Oslo", "units": "celsius"})) == []
        assert check(call("add", {"a": 1, "b": 2}), call("get_weather", {"city": "Rome"})) == []

    def test_arguments_sent_as_json_text_are_decoded(self, check):
        assert check(call("add", json.dumps({"a": 1, "b": 2}))) == []

    def test_flat_tool_descriptions_are_accepted(self, check):
        flat = [tool["function"] for tool in TOOLS]
        assert check(call("add", {"a": 1, "b": 2}), tools=flat) == []


class TestFaultyCalls:
    def test_unknown_function(self, check):
        (found,) = check(call("get_time", {"city": "Oslo"}))
        assert found["score"] == 1.0 and "unknown function 'get_time'" in found["detection"]

    def test_missing_required_argument(self, check):
        (found,) = check(call("add", {"a": 1}))
        assert found["score"] == 1.0 and "missing required argument(s) 'b'" in found["detection"]

    @pytest.mark.parametrize("value", ["1", 1.5, True, None, [1]])
    def test_argument_of_wrong_type(self, check, value):
        (found,) = check(call("add", {"a": value, "b": 2}))
        assert found["score"] == 0.8 and "'a' should be integer" in found["detection"]

    def test_value_outside_enum(self, check):
        (found,) = check(call("get_weather", {"city": "Oslo", "units": "kelvin"}))
        assert found["score"] == 0.8 and "units" in found["detection"]

    def test_unknown_extra_argument_is_a_milder_fault(self, check):
        (found,) = check(call("get_weather", {"city": "Oslo", "country": "NO"}))
        assert found["score"] == 0.5 and "unexpected argument(s) 'country'" in found["detection"]

    def test_several_faults_of_one_call_are_reported_together(self, check):
        (found,) = check(call("add", {"a": "one", "c": 3}))
        assert found["score"] == 1.0
        for part in ("'b'", "'a' should be integer", "'c'"):
            assert part in found["detection"]

    def test_only_the_faulty_call_is_reported(self, check):
        found = check(call("add", {"a": 1, "b": 2}, "ok"), call("add", {"a": 1}, "bad"))
        assert [(d["tool_call_index"], d["tool_call_id"]) for d in found] == [(1, "bad")]

    def test_arguments_that_are_not_json(self, check):
        (found,) = check(call("add", "{a: 1"))
        assert found["score"] == 1.0 and "not valid JSON" in found["detection"]

    def test_call_without_function_name(self, check):
        (found,) = check({"id": "x", "type": "function", "function": {"arguments": {}}})
        assert found["score"] == 1.0 and "no function name" in found["detection"]

    def test_no_tool_called(self, check):
        (found,) = check()
        assert found == {
            "detection_type": "tool_call_accuracy",
            "detection": "no tool was called",
            "score": 1.0,
        }


class TestMalformedChat:
    @pytest.mark.parametrize(
        ("messages", "tools", "fragment"),
        [
            ([{"role": "user", "content": "hi"}], TOOLS, "assistant"),
            ("hello", TOOLS, "messages"),
            ([{"role": "assistant", "tool_calls": []}], None, "tools"),
            ([{"role": "assistant", "tool_calls": "add"}], TOOLS, "tool_calls"),
        ],
    )
    def test_rejected_with_reason(self, post, messages, tools, fragment):
        body = {"detectors": {"tool_call_accuracy": {}}, "messages": messages, "tools": tools}
        reply = post(body, path=PATH_CHAT)
        assert reply.status == 400 and fragment in reply.error["message"]
