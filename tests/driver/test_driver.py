import asyncio
import contextlib
import re
from types import SimpleNamespace

import pandas as pd
import pytest

from zentrix_gov.entities.evaluation_result import MetricsEvaluationResult

from .conftest import FakeGroup, FakeMetric, RecordingTelemetry

EMPTY = "The provided data is empty for metrics computation."


def run_sync(driver, config, data, metrics, **kwargs):
    return driver._evaluate_metrics(config, data, metrics, **kwargs)


def run_async(driver, config, data, metrics, **kwargs):
    return asyncio.run(driver._evaluate_metrics_async(config, data, metrics, **kwargs))


BOTH = pytest.mark.parametrize("run", [run_sync, run_async], ids=["sync", "async"])


@BOTH
class TestCommonSteps:
    def test_returns_results_in_a_metrics_evaluation_result(self, driver, config, rows, run):
        result = run(driver, config, rows, [FakeMetric("a"), FakeMetric("b")])
        assert isinstance(result, MetricsEvaluationResult)
        assert result.metrics_result == ["result:a", "result:b"]

    def test_single_dict_is_one_row(self, driver, config, rows, run):
        metric = FakeMetric("a")
        run(driver, config, rows[0], [metric])
        frame = metric.calls[0]["data"]
        assert len(frame) == 1 and frame["question"].to_list() == ["q1"]

    def test_list_of_dicts_keeps_row_order(self, driver, config, rows, run):
        metric = FakeMetric("a")
        run(driver, config, rows, [metric])
        assert metric.calls[0]["data"]["question"].to_list() == ["q1", "q2", "q3"]

    @pytest.mark.parametrize("data", [[], pd.DataFrame()])
    def test_empty_table_fails_before_any_metric(self, driver, config, run, data):
        metric = FakeMetric("a")
        with pytest.raises(ValueError, match=re.escape(EMPTY)):
            run(driver, config, data, [metric])
        assert metric.calls == [] and RecordingTelemetry.events == []

    def test_no_metrics_gives_empty_result_after_filling_ids(self, driver, config, rows, run):
        frame = pd.DataFrame(rows)
        result = run(driver, config, frame, [])
        assert result.metrics_result == []
        assert {"record_id", "record_timestamp"} <= set(frame.columns)

    def test_caller_frame_gains_id_and_timestamp_columns(self, driver, config, rows, run):
        frame = pd.DataFrame(rows)
        metric = FakeMetric("a")
        run(driver, config, frame, [metric])
        assert frame["record_id"].notnull().all()
        assert metric.calls[0]["data"]["record_id"].to_list() == frame["record_id"].to_list()

    def test_none_results_are_dropped(self, driver, config, rows, run):
        result = run(driver, config, rows, [FakeMetric("a", result=None), FakeMetric("b")])
        assert result.metrics_result == ["result:b"]

    def test_default_client_is_created_once_and_reused(self, driver, config, rows, run):
        first, second = FakeMetric("a"), FakeMetric("b")
        run(driver, config, rows, [first])
        run(driver, config, rows, [second])
        client = first.calls[0]["api_client"]
        assert client.kind == "default client"
        assert second.calls[0]["api_client"] is client is driver.api_client_cache

    def test_caller_client_is_used_as_given(self, driver, config, rows, run):
        mine = SimpleNamespace(kind="mine")
        metric = FakeMetric("a")
        run(driver, config, rows, [metric], api_client=mine)
        assert metric.calls[0]["api_client"] is mine
        assert driver.api_client_cache is None

    @pytest.mark.parametrize("server", ["ZNO", "ZNAI", "ZNGOV"])
    def test_hosted_environments_create_no_client(
        self, driver, config, rows, run, monkeypatch, server
    ):
        monkeypatch.setenv("ZENTRIX_SERVER", server)
        monkeypatch.setattr(driver, "APIClient", pytest.fail)
        metric = FakeMetric("a")
        run(driver, config, rows, [metric])
        assert metric.calls[0]["api_client"] is None

    def test_failing_client_leaves_cache_empty(self, driver, config, rows, run, monkeypatch):
        def broken():
            raise RuntimeError("no credentials")

        monkeypatch.setattr(driver, "APIClient", broken)
        with pytest.raises(RuntimeError, match="no credentials"):
            run(driver, config, rows, [FakeMetric("a")])
        assert driver.api_client_cache is None

    @pytest.mark.parametrize("argument", ["metrics", "metric_groups"])
    def test_non_list_arguments_fail_at_once(self, driver, config, rows, run, argument):
        kwargs = {"metrics": [], "metric_groups": [], argument: (FakeMetric("a"),)}
        with pytest.raises(TypeError, match=rf"{argument}.*list.*tuple"):
            run(driver, config, rows, **kwargs)

    def test_extra_keywords_are_forwarded(self, driver, config, rows, run):
        metric = FakeMetric("a")
        run(driver, config, rows, [metric], custom="x")
        assert metric.calls[0]["custom"] == "x"
        assert metric.calls[0]["configuration"] is config

    def test_one_telemetry_event_per_metric(self, driver, config, rows, run):
        group = FakeGroup(FakeMetric("g"))
        run(driver, config, rows, [FakeMetric("a", [FakeMetric("d")])], metric_groups=[group])
        assert sorted(e["custom.metric_name"] for e in RecordingTelemetry.events) == ["a", "d", "g"]
        assert {e["objectType"] for e in RecordingTelemetry.events} == {"Metric Evaluation"}

    def test_metric_errors_reach_the_caller(self, driver, config, rows, run):
        with pytest.raises(KeyError, match="broken"):
            run(driver, config, rows, [FakeMetric("a", error=KeyError("broken"))])


