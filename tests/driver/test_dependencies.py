import pytest

from zentrix_gov.evaluators.impl import metricrun

from .conftest import FakeGroup, FakeMetric


def names(metrics):
    return [m.name for m in metrics]


def resolve(metrics=None, metric_groups=None):
    return metricrun._resolve_metric_dependencies(
        metrics=[] if metrics is None else metrics,
        metric_groups=[] if metric_groups is None else metric_groups,
    )


def test_dependencies_are_prepended_in_reverse_order_of_discovery():
    a = FakeMetric("A", [FakeMetric("X"), FakeMetric("Y")])
    b = FakeMetric("B", [FakeMetric("Z")])
    assert names(resolve([a, b])) == ["Z", "Y", "X", "A", "B"]


def test_shared_dependency_is_inserted_once():
    shared = FakeMetric("X")
    assert names(resolve([FakeMetric("A", [shared]), FakeMetric("B", [shared])])) == ["X", "A", "B"]


def test_dependency_requested_directly_keeps_its_place():
    x = FakeMetric("X")
    queue = resolve([FakeMetric("A", [FakeMetric("X")]), x])
    assert names(queue) == ["A", "X"]
    assert queue[1] is x


def test_only_one_level_of_dependencies_is_expanded():
    deep = FakeMetric("Y", [FakeMetric("deeper")])
    assert names(resolve([FakeMetric("A", [deep])])) == ["Y", "A"]


def test_groups_append_new_metrics_only_and_not_their_dependencies():
    group = FakeGroup(FakeMetric("A"), FakeMetric("G", [FakeMetric("hidden")]), FakeMetric("H"))
    assert names(resolve([FakeMetric("A")], [group])) == ["A", "G", "H"]


def test_group_alone_gives_its_metrics_in_order():
    group = FakeGroup(FakeMetric("one"), FakeMetric("two"), FakeMetric("three"))
    assert names(resolve([], [group])) == ["one", "two", "three"]


def test_empty_inputs_and_defaults_give_an_empty_list():
    assert resolve() == []
    assert metricrun._resolve_metric_dependencies() == []


def test_caller_list_is_not_modified():
    metrics = [FakeMetric("A", [FakeMetric("X")])]
    queue = resolve(metrics)
    assert names(metrics) == ["A"]
    assert queue is not metrics


@pytest.mark.parametrize("argument", ["metrics", "metric_groups"])
@pytest.mark.parametrize("value", [(), None, "abc"])
def test_non_list_arguments_are_refused_by_name(argument, value):
    kwargs = {"metrics": [], "metric_groups": [], argument: value}
    with pytest.raises(TypeError, match=rf"{argument}.*list.*{type(value).__name__}"):
        metricrun._resolve_metric_dependencies(**kwargs)


def test_list_subclass_is_refused():
    class MyList(list):
        pass

    with pytest.raises(TypeError, match="MyList"):
        metricrun._resolve_metric_dependencies(metrics=MyList())


def test_errors_of_metrics_and_groups_reach_the_caller():
    broken = FakeMetric("A")
    broken.metric_dependencies = 5
    with pytest.raises(TypeError):
        resolve([broken])

    class BrokenGroup:
        def get_metrics(self):
            raise RuntimeError("group failed")

    with pytest.raises(RuntimeError, match="group failed"):
        resolve([], [BrokenGroup()])
