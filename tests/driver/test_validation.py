import re
import uuid
from datetime import datetime

import pandas as pd
import pytest

from zentrix_gov.evaluators.impl import metricrun

validate = getattr(metricrun, "__validate_data")
populate = getattr(metricrun, "__populate_record_id_timestamp")
EMPTY = "The provided data is empty for metrics computation."


@pytest.mark.parametrize(
    "frame", [pd.DataFrame(), pd.DataFrame(index=[0, 1]), pd.DataFrame(columns=["a", "b"])]
)
def test_empty_tables_are_refused(config, frame):
    with pytest.raises(ValueError, match=re.escape(EMPTY)):
        validate(configuration=config, data=frame)


def test_non_empty_table_passes(config):
    assert validate(config, pd.DataFrame({"a": [1]})) is None


def test_missing_columns_get_distinct_uuid4_ids_and_one_timestamp(config):
    frame = pd.DataFrame({"question": ["a", "b", "c"]})
    before = datetime.now()
    assert populate(configuration=config, data=frame) is None
    ids = frame["record_id"].to_list()
    assert len(set(ids)) == 3
    assert all(uuid.UUID(i).version == 4 and str(uuid.UUID(i)) == i for i in ids)
    stamps = frame["record_timestamp"].to_list()
    assert len(set(stamps)) == 1
    assert before <= datetime.fromisoformat(stamps[0]) <= datetime.now()


def test_all_null_id_column_is_replaced_but_partial_one_is_kept(config):
    all_null = pd.DataFrame({"record_id": [None, None], "record_timestamp": ["t", "t"]})
    populate(config, all_null)
    assert all_null["record_id"].notnull().all()
    assert all_null["record_timestamp"].to_list() == ["t", "t"]

    partial = pd.DataFrame({"record_id": ["keep", None, None]})
    populate(config, partial)
    assert partial["record_id"].to_list()[0] == "keep"
    assert partial["record_id"].isnull().sum() == 2
    assert partial["record_timestamp"].notnull().all()


def test_complete_table_is_unchanged(config):
    frame = pd.DataFrame({"record_id": ["1", "2"], "record_timestamp": ["t1", "t2"]})
    expected = frame.copy()
    populate(config, frame)
    pd.testing.assert_frame_equal(frame, expected)


def test_configured_column_names_are_used(config):
    config = config.model_copy(update={"record_id_field": "rid", "record_timestamp_field": "ts"})
    frame = pd.DataFrame({"x": [1]})
    populate(config, frame)
    assert list(frame.columns) == ["x", "rid", "ts"]
