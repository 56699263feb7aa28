"""DataFetcher.fetch_data / fetch_dialog, the compatibility functions and the loaders, on the
sample network, against the plain pandas fetch of the reference."""

import datetime
import gzip
import logging

import numpy as np
import pandas as pd
import pytest
import reference
import sqlalchemy
from hypothesis import given, settings
from hypothesis import strategies as st

from lumoreq import fetching, sample

DF = fetching.DataFetcher


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.levelno == level and r.name == "fetching"]


REQUESTS = [
    ("20240101", "20240102", "形变", "全部", "分钟值", "预处理库", {"gzip_flag": True}),
    ("20240101", "20240103", "全部", "泰安", "分值", "原始库", {}),
    ("2024-01-01", "2024-01-01", "形变", "昌平", "秒钟值", "原始库", {}),
    ("20240101", "20240131", "流体", "全部", "日均值", "产品库", {"item_name": "水位"}),
    ("20240101", "20240109", "电磁", "南京", "小时值", "原始库", {"gzip_flag": True}),
    ("20240105", "20240120", "水位", "全部", "日值", "预处理库", {}),
    ("20240101", "20240101", "形变", "全部", "分钟值", "预处理库",
     {"gzip_flag": True, "item_name": ["分量应变-北南", "水管倾斜-东西"], "point_id": "1"}),
    ("20240101", "20240102", "形变", "全部", "秒值", "预处理库", {"gzip_flag": True}),
    ("20240101", "20240103", "全部", "全部", "分钟值", "预处理库", {"gzip_flag": True, "my_split_lines": False}),
    ("20240101", "20240131", "全部", "全部", "小时值", "产品库", {"my_split_lines": False}),
]


@pytest.mark.parametrize("request_", REQUESTS, ids=range(len(REQUESTS)))
def test_matches_the_plain_pandas_fetch(sample_conn, splitter, request_):
    *args, kw = request_
    got = DF.fetch_data(sample_conn, *args, **kw)
    expected = reference.fetch_data(sample_conn, *args, **kw, split_lines=splitter)
    assert len(expected) > 0
    pd.testing.assert_frame_equal(got, expected, check_exact=True)


def test_minute_fetch_is_one_row_per_sample(sample_conn, splitter):
    df = DF.fetch_data(sample_conn, "20240101", "20240102", "形变", "昌平", "分钟值", "预处理库",
                       item_name="分量应变-北南", gzip_flag=True)
    assert df.index.name == "STARTDATE" and df["OBSVALUE"].dtype == np.float32
    assert len(df) == 2 * 1440
    assert df.index[0] == pd.Timestamp("2024-01-01") and df.index[-1] == pd.Timestamp("2024-01-02 23:59")
    assert (df.index.to_series().diff().dropna() == pd.Timedelta(minutes=1)).all()
    assert list(df.columns) == ["STATIONID", "POINTID", "ITEMID", "SAMPLERATE", "OBSVALUE"]
    assert set(df.STATIONID) == {"11012"} and set(df.ITEMID) == {"2311"}


