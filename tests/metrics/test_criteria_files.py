"""Criteria files: YAML or JSON, one definition or a list, and errors naming file and field."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.metrics import CriteriaFileError, CriteriaMetric, load_criteria

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "criteria"

GROUNDING = {
    "name": "grounding",
    "criteria": "Is {answer} supported by {contexts}?",
    "context_fields": ["contexts"],
    "options": [
        {"name": "Yes", "description": "All supported.", "value": 1},
        {"name": "No", "description": "Something is not.", "value": 0},
    ],
    "thresholds": [{"type": "lower_limit", "value": 0.8}],
    "group": "retrieval_quality",
    "compute_token_count": True,
}
GROUNDING_YAML = """\
name: grounding
criteria: Is {answer} supported by {contexts}?
context_fields: [contexts]
options:
  - {name: Yes, description: All supported., value: 1}
  - {name: No, description: Something is not., value: 0}
thresholds:
  - {type: lower_limit, value: 0.8}
group: retrieval_quality
compute_token_count: true
"""
POLITE_YAML = """\
name: polite
prompt_template: |
  Question: {question}
  Answer: {answer}
  Is the answer polite?
options:
  - {name: "On", value: 1}
  - {name: "Off", value: 0}
"""


def write(tmp_path: Path, name: str, text: str) -> Path:
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


def check_grounding(metric: CriteriaMetric) -> None:
    assert metric.name == "grounding" and metric.uses_criteria
    assert metric.criteria_description == "Is {answer} supported by {contexts}?"
    assert metric.context_fields == ["contexts"]
    assert metric.options == [
        Option(name="Yes", description="All supported.", value=1),
        Option(name="No", description="Something is not.", value=0),
    ]
    assert metric.thresholds == [MetricThreshold(type="lower_limit", value=0.8)]
    assert metric.group is MetricGroup.RETRIEVAL_QUALITY
    assert metric.compute_token_count is True


class TestReading:
    def test_one_definition_in_yaml_and_json(self, tmp_path):
        (from_yaml,) = load_criteria(write(tmp_path, "g.yaml", GROUNDING_YAML))
        (from_json,) = load_criteria(write(tmp_path, "g.json", json.dumps(GROUNDING)))
        check_grounding(from_yaml)
        assert from_json == from_yaml

    def test_several_definitions_are_a_list(self, tmp_path):
        yaml_list = "- " + GROUNDING_YAML.replace("\n", "\n  ").rstrip() + "\n"
        yaml_list += "- " + POLITE_YAML.replace("\n", "\n  ").rstrip() + "\n"
        grounding, polite = load_criteria(write(tmp_path, "all.yml", yaml_list))
        check_grounding(grounding)
        assert polite.name == "polite" and not polite.uses_criteria
        assert polite.prompt_template.startswith("Question: {question}\nAnswer: {answer}\n")
        options = [{"name": "Yes", "value": 1}, {"name": "No", "value": 0}]
        polite_json = {"name": "polite", "prompt_template": "{answer} polite?", "options": options}
        both = write(tmp_path, "all.JSON", json.dumps([GROUNDING, polite_json]))
        assert [metric.name for metric in load_criteria(both)] == ["grounding", "polite"]

    def test_yaml_yes_no_on_off_stay_names(self, tmp_path):
        (grounding,) = load_criteria(write(tmp_path, "g.yaml", GROUNDING_YAML))
        assert [option.name for option in grounding.options] == ["Yes", "No"]
        (polite,) = load_criteria(write(tmp_path, "p.yaml", POLITE_YAML.replace('"', "")))
        assert [option.name for option in polite.options] == ["On", "Off"]
        assert grounding.compute_token_count is True  # true and false are still booleans

    def test_the_examples(self):
        found = {path.name: load_criteria(path) for path in sorted(EXAMPLES.iterdir())}
        assert set(found) == {"answer_grounding.yaml", "politeness.yaml", "support_checks.json"}
        metrics = [metric for metrics in found.values() for metric in metrics]
        assert all(metric.compute_token_count for metric in metrics)
        (grounding,) = found["answer_grounding.yaml"]
        assert grounding.uses_criteria and grounding.context_fields == ["contexts"]
        assert [(o.name, o.value) for o in grounding.options] == [("Yes", 1), ("No", 0)]
        (politeness,) = found["politeness.yaml"]
        assert not politeness.uses_criteria
        assert [option.name for option in politeness.options] == ["Polite", "Neutral", "Rude"]
        assert len(found["support_checks.json"]) == 2


def option_list(*names: str) -> str:
    return json.dumps([{"name": name, "value": i} for i, name in enumerate(names)])


# file name, content, fragments of the message after "criteria file <path>"
CASES = {
    "unknown format": ("g.txt", "name: g", ["name it .yaml, .yml or .json"]),
    "empty": ("g.yaml", "", ["holds no criterion"]),
    "empty list": ("g.json", "[]", ["holds no criterion"]),
    "scalar": ("g.yaml", "just text", ["not a text"]),
    "list of texts": ("g.yaml", "- a\n- b\n", ["criterion 1 is a text, not a mapping"]),
    "criteria holding a list": (
        "g.yaml",
        "criteria:\n  - name: a\n",
        ["'criteria' is the text the judge reads", "make the file a list"],
    ),
    "bad yaml": ("g.yaml", "name: g\noptions: [a,\n", ["not valid YAML", "(line 3, column 1)"]),
    "bad json": ("g.json", '{"name": "g",\n}', ["not valid JSON", "line 2, column 1"]),
    "repeated yaml key": ("g.yaml", "name: g\nname: h\n", ["repeats the key 'name'", "line 2"]),
    "repeated json key": ("g.json", '{"name": "g", "name": "h"}', ["repeats the key 'name'"]),
    "unknown field": (
        "g.yaml",
        f"name: g\ncriteria: x\noptions: {option_list('a', 'b')}\nscore: 1\n",
        ["criterion 'g': unknown field 'score'", "the fields are name, display_name"],
    ),
    "judge in the file": (
        "g.yaml",
        "name: g\ncriteria: x\nllm_judge: {model: gpt}\n",
        ["llm_judge cannot be set in a criteria file"],
    ),
    "missing options": ("g.json", '{"name": "g", "criteria": "x"}', ["missing field 'options'"]),
    "bad option in the second": (
        "g.json",
        json.dumps(
            [
                {**GROUNDING, "name": "a"},
                {
                    **GROUNDING,
                    "name": "b",
                    "options": [{"name": "Yes", "value": 1}, {"name": "No", "value": "high"}],
                },
            ]
        ),
        ["criterion 2 ('b'): field 'options': options[1] needs a number as value, not 'high'"],
    ),
    "bad threshold": (
        "g.yaml",
        GROUNDING_YAML.replace("lower_limit", "lowest"),
        ["criterion 'grounding': field 'thresholds[0].type'", "'lower_limit' or 'upper_limit'"],
    ),
    "repeated names": (
        "g.json",
        json.dumps([GROUNDING, GROUNDING]),
        ["criteria 1 and 2 are both named 'grounding'"],
    ),
    "no name": ("g.json", json.dumps({**GROUNDING, "name": ""}), ["criterion needs a name"]),
}


@pytest.mark.parametrize(("name", "text", "fragments"), CASES.values(), ids=CASES)
def test_errors_name_the_file_and_the_field(tmp_path, name, text, fragments):
    path = write(tmp_path, name, text)
    with pytest.raises(CriteriaFileError) as caught:
        load_criteria(path)
    message = str(caught.value)
    assert message.startswith(f"criteria file {path}")
    assert caught.value.path == str(path)
    for fragment in fragments:
        assert fragment in message


def test_unreadable_files(tmp_path):
    with pytest.raises(CriteriaFileError, match=r"nope\.yaml: does not exist"):
        load_criteria(tmp_path / "nope.yaml")
    (tmp_path / "dir.json").mkdir()
    with pytest.raises(CriteriaFileError, match="is a directory"):
        load_criteria(tmp_path / "dir.json")
    (tmp_path / "latin.yaml").write_bytes(b"name: caf\xe9\n")
    with pytest.raises(CriteriaFileError, match="is not UTF-8 text"):
        load_criteria(tmp_path / "latin.yaml")