class TestSynchronousForm:
    def test_output_fields_are_cast_to_text_for_metrics_only(self, driver, config, rows):
        frame = pd.DataFrame(rows)
        metric = FakeMetric("a")
        driver._evaluate_metrics(config, frame, [metric])
        assert metric.calls[0]["data"]["answer"].to_list() == ["1", "2", "3"]
        assert frame["answer"].to_list() == [1, 2, 3]

    def test_dependent_metric_receives_live_results_including_none(self, driver, config, rows):
        seen = []

        class Dependent(FakeMetric):
            def evaluate(self, **kwargs):
                seen.append(list(kwargs["metrics_result"]))
                return super().evaluate(**kwargs)

        dep = FakeMetric("dep", result=None)
        plain = FakeMetric("plain")
        result = driver._evaluate_metrics(config, rows, [plain, Dependent("top", [dep])])
        assert seen == [[None, "result:plain"]]
        assert "metrics_result" not in plain.calls[0]
        assert result.metrics_result == ["result:plain", "result:top"]

    def test_metric_listed_before_its_dependency_sees_no_result_of_it(self, driver, config, rows):
        seen = []

        class Dependent(FakeMetric):
            def evaluate(self, **kwargs):
                seen.append(list(kwargs["metrics_result"]))
                return super().evaluate(**kwargs)

        dep = FakeMetric("dep")
        driver._evaluate_metrics(config, rows, [Dependent("top", [FakeMetric("dep")]), dep])
        assert seen == [[]]

    def test_timing_block_wraps_each_metric_and_sees_errors(
        self, driver, config, rows, monkeypatch
    ):
        blocks = []

        @contextlib.contextmanager
        def timing(label):
            blocks.append([label, None])
            try:
                yield
            except Exception as error:
                blocks[-1][1] = type(error).__name__
                raise

        monkeypatch.setattr(driver, "track_duration", timing)
        with pytest.raises(ValueError):
            driver._evaluate_metrics(
                config, rows, [FakeMetric("ok"), FakeMetric("bad", error=ValueError("x"))]
            )
        assert blocks == [
            ["Metric Evaluation - ok", None],
            ["Metric Evaluation - bad", "ValueError"],
        ]
        # no telemetry for the metric that failed
        assert [e["custom.metric_name"] for e in RecordingTelemetry.events] == ["ok"]

    def test_error_without_a_traceback_reaches_the_timing_block_unchanged(
        self, driver, config, rows, monkeypatch
    ):
        seen = []

        class Timing:
            def __enter__(self):
                return self

            def __exit__(self, *exc_info):
                seen.append(exc_info)

        monkeypatch.setattr(driver, "track_duration", lambda label: Timing())
        metric = FakeMetric("native")
        metric.evaluate = int  # raised from C code: the error has no traceback yet
        with pytest.raises(TypeError, match=r"int\(\) takes at most 2 keyword arguments"):
            driver._evaluate_metrics(config, rows, [metric])
        ((exc_type, exc, traceback),) = seen
        assert exc_type is TypeError and isinstance(exc, TypeError) and traceback is None

    def test_error_swallowed_by_timing_block_skips_the_result(
        self, driver, config, rows, monkeypatch
    ):
        @contextlib.contextmanager
        def forgiving(label):
            with contextlib.suppress(ValueError):
                yield

        monkeypatch.setattr(driver, "track_duration", forgiving)
        result = driver._evaluate_metrics(
            config, rows, [FakeMetric("bad", error=ValueError("x")), FakeMetric("ok")]
        )
        assert result.metrics_result == ["result:ok"]
        assert len(RecordingTelemetry.events) == 2

    def test_telemetry_goes_through_run_in_event_loop(self, driver, config, rows, monkeypatch):
        calls = []
        monkeypatch.setattr(driver, "run_in_event_loop", lambda fn, *args: calls.append(args))
        driver._evaluate_metrics(config, rows, [FakeMetric("a")])
        assert calls == [({"objectType": "Metric Evaluation", "custom.metric_name": "a"},)]