@pytest.mark.parametrize("data_type, per_day", [("分钟值", 1440), ("日均值", 1), ("小时值", 24)])
def test_nullall_days_become_missing_samples(writable_conn, splitter, data_type, per_day):
    code = {"分钟值": "01", "日均值": "90", "小时值": "60"}[data_type]
    conn = writable_conn
    try:
        conn.execute(sqlalchemy.text(
            f"UPDATE ZODUZA.DYS_{code}_411 SET OBSVALUE = 'NULLALL' "
            "WHERE STATIONID = 37005 AND STARTDATE = TIMESTAMP '2024-01-02'"))
        conn.commit()
        df = DF.fetch_data(conn, "20240102", "20240102", "流体", "泰安", data_type, "原始库", item_name="静水位")
    finally:
        conn.close()
    assert len(df) == per_day and df["OBSVALUE"].isna().all() and df["OBSVALUE"].dtype == np.float32
    assert df.index[0] == pd.Timestamp("2024-01-02")
    assert (df.index.to_series().diff().dropna() == pd.Timedelta(seconds=86400 // per_day)).all()


@pytest.mark.parametrize(
    "value, expected_rate, warning",
    [("'01'", 60, None), ("1.0", 60, None), ("' 60 '", 3600, None), ("'03'", 86400, "03"), ("NULL", 86400, None)],
)
def test_samplerate_of_the_first_row_decides(writable_conn, monkeypatch, caplog, value, expected_rate, warning):
    conn = writable_conn
    rates = []
    monkeypatch.setattr(fetching.cleaning, "split_lines", lambda df, rate: rates.append(rate) or df, raising=False)
    try:
        conn.execute(sqlalchemy.text(f"UPDATE ZODUZA.DYU_90_411 SET SAMPLERATE = {value}"))
        conn.commit()
        with caplog.at_level(logging.WARNING, logger="fetching"):
            DF.fetch_data(conn, "20240101", "20240101", "流体", "全部", "日均值", "预处理库", item_name="静水位")
    finally:
        conn.close()
    assert rates == [expected_rate]
    expected_warnings = [] if warning is None else [f"无法识别数据库中的采样率ID: {warning}, 采用请求配置值"]
    assert messages(caplog, logging.WARNING) == expected_warnings


@pytest.mark.parametrize(
    "args, level, message",
    [
        (("形变", "全部", "十分钟值", "预处理库"), logging.ERROR, "未选择数据类型!"),
        (("形变", "全部", "分钟值", "产品"), logging.ERROR, "未选择数据库类型!"),
        (("形变", "全部", "秒钟值", "产品库"), logging.DEBUG, "未找到匹配的表名!"),
    ],
)
def test_requests_that_make_no_query(sample_conn, caplog, args, level, message):
    with caplog.at_level(logging.DEBUG, logger="fetching"):
        assert DF.fetch_data(sample_conn, "20240101", "20240102", *args) is None
    assert message in messages(caplog, level)


@pytest.mark.parametrize(
    "station, item, point, warning",
    [
        ("不存在的台", "全部", "", "站点名称未匹配到任何站点: 不存在的台，返回空表"),
        ("泰安' OR '1'='1", "全部", "", "站点名称未匹配到任何站点: 泰安' OR '1'='1，返回空表"),
        ("全部", ["x') OR ('1'='1"], "", "测项名称未匹配到任何测项: [\"x') OR ('1'='1\"]，返回空表"),
        ("无", "无此测项", "", "站点名称未匹配到任何站点: 无；测项名称未匹配到任何测项: 无此测项，返回空表"),
        ("全部", "全部", "1' OR '1'='1", None),
    ],
)
def test_unmatched_or_hostile_names_give_an_empty_table(sample_conn, caplog, station, item, point, warning):
    with caplog.at_level(logging.WARNING, logger="fetching"):
        df = DF.fetch_data(sample_conn, "20240101", "20240102", "形变", station, "日均值", "预处理库",
                           item_name=item, point_id=point)
    assert df.empty
    assert list(df.columns) == ["STATIONID", "POINTID", "ITEMID", "STARTDATE", "SAMPLERATE", "OBSVALUE"]
    assert messages(caplog, logging.WARNING) == ([] if warning is None else [warning])


def test_gzip_flag_leaves_hour_rows_alone_and_rejects_non_gzip_minute_rows(sample_conn, splitter):
    hourly = DF.fetch_data(sample_conn, "20240101", "20240101", "水位", "全部", "小时值", "预处理库", gzip_flag=True)
    assert len(hourly) == 3 * 24
    with pytest.raises(TypeError):  # raw minute rows are text, not gzip bytes
        DF.fetch_data(sample_conn, "20240101", "20240101", "水位", "全部", "分钟值", "原始库", gzip_flag=True)


@pytest.mark.parametrize("split", [True, False])
def test_compressed_minute_rows_need_no_flag(sample_conn, splitter, caplog, split):
    args = ("20240101", "20240102", "形变", "全部", "分钟值", "预处理库")
    with caplog.at_level(logging.WARNING, logger="fetching"):
        declared = DF.fetch_data(sample_conn, *args, gzip_flag=True, my_split_lines=split)
        assert messages(caplog, logging.WARNING) == []
        found = DF.fetch_data(sample_conn, *args, my_split_lines=split)
    pd.testing.assert_frame_equal(found, declared, check_exact=True)
    if not split:
        assert all(isinstance(v, str) and v.count(" ") == 1439 for v in found["OBSVALUE"])
    warnings = messages(caplog, logging.WARNING)
    assert len(warnings) == 1 and "gzip_flag" in warnings[0]  # once per fetch, not once per row
    rows = len(found) if not split else len(found) // 1440
    assert str(rows) in warnings[0]


def test_undeclared_gzip_in_any_table_is_decompressed_and_bad_gzip_still_fails(sample_conn, splitter, caplog,
                                                                             monkeypatch):
    """Values arrive as gzip bytes where the request did not announce them (an hour table, a
    mixture with plain text and missing values); a value with the magic but broken data fails
    with the host's gzip error instead of being passed on as bytes."""
    args = ("20240101", "20240102", "水位", "全部", "小时值", "预处理库")
    plain = DF.fetch_data(sample_conn, *args, my_split_lines=False)
    assert len(plain) >= 3
    read_sql = pd.read_sql
    tamper = {}

    def compressed_read_sql(*a, **k):
        df = read_sql(*a, **k)
        if "OBSVALUE" in df.columns and len(df) >= 3:
            values = list(df["OBSVALUE"])
            values[0] = gzip.compress(values[0].encode())
            values[1] = None
            values[2] = tamper.get("third", gzip.compress(values[2].encode()))
            df["OBSVALUE"] = pd.Series(values, dtype=object, index=df.index)
        return df

    monkeypatch.setattr(pd, "read_sql", compressed_read_sql)
    # in a column found compressed, a missing value reads as an empty text, as with the flag
    plain.loc[1, "OBSVALUE"] = ""  # the row read second
    for flag in (False, True):
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger="fetching"):
            got = DF.fetch_data(sample_conn, *args, gzip_flag=flag, my_split_lines=False)
        pd.testing.assert_frame_equal(got, plain, check_exact=True)
        (warning,) = messages(caplog, logging.WARNING)
        assert "gzip_flag" in warning and "2 " in warning
    split = DF.fetch_data(sample_conn, *args)
    assert split["OBSVALUE"].dtype == np.float32 and len(split) == 24 * (len(plain) - 1) + 1

    tamper["third"] = b"\x1f\x8b" + b"not deflate data"
    with pytest.raises((gzip.BadGzipFile, EOFError, OSError)):
        DF.fetch_data(sample_conn, *args)


def test_empty_result_keeps_upper_case_columns(sample_conn, caplog):
    with caplog.at_level(logging.DEBUG, logger="fetching"):
        df = DF.fetch_data(sample_conn, "20300101", "20300102", "流体", "全部", "日均值", "产品库")
    assert df.empty and list(df.columns) == ["STATIONID", "POINTID", "ITEMID", "STARTDATE", "SAMPLERATE",
                                             "OBSVALUE", "DATAFLAG"]
    assert "查询结果为空!" in messages(caplog, logging.DEBUG)


# --- the unpacking kernels -----------------------------------------------------------------------

packed = st.lists(
    st.one_of(st.none(), st.text(alphabet=st.sampled_from(list("NULLA 0123.-é\x00")), max_size=30)), max_size=12
)


@settings(max_examples=150, deadline=None)
@given(values=packed, count=st.sampled_from([0, 1, 24, 1440]))
def test_unpacking_matches_the_host(values, count):
    null_text = ("NULL " * count).strip()
    zipped = [None if v is None else gzip.compress(v.encode()) for v in values]
    assert fetching._gunzip_texts(zipped) == reference.gunzip_texts(zipped)
    frame = pd.DataFrame({"OBSVALUE": pd.Series(values, dtype=object)})
    expected = frame.replace("NULLALL", null_text, regex=True)["OBSVALUE"].tolist()
    assert fetching._expand_nullall(values, null_text) == expected


@pytest.mark.parametrize("bad, error", [(b"not gzip at all", gzip.BadGzipFile), ("text", TypeError),
                                         (gzip.compress(b"\xff\xfe"), UnicodeDecodeError)])
def test_unpacking_errors_are_the_hosts(bad, error):
    with pytest.raises(error):
        reference.gunzip_texts([bad])
    with pytest.raises(error):
        fetching._gunzip_texts([gzip.compress(b"1 2"), bad])


def test_expand_nullall_keeps_other_values_and_surrogates():
    values = ["\ud800 NULLALL", b"NULLALL", 3, None, "NULLALLNULLALL"]
    assert fetching._expand_nullall(values, "NULL NULL") == [
        "\ud800 NULL NULL", b"NULLALL", 3, None, "NULL NULLNULL NULL"]


# --- compatibility functions, the log fetch and the loaders ------------------------------------------


def test_fetching_data_forwards(monkeypatch):
    calls = []
    monkeypatch.setattr(DF, "fetch_data", staticmethod(lambda *a, **k: calls.append((a, k)) or "r"))
    assert fetching.fetching_data("c", "20240101", "20240131", "形变", "全部", "分钟值", "预处理库") == "r"
    assert calls == [(("c", "20240101", "20240131", "形变", "全部", "分钟值", "预处理库"),
                      {"item_name": "全部", "gzip_flag": False, "my_split_lines": True, "point_id": ""})]
    with pytest.raises(TypeError):
        fetching.fetching_data("c", "20240101")


def test_fetching_dialog_default_dates_are_computed_at_each_call(monkeypatch):
    calls = []
    monkeypatch.setattr(DF, "fetch_dialog", staticmethod(lambda *a: calls.append(a)))
    before = datetime.datetime.today()
    fetching.fetching_dialog("c")
    start, end = calls[0][1], calls[0][2]
    assert before <= end <= datetime.datetime.today() and end - start == datetime.timedelta(days=1)
    assert calls[0][3:] == ("全部", "全部", "全部", "313")
    fetching.fetching_dialog("c")
    assert calls[1][2] > end


def test_fetch_dialog_reads_the_work_logs(sample_db, sample_conn):
    everything = reference.read_upper("SELECT * FROM ZODUZA.QZ_LOG_411 UNION ALL SELECT * FROM ZODUZA.QZ_LOG_412",
                                    sample_conn)
    evt = everything.EVTID.iloc[0]
    df = DF.fetch_dialog(sample_conn, "20240101", "20240209", "流体", "全部", "全部", evt)
    expected = everything[(everything.EVTID == evt) & (everything.STARTDATE < "2024-02-10")]
    assert len(df) == len(expected) > 0
    assert df.STARTDATE.is_monotonic_increasing and set(df.EVTID) == {evt}
    assert all(isinstance(v, str) for v in df.STATIONID)
    one = DF.fetch_dialog(sample_conn, "20240101", "20240209", "流体", "泰安", "静水位", evt)
    assert set(one.STATIONID) <= {"37005"} and set(one.ITEMID) <= {"4112"}
    assert DF.fetch_dialog(sample_conn, "20240101", "20240209", "流体", "无此台", "全部", evt).empty


@pytest.mark.parametrize(
    "loader, item",
    [(fetching.load_Oracle_data_water_year, "4112"), (fetching.load_Oracle_data_resistivity_year, "3111")],
)
def test_year_loaders(sample_conn, splitter, loader, item):
    df = loader(sample_conn, 2024)
    assert item in set(df.ITEMID) and set(df.ITEMID) <= {"4112", "3111", "3112"}
    assert df.index.min() >= pd.Timestamp("2024-01-01") and df.index.max() < pd.Timestamp("2025-01-01")
    assert len(df) == df.groupby(["STATIONID", "POINTID", "ITEMID"]).ngroups * 40


def test_daily_loader(sample_conn, splitter):
    df = fetching.load_Oracle_data_daily(sample_conn, "20240101", "20240110", "形变", "泰安")
    assert set(df.ITEMID) == {"2311", "2312", "2313", "2314"} and len(df) == 40


@pytest.mark.parametrize("split", [True, False])
def test_marker_in_other_columns_and_missing_values_match_the_reference(writable_conn, splitter, split):
    conn = writable_conn
    try:
        conn.execute(sqlalchemy.text("UPDATE ZODUZA.CP_90_411_AVG SET DATAFLAG = 'aNULLALLb' WHERE STATIONID = 37005"))
        conn.execute(sqlalchemy.text("UPDATE ZODUZA.CP_90_412_AVG SET DATAFLAG = NULL, OBSVALUE = NULL "
                                     "WHERE STARTDATE = TIMESTAMP '2024-01-03'"))
        conn.commit()
        args = ("20240101", "20240105", "流体", "全部", "日均值", "产品库")
        got = DF.fetch_data(conn, *args, my_split_lines=split)
        expected = reference.fetch_data(conn, *args, my_split_lines=split, split_lines=splitter)
    finally:
        conn.close()
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    assert (got["DATAFLAG"] == "aNULLb").sum() == 5 and got["DATAFLAG"].isna().sum() == 2


@settings(max_examples=30, deadline=None)
@given(
    method=st.sampled_from(["形变", "电磁", "流体", "全部", "水位", "应变"]),
    station=st.sampled_from(["全部", "泰安", "台", "昌平", "兰州"]),
    rate=st.sampled_from(["秒钟值", "分钟值", "小时值", "日均值"]),
    kind=st.sampled_from(["原始库", "预处理库", "产品库"]),
    item=st.sampled_from(["全部", "应变", "静水位", ["水温", "地电阻率-东西"]]),
    first=st.integers(0, 4),
    span=st.integers(0, 3),
    split=st.booleans(),
)
def test_random_requests_match_the_reference(sample_db, method, station, rate, kind, item, first, span, split):
    from conftest_sample import plain_split_lines
    from lumoreq import cleaning

    start = pd.Timestamp("2024-01-01") + pd.Timedelta(days=first)
    args = (start.strftime("%Y%m%d"), (start + pd.Timedelta(days=span)).strftime("%Y-%m-%d"), method, station,
            rate, kind)
    kw = {"item_name": item, "gzip_flag": kind == "预处理库", "my_split_lines": split}
    native_split = getattr(cleaning, "split_lines", None)
    conn = sample.connect(sample_db, read_only=True)
    try:
        if native_split is None:
            cleaning.split_lines = plain_split_lines
        got = DF.fetch_data(conn, *args, **kw)
        expected = reference.fetch_data(conn, *args, **kw,
                                        split_lines=getattr(reference, "split_lines", plain_split_lines))
    finally:
        if native_split is None:
            del cleaning.split_lines
        conn.close()
    if expected is None:
        assert got is None
    else:
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
