"""Database kinds and sample-rate catalogues."""

import pytest

from lumoreq.fetching import DatabaseType, SampleRateType


@pytest.mark.parametrize("name, code", [("原始库", "DYS"), ("预处理库", "DYU"), ("产品库", "CP"),
                                        ("产品", None), ("CP", None), (None, None), (3, None)])
def test_database_type_codes(name, code):
    assert DatabaseType.get_id(name) == code


def test_constants():
    assert (DatabaseType.RAW, DatabaseType.PREPROCESSED, DatabaseType.PRODUCT) == ("原始库", "预处理库", "产品库")
    assert (SampleRateType.SECOND, SampleRateType.MINUTE, SampleRateType.HOUR, SampleRateType.DAY) == (
        "秒钟值", "分钟值", "小时值", "日均值")


@pytest.mark.parametrize("name, record", [
    ("秒钟值", {"id": "02", "rate": 1, "null_count": 86400}),
    ("秒值", {"id": "02", "rate": 1, "null_count": 86400}),
    ("分钟值", {"id": "01", "rate": 60, "null_count": 1440}),
    ("分值", {"id": "01", "rate": 60, "null_count": 1440}),
    ("小时值", {"id": "60", "rate": 3600, "null_count": 24}),
    ("整点值", {"id": "60", "rate": 3600, "null_count": 24}),
    ("日均值", {"id": "90", "rate": 86400, "null_count": 1}),
    ("日值", {"id": "90", "rate": 86400, "null_count": 1}),
])
def test_sample_rate_records(name, record):
    got = SampleRateType.get_config(name)
    assert got == record and list(got) == ["id", "rate", "null_count"]


def test_records_are_fresh_and_identifiers_are_not_names():
    a = SampleRateType.get_config("日值")
    a["rate"] = 0
    assert SampleRateType.get_config("日均值")["rate"] == 86400
    assert SampleRateType.get_config("90") is None and SampleRateType.get_config("分钟") is None


@pytest.mark.parametrize("rate_id, seconds", [("02", 1), ("01", 60), ("60", 3600), (60, 3600), ("90", 86400),
                                              (90, 86400), (1, None), ("03", None), (60.0, None), (None, None)])
def test_rate_by_id_converts_to_text_first(rate_id, seconds):
    assert SampleRateType.get_rate_by_id(rate_id) == seconds


def test_documentation_strings():
    assert SampleRateType.get_rate_by_id.__doc__ == "根据采样率ID获取对应的秒数"


@pytest.mark.parametrize("text", ["\ud800", "产品库\udfff", "\udcff分钟值"])
def test_texts_without_utf8_form_match_nothing(text):
    assert DatabaseType.get_id(text) is None
    assert SampleRateType.get_config(text) is None
    assert SampleRateType.get_rate_by_id(text) is None

    class Odd:
        def __str__(self):
            return "6\ud8000"

    assert SampleRateType.get_rate_by_id(Odd()) is None
