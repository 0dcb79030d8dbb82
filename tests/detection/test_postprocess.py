import asyncio

import pytest

from zentrix_gov.entities.base_classes import Error
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.errors import MetricComputationError
from zentrix_gov.entities.metric_threshold import MetricThreshold


def detection(score, **extra):
    return {"score": score, **extra}


def span(score, text="bad", start=0, end=3):
    return detection(score, text=text, start=start, end=end)


def post(provider, responses, ids=None):
    ids = ids if ids is not None else [f"r{i}" for i in range(len(responses))]
    return provider._Detectwire__post_process(responses, ids)


def test_hap_value_is_the_strongest_score_rounded_with_evidences(provider_for):
    result = post(
        provider_for("hap"), [{"detections": [span(0.12), span(0.8731649, "worse", 4, 9)]}]
    )
    (record,) = result.record_level_metrics
    assert record.value == 0.8732
    assert record.evidences == [
        {"text": "bad", "score": 0.12, "start": 0, "end": 3},
        {"text": "worse", "score": 0.8731649, "start": 4, "end": 9},
    ]
    assert record.provider == "detectors" and record.record_id == "r0"


def test_no_detections_score_zero_without_evidences(provider_for):
    (record,) = post(provider_for("hap"), [{"detections": []}]).record_level_metrics
    assert record.value == 0 and isinstance(record.value, int)
    assert not record.evidences


def test_accuracy_metrics_are_inverted(provider_for):
    result = post(
        provider_for("topic_relevance"), [{"detections": [detection(0.25)]}, {"detections": []}]
    )
    assert [r.value for r in result.record_level_metrics] == [0.75, 1]


def test_keyword_and_regex_record_names(provider_for):
    for metric in ("keyword", "regex"):
        result = post(provider_for(metric), [{"detections": [span(1.0)]}])
        assert result.name == metric
        assert result.record_level_metrics[0].name == f"{metric}_detection"


@pytest.mark.parametrize(
    ("method", "expected"), [("faithfulness_model", [{"k": 1}]), ("other", None)]
)
def test_retrieval_evidences_only_for_small_models(provider_for, method, expected):
    response = {"detections": [detection(0.9, evidence=[{"k": 1}, {"k": 2}])]}
    (record,) = post(provider_for("faithfulness", method=method), [response]).record_level_metrics
    assert record.value == 0.9
    assert (record.evidences or None) == expected


def test_aggregate_skips_failed_records(provider_for):
    responses = [
        {"detections": [detection(0.2)]},
        {"detections": [detection(0.4)]},
        {"error": Error(code="503", message_en="busy")},
    ]
    result = post(provider_for("answer_relevance"), responses)
    assert (result.value, result.mean, result.min, result.max) == (0.3, 0.3, 0.2, 0.4)
    assert result.total_records == 3 and not result.errors
    failed = result.record_level_metrics[2]
    assert failed.value is None and failed.errors == [Error(code="503", message_en="busy")]


@pytest.mark.parametrize(
    ("scores", "mean"),
    [([1, 0, 0], 0.3333), ([0.12345, 0.12345, 0.12346], 0.1235), ([0.2, 0.6, 0.7], 0.5)],
)
def test_aggregate_mean_is_rounded_to_four_places(provider_for, scores, mean):
    responses = [{"detections": [detection(score)]} for score in scores]
    result = post(provider_for("answer_relevance"), responses)
    assert result.value == result.mean == mean
    assert repr(result.mean) == repr(mean)


def test_all_failed_gives_error_aggregate(provider_for):
    responses = [
        {"error": Error(code="503", message_en="busy")},
        {"error": Error(code="REQUEST_FAILED", message_en="refused")},
    ]
    result = post(provider_for("pii"), responses)
    assert result.value == "Error"
    assert (result.mean, result.min, result.max) == (None, None, None)
    assert [e.code for e in result.errors] == ["503", "REQUEST_FAILED"]


def test_no_records_gives_error_aggregate_with_empty_errors(provider_for):
    result = post(provider_for("tool_call_accuracy"), [])
    assert (result.value, result.total_records, result.errors) == ("Error", 0, [])


def test_thresholds_and_labels_are_copied(provider_for):
    thresholds = [MetricThreshold(type="upper_limit", value=0.5)]
    group = MetricGroup.CONTENT_SAFETY
    provider = provider_for("hap", method="m", metric_group=group, thresholds=thresholds)
    result = post(provider, [{"detections": []}])
    record = result.record_level_metrics[0]
    expected = ("Hap", "m", group, thresholds)
    assert (result.display_name, result.method, result.group, result.thresholds) == expected
    assert (record.display_name, record.method, record.group, record.thresholds) == expected


def test_results_and_ids_must_be_lists(provider_for):
    with pytest.raises(TypeError, match="results"):
        post(provider_for("hap"), ({"detections": []},), ["r"])
    with pytest.raises(TypeError, match="record_ids"):
        post(provider_for("hap"), [{"detections": []}], ("r",))


@pytest.mark.parametrize(
    "response", [RuntimeError("escaped"), {"detections": [{"no": "score"}]}, {"other": 1}]
)
def test_malformed_responses_fail_the_evaluation_with_the_metric_name(provider_for, response):
    import pandas as pd

    provider = provider_for("hap")

    async def replies(self, bodies):
        return [response]

    provider._Detectwire__compute_metric = replies.__get__(provider)
    frame = pd.DataFrame({"question": ["q"], "record_id": ["r"]})
    with pytest.raises(Exception, match=r"^Error while computing metrics: hap\. Reason: ") as info:
        asyncio.run(provider.evaluate_async(frame))
    failure = info.value
    assert isinstance(failure, MetricComputationError)
    assert failure.metric_name == "hap"
    assert failure.cause is failure.__cause__ is failure.__context__
    assert str(failure) == f"Error while computing metrics: hap. Reason: {failure.cause}"


def test_missing_column_fails_the_evaluation(provider_for):
    import pandas as pd

    frame = pd.DataFrame({"other": ["q"], "record_id": ["r"]})
    with pytest.raises(Exception, match=r"Error while computing metrics: hap\. Reason: 'question'"):
        provider_for("hap").evaluate(frame)
