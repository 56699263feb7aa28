"""MetadataFetcher and MetadataCache against the sample network: exact statements, the cache
fall-back (literal names, rollback first), table discovery, and identifier columns as text."""


import pandas as pd
import pytest
import reference
import sqlalchemy

from lumoreq import fetching, sample
from lumoreq.metadata_cache import MetadataCache

MF = fetching.MetadataFetcher


@pytest.fixture
def statements(monkeypatch):
    """Every statement sent through pandas.read_sql, as (text, params)."""
    seen = []
    original = pd.read_sql

    def recording(sql, con=None, params=None, **kw):
        seen.append((sql.text if hasattr(sql, "text") else sql, params))
        return original(sql, con=con, params=params, **kw)

    monkeypatch.setattr(pd, "read_sql", recording)
    return seen


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda c: MF.get_method_ids(c, "流体"), [(reference.S1.format(first="4"), None)]),
        (lambda c: MF.get_method_ids(c), [(reference.S2, None)]),
        (lambda c: MF.get_method_ids(c, "水位"), [(reference.S3, {"methodname": "水位"})]),
        (lambda c: MF.get_station_ids(c, "泰安"), [(reference.S4, {"stationname": "泰安"})]),
        (lambda c: MF.get_item_ids(c, "水位"), [(reference.S5, {"itemname": "水位"})]),
        (lambda c: MF.get_item_ids(c, ["静水位", "水温"]), [(reference.s6(["静水位", "水温"]), None)]),
        (
            lambda c: MF.get_table_names(c, pd.DataFrame({"methodid": ["231"]}), "CP", "90"),
            [(reference.S7 + reference.S7_PRODUCT,
              {"base_type_id": "CP", "sample_rate_id": "90", "methodid": "231", "kw1": "AVG", "kw2": "INS"})],
        ),
    ],
)
def test_exact_statements(sample_conn, statements, call, expected):
    call(sample_conn)
    assert statements == expected


@pytest.mark.parametrize(
    "method, expected",
    [("流体", ["411", "412"]), ("形变", ["231", "221"]), ("全部", ["231", "221", "411", "412", "311"]),
     ("水位", ["411"])],
)
def test_method_ids_database_and_cache_agree(sample_conn, sample_cache, method, expected):
    live = MF.get_method_ids(sample_conn, method)
    cached = MF.get_method_ids(None, method, cache_dir=sample_cache)
    assert sorted(live["methodid"]) == sorted(expected)
    assert sorted(cached["methodid"]) == sorted(expected)
    assert list(cached.columns) == ["methodid"]


@pytest.mark.parametrize("name, expected", [("泰安", ["37005"]), ("(", []), (".", []), ("台", 7), ("*", [])])
def test_station_fallback_matches_literal_substrings(sample_cache, name, expected):
    got = MF.get_station_ids(None, name, cache_dir=sample_cache)
    assert list(got.columns) == ["stationid"]
    if isinstance(expected, int):
        assert len(got) == expected
    else:
        assert list(got["stationid"]) == expected


def test_method_name_skips_the_417_filter_on_the_database(sample_conn):
    assert list(MF.get_method_ids(sample_conn, "气象")["methodid"]) == ["417"]


def test_item_fallback_text_and_list(sample_cache):
    assert list(MF.get_item_ids(None, "应变", cache_dir=sample_cache)["itemid"]) == ["2311", "2312", "2313", "2314"]
    assert list(MF.get_item_ids(None, ["水温", "静水位", "x'"], cache_dir=sample_cache)["itemid"]) == ["4112", "4121"]
    assert MF.get_item_ids(None, "全部") is None


def test_item_list_cannot_widen_the_statement(sample_conn):
    got = MF.get_item_ids(sample_conn, ["静水位", "x') OR ('1'='1"])
    assert list(got["itemid"]) == ["4112"]
    assert MF.get_item_ids(sample_conn, []).empty


def test_missing_cache_reaches_the_caller(tmp_path):
    with pytest.raises(FileNotFoundError):
        MF.get_station_ids(None, "泰安", cache_dir=tmp_path)


