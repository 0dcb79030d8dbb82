import asyncio
import json
import math

import numpy as np
import pandas as pd
import pytest

from evs_sdk.authenticators import BearerTokenAuthenticator
from zentrix_gov.utils import environment
from zentrix_gov.utils.python_utils import (
    clear_durations,
    get_authenticator_token,
    recent_durations,
    track_duration,
    transform_str_to_list,
)
from zentrix_gov.utils.segment_batch_manager import SegmentBatchManager


class TestTransformStrToList:
    @pytest.mark.parametrize(
        ("cell", "expected"),
        [
            (["a", "b"], ["a", "b"]),
            (("a", 2), ["a", "2"]),
            (np.array(["x", "y"]), ["x", "y"]),
            (pd.Series([1.5, 2]), ["1.5", "2.0"]),
            (pd.array(["p", "q"]), ["p", "q"]),
            ('["first doc", "second doc"]', ["first doc", "second doc"]),
            ("['single', 'quoted']", ["single", "quoted"]),
            ("  [1, 2]  ", ["1", "2"]),
            ("just one context", ["just one context"]),
            ("[not a list", ["[not a list"]),
            ("", []),
            (None, []),
            (math.nan, []),
            (pd.NA, []),
        ],
    )
    def test_accepted_forms(self, cell, expected):
        assert transform_str_to_list(cell) == expected

    def test_text_is_never_executed(self, tmp_path):
        marker = tmp_path / "ran"
        cell = f"[open({str(marker)!r}, 'w')]"
        assert transform_str_to_list(cell) == [cell]
        assert not marker.exists()

    def test_non_list_literal_stays_text(self):
        assert transform_str_to_list('("only one")') == ['("only one")']


class TestAuthenticatorToken:
    def test_bearer_authenticator(self):
        assert get_authenticator_token(BearerTokenAuthenticator("tok-1")) == "tok-1"

    def test_token_manager(self):
        class Manager:
            def get_token(self):
                return "tok-2"

        class Authenticator:
            token_manager = Manager()

        assert get_authenticator_token(Authenticator()) == "tok-2"

    def test_unusable_authenticator(self):
        with pytest.raises(TypeError, match="bearer token"):
            get_authenticator_token(object())

    def test_empty_token(self):
        class Empty:
            def get_token(self):
                return ""

        with pytest.raises(ValueError, match="no bearer token"):
            get_authenticator_token(Empty())


class TestTrackDuration:
    def test_records_label_and_duration(self):
        clear_durations()
        with track_duration("Metric Evaluation - hap") as timer:
            sum(range(1000))
        label, seconds = recent_durations()[-1]
        assert label == "Metric Evaluation - hap"
        assert seconds == timer.seconds and seconds >= 0

    def test_does_not_swallow_exceptions(self):
        clear_durations()
        with pytest.raises(KeyError), track_duration("failing"):
            raise KeyError("x")
        assert [label for label, _ in recent_durations()] == ["failing"]


class TestEnvironment:
    def test_concurrency_limit(self, monkeypatch):
        monkeypatch.delenv("ZENTRIX_CONCURRENCY_LIMIT", raising=False)
        assert environment.get_zentrix_concurrency_limit() == 10
        monkeypatch.setenv("ZENTRIX_CONCURRENCY_LIMIT", "4")
        assert environment.get_zentrix_concurrency_limit() == 4

    @pytest.mark.parametrize("raw", ["0", "-3", "many", "2.5"])
    def test_bad_concurrency_limit(self, monkeypatch, raw):
        monkeypatch.setenv("ZENTRIX_CONCURRENCY_LIMIT", raw)
        with pytest.raises(ValueError, match="ZENTRIX_CONCURRENCY_LIMIT"):
            environment.get_zentrix_concurrency_limit()

    def test_inference_cache_and_server(self, monkeypatch):
        monkeypatch.delenv("UNITXT_ENABLE_INFERENCE_CACHE", raising=False)
        monkeypatch.delenv("ZENTRIX_SERVER", raising=False)
        assert environment.get_unitxt_enable_inference_cache() is False
        assert environment.get_zentrix_server() is None
        monkeypatch.setenv("UNITXT_ENABLE_INFERENCE_CACHE", "True")
        monkeypatch.setenv("ZENTRIX_SERVER", "ZNAI")
        assert environment.get_unitxt_enable_inference_cache() is True
        # The earlier spelling stays for callers of the public API.
        assert environment.get_untixt_enable_inference_cache() is True
        assert environment.get_zentrix_server() == "ZNAI"


class TestSegmentBatchManager:
    def test_without_sink_keeps_events_in_memory_bounded(self, monkeypatch):
        monkeypatch.delenv("ZENTRIX_TELEMETRY_FILE", raising=False)
        monkeypatch.setattr(SegmentBatchManager, "MAX_EVENTS", 5)
        manager = SegmentBatchManager()
        for index in range(8):
            asyncio.run(manager.track_event({"custom.metric_name": f"m{index}"}))
        pending = manager.pending_events
        assert [event["custom.metric_name"] for event in pending] == ["m3", "m4", "m5", "m6", "m7"]
        assert all("timestamp" in event for event in pending)
        assert manager.dropped_events == 3
        assert manager.flush() == 0

    def test_sink_receives_json_lines(self, monkeypatch, tmp_path):
        sink = tmp_path / "telemetry" / "events.jsonl"
        monkeypatch.setenv("ZENTRIX_TELEMETRY_FILE", str(sink))
        monkeypatch.setattr(SegmentBatchManager, "BATCH_SIZE", 3)
        manager = SegmentBatchManager()
        for index in range(4):
            asyncio.run(manager.track_event({"objectType": "Metric", "n": index}))
        # The first full batch was written; the fourth event waits for flush().
        assert [json.loads(line)["n"] for line in sink.read_text().splitlines()] == [0, 1, 2]
        assert manager.flush() == 1
        assert [json.loads(line)["n"] for line in sink.read_text().splitlines()] == [0, 1, 2, 3]
        assert manager.pending_events == []

    def test_rejects_non_dict_payload(self):
        with pytest.raises(TypeError):
            asyncio.run(SegmentBatchManager().track_event(["not", "a", "dict"]))
