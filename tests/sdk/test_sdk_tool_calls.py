import json
import math
from types import SimpleNamespace
from typing import Literal, Optional

import pytest

from zentrix_gov.providers.tool_call_metric_provider import ToolCallMetricProvider, ToolSchema


def get_weather(city: str, days: int = 1, unit: Optional[str] = None) -> str:  # noqa: UP045
    """Look up the weather forecast.

    Args:
        city: Name of the city.
        days: How many days ahead.
    """
    return city


def book_flight(passengers: list[str], direct: bool, budget: float | None, notes, extra: dict):
    return passengers


def set_mode(mode: Literal["fast", "slow"], *args, **kwargs):
    """Switch the mode."""


class TestToolSchema:
    def test_openai_tools_format(self):
        (schema,) = ToolCallMetricProvider.get_tools_list_schema([get_weather])
        assert isinstance(schema, ToolSchema)
        assert schema.model_dump() == {
            "type": "function",
            "function": {
                "name": "get_weather",
                "description": "Look up the weather forecast.",
                "parameters": {
                    "type": "object",
                    "properties": {
                        "city": {"type": "string", "description": "Name of the city."},
                        "days": {"type": "integer", "description": "How many days ahead."},
                        "unit": {"type": "string"},
                    },
                    "required": ["city"],
                },
            },
        }

    def test_types_and_required(self):
        schemas = ToolCallMetricProvider.get_tools_list_schema([book_flight, set_mode])
        flight, mode = (schema.model_dump()["function"] for schema in schemas)
        assert [flight["name"], mode["name"]] == ["book_flight", "set_mode"]
        assert flight["description"] == ""
        assert flight["parameters"]["properties"] == {
            "passengers": {"type": "array", "items": {"type": "string"}},
            "direct": {"type": "boolean"},
            "budget": {"type": "number"},
            "notes": {"type": "string"},
            "extra": {"type": "object"},
        }
        assert flight["parameters"]["required"] == [
            "passengers",
            "direct",
            "budget",
            "notes",
            "extra",
        ]
        # *args and **kwargs are not tool parameters.
        assert mode["parameters"]["properties"] == {
            "mode": {"type": "string", "enum": ["fast", "slow"]}
        }

    def test_schema_is_json_serialisable(self):
        schemas = ToolCallMetricProvider.get_tools_list_schema([get_weather, book_flight])
        assert json.loads(json.dumps([s.model_dump() for s in schemas]))[1]["type"] == "function"

    def test_rejects_non_callables(self):
        with pytest.raises(TypeError):
            ToolCallMetricProvider.get_tools_list_schema([{"type": "function"}])


CALL = {"id": "c1", "type": "function", "function": {"name": "get_weather", "arguments": "{}"}}


class TestExtractToolCalls:
    @pytest.mark.parametrize(
        "cell",
        [
            [CALL],
            {"tool_calls": [CALL]},
            {"choices": [{"message": {"role": "assistant", "tool_calls": [CALL]}}]},
            SimpleNamespace(tool_calls=[CALL]),
            json.dumps([CALL]),
        ],
        ids=["list", "dict", "chat-completion", "attribute", "json-text"],
    )
    def test_accepted_forms(self, cell):
        assert ToolCallMetricProvider.extract_tool_calls_from_response(cell) == [CALL]

    @pytest.mark.parametrize("cell", [None, math.nan, [], "", {"tool_calls": None}])
    def test_empty_cells(self, cell):
        assert ToolCallMetricProvider.extract_tool_calls_from_response(cell) == []

    def test_flat_form_is_wrapped(self):
        calls = ToolCallMetricProvider.extract_tool_calls_from_response(
            [{"name": "get_weather", "arguments": {"city": "Oslo"}}]
        )
        assert calls == [
            {"type": "function", "function": {"name": "get_weather", "arguments": {"city": "Oslo"}}}
        ]

    def test_sdk_objects(self):
        function = SimpleNamespace(name="lookup", arguments='{"q": 1}')
        response = SimpleNamespace(
            choices=[SimpleNamespace(message=SimpleNamespace(tool_calls=None))]
        )
        response.choices[0].message.tool_calls = [
            SimpleNamespace(id="x", type="function", function=function)
        ]
        assert ToolCallMetricProvider.extract_tool_calls_from_response(response) == [
            {"id": "x", "type": "function", "function": {"name": "lookup", "arguments": '{"q": 1}'}}
        ]

    @pytest.mark.parametrize("cell", [42, {"unexpected": True}, "not json", [{"arguments": "{}"}]])
    def test_rejects_other_values(self, cell):
        with pytest.raises(ValueError) as caught:
            ToolCallMetricProvider.extract_tool_calls_from_response(cell)
        assert repr(cell)[:20] in str(caught.value)