class TestAsynchronousForm:
    def test_is_a_coroutine(self, driver, config, rows):
        coro = driver._evaluate_metrics_async(config, rows, [])
        assert asyncio.iscoroutine(coro)
        assert asyncio.run(coro).metrics_result == []

    def test_every_metric_receives_the_shared_results_list(self, driver, config, rows):
        a, b = FakeMetric("a"), FakeMetric("b")
        asyncio.run(driver._evaluate_metrics_async(config, rows, [a, b]))
        assert a.calls[0]["metrics_result"] is b.calls[0]["metrics_result"]
        assert "answer" in a.calls[0]["data"] and a.calls[0]["data"]["answer"].to_list() == [
            1,
            2,
            3,
        ]

    def test_shared_dependency_is_awaited_once_and_comes_first(self, driver, config, rows):
        dep = FakeMetric("dep", delay=0.01)
        first = FakeMetric("first", [FakeMetric("dep")])
        second = FakeMetric("second", [FakeMetric("dep")])
        other = FakeMetric("other")
        result = asyncio.run(
            driver._evaluate_metrics_async(config, rows, [first, other, second, dep])
        )
        assert len(dep.calls) == 1
        assert result.metrics_result == [
            "result:dep",
            "result:other",
            "result:first",
            "result:second",
        ]
        assert first.seen_results[:1] == ["result:dep"]

    def test_max_concurrency_is_honoured_and_forwarded(self, driver, config, rows):
        running, peak = 0, 0

        class Counting(FakeMetric):
            async def evaluate_async(self, **kwargs):
                nonlocal running, peak
                running += 1
                peak = max(peak, running)
                await asyncio.sleep(0.01)
                running -= 1
                self.calls.append(kwargs)
                return self.name

        metrics = [Counting(f"m{i}") for i in range(12)]
        result = asyncio.run(
            driver._evaluate_metrics_async(config, rows, metrics, max_concurrency=3)
        )
        assert peak == 3
        assert result.metrics_result == [f"m{i}" for i in range(12)]
        assert all(m.calls[0]["max_concurrency"] == 3 for m in metrics)

    def test_default_concurrency_limit_is_ten(self, driver, config, rows, monkeypatch):
        seen = {}

        async def gather(coros, max_concurrency):
            seen["limit"] = max_concurrency
            return [await c for c in coros]

        monkeypatch.setattr(driver, "gather_with_concurrency", gather)
        asyncio.run(driver._evaluate_metrics_async(config, rows, [FakeMetric("a")]))
        assert seen["limit"] == 10

    def test_failure_before_gather_leaves_no_unawaited_coroutines(
        self, driver, config, rows, monkeypatch
    ):
        class BrokenTelemetry:
            async def track_event(self, payload):
                if payload["custom.metric_name"] == "b":
                    raise ConnectionError("telemetry down")

        monkeypatch.setattr(driver, "SegmentBatchManager", BrokenTelemetry)
        with pytest.raises(ConnectionError):
            asyncio.run(
                driver._evaluate_metrics_async(config, rows, [FakeMetric("a"), FakeMetric("b")])
            )