@pytest.mark.parametrize(
    "kind, rate, method, expected",
    [("DYU", "01", "231", ["DYU_01_231"]), ("DYS", "90", "411", ["DYS_90_411"]),
     ("CP", "90", "231", ["CP_90_231_AVG"]), ("CP", "60", "417", ["CP_60_417_INS"]),
     ("DYU", "02", "231", ["DYU_02_231"]), ("DYU", "02", "411", [])],
)
def test_table_discovery_finds_exactly_its_tables(sample_conn, kind, rate, method, expected):
    got = MF.get_table_names(sample_conn, pd.DataFrame({"methodid": [method]}), kind, rate)
    assert list(got["table_name"]) == expected
    assert MF.get_table_names(sample_conn, pd.DataFrame({"methodid": []}), kind, rate) is None


def test_every_data_table_is_found_by_its_own_codes_only(sample_conn):
    names = reference.read_upper("SELECT TABLE_NAME FROM ALL_TABLES", sample_conn)["TABLE_NAME"]
    data = [n for n in names if n.split("_")[0] in ("DYU", "DYS", "CP")]
    found = []
    for kind in ("DYU", "DYS", "CP"):
        for rate in ("01", "02", "60", "90"):
            for method in [m for m, _ in sample.METHODS]:
                t = MF.get_table_names(sample_conn, pd.DataFrame({"methodid": [method]}), kind, rate)
                assert all(n.startswith(f"{kind}_{rate}_{method}") for n in t["table_name"])
                found += list(t["table_name"])
    assert len(found) == len(set(found))
    assert sorted(set(data) - set(found)) == ["CP_90_231_RES", "DYU_01_231_DEV_TEST"]


def test_failed_lookup_is_rolled_back_before_the_fetch_goes_on(writable_conn, tmp_path, monkeypatch, splitter):
    # A network whose station dictionary cannot be read: inside the fetch the station look-up
    # fails on the live connection and the (default) cache answers; the statements that follow
    # on the same connection must still run.
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("LOCALAPPDATA", str(tmp_path))
    conn = writable_conn
    try:
        fetching.refresh_metadata_cache(conn)
        assert MetadataCache.resolve_cache_dir(None).is_relative_to(tmp_path)
        conn.execute(sqlalchemy.text("DROP TABLE ZODUZA.QZ_DICT_STATIONS"))
        conn.commit()
        df = fetching.DataFetcher.fetch_data(conn, "20240101", "20240102", "流体", "泰安", "日均值", "预处理库")
        assert list(df["STATIONID"]) == ["37005", "37005"] and list(df["ITEMID"]) == ["4112", "4112"]
    finally:
        conn.close()


def test_timeseries_info_from_database_and_from_files(sample_conn, tmp_path):
    with pytest.raises(RuntimeError) as err:
        MF.get_timeseries_info(None, cache_dir=tmp_path)
    assert str(err.value) == "未找到本地元数据缓存，请先联网执行 refresh_metadata_cache()。缓存目录: " + str(tmp_path)
    assert isinstance(err.value.__cause__, FileNotFoundError)

    written = fetching.refresh_metadata_cache(sample_conn, cache_dir=tmp_path)
    assert sorted(written) == sorted(MetadataCache.TABLES)
    live = fetching.timeseries_info(sample_conn, cache_dir=tmp_path)
    offline = fetching.timeseries_info(None, cache_dir=tmp_path)
    assert len(live) == len(offline) == 3
    for a, b in zip(live, offline):
        pd.testing.assert_frame_equal(a, b)
    stations, points, items = offline
    assert stations.columns[:4].tolist() == ["STATIONID", "STATIONNAME", "LONGITUDE", "LATITUDE"]
    assert items.columns[:3].tolist() == ["ITEMID", "ITEMNAME", "UNIT"]
    for frame, col in [(stations, "STATIONID"), (points, "STATIONID"), (points, "POINTID"), (items, "ITEMID")]:
        assert all(isinstance(v, str) for v in frame[col])
    assert "37005" in set(stations.STATIONID)


def test_timeseries_info_without_arguments_asks_the_default_cache(monkeypatch):
    calls = []
    monkeypatch.setattr(fetching, "MetadataCache", type("C", (), {
        "get_timeseries_info": staticmethod(lambda **kw: calls.append(kw) or (1, 2, 3))}))
    assert fetching.timeseries_info() == (1, 2, 3)
    assert calls == [{"conn": None, "cache_dir": None, "refresh": False}]


def test_normalize_columns():
    a = pd.DataFrame({"x": [1]}, index=pd.Index([0], name="startdate"))
    b = pd.DataFrame({"Obs": [1]})
    assert MF._normalize_dataframe_columns([a, b]) is None
    assert list(a.columns) == ["X"] and a.index.name == "STARTDATE" and list(b.columns) == ["OBS"]
