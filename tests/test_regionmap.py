import pydantic
import pytest

from zentrix_gov.entities.enums import Region
from zentrix_gov.utils import regionmap

ENVIRONMENTS = ["cloudtest", "cloudsandbox", "saassandbox", "saastest", "fedstaging"]
FIELDS = ["iam_url", "zng_url", "mlp_url", "qel_url", "region"]


def test_record_class_is_a_pydantic_model_with_five_required_text_fields():
    assert issubclass(regionmap.ZnUrls, pydantic.BaseModel)
    assert list(regionmap.ZnUrls.model_fields) == FIELDS
    assert all(f.is_required() for f in regionmap.ZnUrls.model_fields.values())
    with pytest.raises(pydantic.ValidationError):
        regionmap.ZnUrls(iam_url="a", zng_url="b", mlp_url="c", qel_url="d")


def test_region_table_has_thirteen_rows_in_order():
    keys = list(regionmap.ZENTRIX_REGION_URLS)
    regions = [r.value for r in Region]
    assert len(keys) == 13
    assert keys[:6] == [
        Region.US_SOUTH.value,
        Region.AU_SYD.value,
        Region.CA_TOR.value,
        Region.EU_DE.value,
        Region.JP_TOK.value,
        Region.EU_GB.value,
    ]
    assert keys[6:10] == ENVIRONMENTS[:4]
    assert keys[10:] == [Region.AP_SOUTH.value, "fedstaging", Region.US_GOV_EAST1.value]
    assert set(regions) <= set(keys)


def test_each_record_knows_its_key():
    for key, record in regionmap.ZENTRIX_REGION_URLS.items():
        assert record.region == key


def test_governance_table_shares_the_very_records():
    by_url = regionmap.EVS_REGIONMAP
    assert len(by_url) == 13
    assert list(by_url.values()) == list(regionmap.ZENTRIX_REGION_URLS.values())
    for record in regionmap.ZENTRIX_REGION_URLS.values():
        assert by_url[record.zng_url] is record


def test_only_the_identity_services_are_shared():
    records = list(regionmap.ZENTRIX_REGION_URLS.values())
    cloud_iam = {records[i].iam_url for i in [0, 1, 2, 3, 4, 5, 6, 9]}
    test_iam = {records[i].iam_url for i in [7, 8]}
    assert len(cloud_iam) == 1 and len(test_iam) == 1 and cloud_iam != test_iam
    others = [getattr(r, f) for r in records for f in ("zng_url", "mlp_url", "qel_url")]
    others += [records[i].iam_url for i in (10, 11, 12)]
    assert len(others) == len(set(others))


def test_urls_are_base_urls_on_reserved_hosts():
    for record in regionmap.ZENTRIX_REGION_URLS.values():
        for field in FIELDS[:4]:
            url = getattr(record, field)
            assert url.startswith("https://") and url.endswith(".example")
            assert "/" not in url.removeprefix("https://")


def test_lookup_by_governance_url():
    us_south = regionmap.ZENTRIX_REGION_URLS[Region.US_SOUTH.value]
    sydney = regionmap.ZENTRIX_REGION_URLS[Region.AU_SYD.value]
    assert regionmap.EVS_REGIONMAP.get(us_south.zng_url).mlp_url == us_south.mlp_url
    assert regionmap.EVS_REGIONMAP.get(sydney.zng_url).mlp_url == sydney.mlp_url
    assert "au-syd" in sydney.mlp_url
    assert regionmap.EVS_REGIONMAP.get(us_south.zng_url + "/") is None
    assert regionmap.EVS_REGIONMAP.get(us_south.zng_url.upper()) is None
