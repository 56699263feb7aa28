"""RUZI export: DataFetcher.to_ruzi / export_ruzi and the export module's table and read-back."""

import datetime as dt
import json
import logging
import math
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from lumoreq import export, fetching

EXPORTED = "数据已自动关联元数据并导出至: "
FAILED = "导出失败：无法生成 RUZI Table"
CACHE_MISSING = "未找到本地元数据缓存，请先联网执行 refresh_metadata_cache()。缓存目录: "


def series_table(stations=("A", "B"), item="2311", rows=3):
    parts = []
    for station in stations:
        index = pd.DatetimeIndex(pd.date_range("2024-01-01", periods=rows, freq="min"), name="STARTDATE")
        parts.append(
            pd.DataFrame(
                {
                    "OBSVALUE": np.arange(rows, dtype=np.float32) + 0.25,
                    "STATIONID": station,
                    "POINTID": "1",
                    "ITEMID": item,
                    "SAMPLERATE": "01",
                },
                index=index,
            )
        )
    return pd.concat(parts)


def metadata_frames():
    stations = pd.DataFrame(
        {
            "STATIONID": ["C", "B", "A"],
            "STATIONNAME": ["丙站", "乙站", "甲站"],
            "LONGITUDE": [116.1, 115.9, np.nan],
            "LATITUDE": [40.1, 39.9, 40.0],
        }
    )
    points = pd.DataFrame({"STATIONID": ["A"], "POINTID": ["1"]})
    items = pd.DataFrame({"ITEMID": ["2311", "4112"], "ITEMNAME": ["钻孔应变", "水位"], "UNIT": ["1e-10", "m"]})
    return stations, points, items


class FakeMetadataFetcher:
    calls: list = []
    result = None

    @staticmethod
    def get_timeseries_info(conn=None, cache_dir=None, refresh_cache=False):
        FakeMetadataFetcher.calls.append((conn, cache_dir, refresh_cache))
        if isinstance(FakeMetadataFetcher.result, BaseException):
            raise FakeMetadataFetcher.result
        return FakeMetadataFetcher.result if FakeMetadataFetcher.result is not None else metadata_frames()


@pytest.fixture
def fake_metadata(monkeypatch):
    FakeMetadataFetcher.calls = []
    FakeMetadataFetcher.result = None
    monkeypatch.setattr(fetching, "MetadataFetcher", FakeMetadataFetcher, raising=False)
    return FakeMetadataFetcher


def read_context(path):
    return json.loads(pq.read_schema(path).metadata[export.METADATA_KEY])["metadata"]


# --- DataFetcher.to_ruzi / export_ruzi -------------------------------------------------------


def test_signatures_and_docs():
    assert fetching.DataFetcher.to_ruzi.__doc__ == (
        "将获取到的 DataFrame 自动关联元数据并转换为 RUZI (Rurerezu Arrow Data) 格式。"
    )
    assert fetching.DataFetcher.export_ruzi.__doc__ == (
        "一键导出函数：自动从数据库抓取元数据，打包并导出为 RUZI 文件。"
    )
    with pytest.raises(TypeError):
        fetching.DataFetcher.to_ruzi(None, None)  # all three are required
    with pytest.raises(TypeError):
        fetching.DataFetcher.export_ruzi(conn=None, df=None, file_path="x")


def test_context_selects_the_frame_stations_and_items(fake_metadata):
    conn = object()
    table = fetching.DataFetcher.to_ruzi(conn, series_table(), "分钟值")
    assert fake_metadata.calls == [(conn, None, False)]
    context = json.loads(table.schema.metadata[export.METADATA_KEY])["metadata"]
    assert list(context) == ["station_info", "item_info", "sampling_rate", "export_time"]
    # Stations in the order of the stations table, NaN stored as null.
    assert context["station_info"] == [
        {"STATIONID": "B", "STATIONNAME": "乙站", "LONGITUDE": 115.9, "LATITUDE": 39.9},
        {"STATIONID": "A", "STATIONNAME": "甲站", "LONGITUDE": None, "LATITUDE": 40.0},
    ]
    assert context["item_info"] == [{"ITEMID": "2311", "ITEMNAME": "钻孔应变", "UNIT": "1e-10"}]
    assert context["sampling_rate"] == "分钟值"
    stamp = dt.datetime.fromisoformat(context["export_time"])
    assert stamp.tzinfo is None and abs(dt.datetime.now() - stamp) < dt.timedelta(minutes=5)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?", context["export_time"])


def test_context_is_handed_to_the_export_module(fake_metadata, monkeypatch):
    seen = {}

    def fake_to_ruzi(df, metadata=None):
        seen["df"], seen["metadata"] = df, metadata
        return "the table"

    monkeypatch.setattr(fetching.export, "to_ruzi", fake_to_ruzi)
    df = series_table(stations=("A",))
    assert fetching.DataFetcher.to_ruzi(None, df, 60) == "the table"
    assert seen["df"] is df
    assert list(seen["metadata"]) == ["station_info", "item_info", "sampling_rate", "export_time"]
    assert seen["metadata"]["sampling_rate"] == 60 and isinstance(seen["metadata"]["sampling_rate"], int)
    assert [r["STATIONID"] for r in seen["metadata"]["station_info"]] == ["A"]
    assert isinstance(seen["metadata"]["export_time"], str)


@pytest.mark.parametrize("frames", [metadata_frames()[:2], metadata_frames() + (pd.DataFrame(),)])
def test_metadata_that_does_not_unpack_into_three(fake_metadata, frames):
    fake_metadata.result = frames
    with pytest.raises(ValueError, match="values to unpack"):
        fetching.DataFetcher.to_ruzi(None, series_table(), "分钟值")


@pytest.mark.parametrize("df", [None, series_table().iloc[0:0]], ids=["none", "empty"])
def test_nothing_to_export(fake_metadata, df, in_tmp_cwd, caplog):
    assert fetching.DataFetcher.to_ruzi(None, df, "分钟值") is None
    assert fake_metadata.calls == []
    with caplog.at_level(logging.INFO, logger="fetching"):
        assert fetching.DataFetcher.export_ruzi(None, df, "out.ruzi", "分钟值") is None
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("ERROR", FAILED)]
    assert list(in_tmp_cwd.iterdir()) == []


def test_export_writes_the_file_name_unchanged_and_logs(fake_metadata, in_tmp_cwd, caplog):
    df = series_table()
    with caplog.at_level(logging.INFO, logger="fetching"):
        assert fetching.DataFetcher.export_ruzi(None, df, "series", "分钟值") is None
    assert [p.name for p in in_tmp_cwd.iterdir()] == ["series"]  # no extension added
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("INFO", EXPORTED + "series")]
    back, context = export.read_ruzi("series")
    pd.testing.assert_frame_equal(back, df, check_exact=True)
    assert [r["STATIONID"] for r in context["station_info"]] == ["B", "A"]


def test_export_calls_the_parquet_writer_with_defaults(fake_metadata, monkeypatch, tmp_path, caplog):
    calls = []
    monkeypatch.setattr(pq, "write_table", lambda *a, **k: calls.append((a, k)))
    target = tmp_path / "a.ruzi"
    # a large table: written to a hidden sibling (renamed over the target afterwards), with page checksums
    in_memory = export._IN_MEMORY_BYTES
    monkeypatch.setattr(export, "_IN_MEMORY_BYTES", 0)
    with caplog.at_level(logging.INFO, logger="fetching"):
        fetching.DataFetcher.export_ruzi(None, series_table(), target, "分钟值")
    (args, kwargs), = calls
    temp = Path(args[1])
    assert isinstance(args[0], pa.Table) and temp.parent == target.parent
    assert temp.name.startswith(".a.ruzi.") and temp.name.endswith(".tmp")
    assert kwargs == {"write_page_checksum": True}
    assert caplog.records[-1].getMessage() == EXPORTED + str(target)
    # a small one: the same writer into memory, then the file through the crash-safe writer
    monkeypatch.setattr(export, "_IN_MEMORY_BYTES", in_memory)
    calls.clear()
    fetching.DataFetcher.export_ruzi(None, series_table(), target, "分钟值")
    (args, kwargs), = calls
    assert isinstance(args[0], pa.Table) and isinstance(args[1], pa.BufferOutputStream)
    assert kwargs == {"write_page_checksum": True}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.ruzi"]


def test_export_goes_through_the_class_to_ruzi(monkeypatch, tmp_path, caplog):
    monkeypatch.setattr(fetching.DataFetcher, "to_ruzi", staticmethod(lambda conn, df, rate: None))
    with caplog.at_level(logging.INFO, logger="fetching"):
        fetching.DataFetcher.export_ruzi(None, series_table(), tmp_path / "a", "分钟值")
    assert caplog.records[-1].getMessage() == FAILED
    assert not (tmp_path / "a").exists()


def test_failures_reach_the_caller(fake_metadata, tmp_path):
    # A missing folder: no directory is made, the writer's error reaches the caller.
    with pytest.raises(OSError):
        fetching.DataFetcher.export_ruzi(None, series_table(), tmp_path / "no" / "such" / "a.ruzi", "分钟值")
    assert not (tmp_path / "no").exists()
    with pytest.raises(KeyError):
        fetching.DataFetcher.to_ruzi(None, series_table().drop(columns="ITEMID"), "分钟值")
    fake_metadata.result = RuntimeError(CACHE_MISSING + "/nowhere")
    with pytest.raises(RuntimeError, match=re.escape(CACHE_MISSING)):
        fetching.DataFetcher.export_ruzi(None, series_table(), tmp_path / "b.ruzi", "分钟值")
    assert not (tmp_path / "b.ruzi").exists()


def test_missing_metadata_cache_is_the_runtime_error(tmp_path, monkeypatch, caplog):
    metadata = getattr(fetching, "MetadataFetcher", None)
    cache = pytest.importorskip("lumoreq.metadata_cache")
    if metadata is None:
        pytest.skip("MetadataFetcher not built yet")

    def no_cache(*args, **kwargs):
        raise FileNotFoundError("no cache here")

    monkeypatch.setattr(cache.MetadataCache, "get_timeseries_info", no_cache)
    with caplog.at_level(logging.INFO, logger="fetching"):
        with pytest.raises(RuntimeError, match=re.escape(CACHE_MISSING)) as raised:
            fetching.DataFetcher.export_ruzi(None, series_table(), tmp_path / "a.ruzi", "分钟值")
    assert isinstance(raised.value.__cause__, FileNotFoundError)
    assert caplog.records == [] and not (tmp_path / "a.ruzi").exists()


def test_two_exports_differ_only_in_export_time(fake_metadata, tmp_path):
    df = series_table()
    for name in ("one", "two"):
        fetching.DataFetcher.export_ruzi(None, df, tmp_path / name, 60)
    first, second = read_context(tmp_path / "one"), read_context(tmp_path / "two")
    first.pop("export_time"), second.pop("export_time")
    assert first == second and first["sampling_rate"] == 60
    assert pq.read_table(tmp_path / "one").equals(pq.read_table(tmp_path / "two"))


# --- the RUZI layout -------------------------------------------------------------------------


def test_layout_of_a_time_series_table():
    table = export.to_ruzi(series_table(), metadata={"k": "v"})
    assert table.column_names == ["STARTDATE", "OBSVALUE", "STATIONID", "POINTID", "ITEMID", "SAMPLERATE"]
    assert table.schema.field("STARTDATE").type == pa.timestamp("us")
    assert table.schema.field("OBSVALUE").type == pa.float32()
    for name in ("STATIONID", "POINTID", "ITEMID", "SAMPLERATE"):
        assert table.schema.field(name).type == pa.string()
    context = json.loads(table.schema.metadata[b"lumoreq.ruzi"])
    digest = context.pop("digest")
    assert context == {"format": "RUZI", "version": 2, "metadata": {"k": "v"}}
    assert digest["algorithm"] == "sha256" and len(digest["columns"]) == len(table.column_names)
    assert json.loads(table.schema.metadata[b"pandas"])["index_columns"] == ["STARTDATE"]


def test_unsplit_table_layout_and_round_trip(tmp_path):
    packed = pd.DataFrame(
        {
            "STARTDATE": pd.to_datetime(["2024-01-01", "2024-01-02"]),
            "OBSVALUE": ["1.5 2.5 NULL", "NULL"],
            "STATIONID": ["A", "B"],
            "ITEMID": pd.Series(["2311", None], dtype=object),
        }
    )
    table = export.to_ruzi(packed, metadata=None)
    assert table.column_names == ["STARTDATE", "OBSVALUE", "STATIONID", "ITEMID"]
    assert table.schema.field("OBSVALUE").type == pa.string()
    pq.write_table(table, tmp_path / "p")
    back, context = export.read_ruzi(tmp_path / "p")
    assert context is None
    pd.testing.assert_frame_equal(back, packed, check_exact=True)
    assert back["ITEMID"].tolist() == ["2311", None]


@pytest.mark.parametrize(
    "dtype, arrow", [(np.float32, pa.float32()), (np.float16, pa.float32()), (np.float64, pa.float64())]
)
def test_numeric_obsvalue_types(dtype, arrow, tmp_path):
    df = pd.DataFrame({"OBSVALUE": np.array([0.1, np.nan, -2.5], dtype=dtype)})
    table = export.to_ruzi(df)
    assert table.schema.field("OBSVALUE").type == arrow
    pq.write_table(table, tmp_path / "f")
    back, _ = export.read_ruzi(tmp_path / "f")
    # float16 is widened exactly; float32 and float64 come back as they went.
    expected = df.astype({"OBSVALUE": np.float32}) if dtype == np.float16 else df
    pd.testing.assert_frame_equal(back, expected, check_exact=True)


def test_to_ruzi_refuses_what_is_not_a_frame():
    with pytest.raises(TypeError, match="DataFrame"):
        export.to_ruzi(pd.Series([1.0]))


@pytest.mark.parametrize(
    "content, reason",
    [
        (b"STARTDATE,OBSVALUE\n2024-01-01,1\n", "not a RUZI file"),
        (b"", "not a RUZI file"),
    ],
)
def test_read_ruzi_refuses_other_files(tmp_path, content, reason):
    path = tmp_path / "x.ruzi"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=reason):
        export.read_ruzi(path)


def test_read_ruzi_refuses_plain_parquet(tmp_path):
    pq.write_table(pa.table({"a": [1]}), tmp_path / "plain.parquet")
    with pytest.raises(ValueError, match="without the lumoreq.ruzi metadata"):
        export.read_ruzi(tmp_path / "plain.parquet")
    with pytest.raises(FileNotFoundError):
        export.read_ruzi(tmp_path / "missing.ruzi")


@pytest.mark.parametrize(
    "value, expected",
    [
        (np.int64(7), 7),
        (np.float32(0.5), 0.5),
        (np.bool_(True), True),
        (float("nan"), None),
        (np.float64("inf"), None),
        (pd.NaT, None),
        (pd.NA, None),
        (pd.Timestamp("2024-01-02 03:04:05.123456"), "2024-01-02T03:04:05.123456"),
        (dt.date(2024, 1, 2), "2024-01-02"),
        (np.datetime64("2024-01-02T03:04"), "2024-01-02T03:04:00"),
        ((1, np.int32(2)), [1, 2]),
        (np.array([1.5, np.nan]), [1.5, None]),
        ({1: {"x": np.float64(2.0)}}, {"1": {"x": 2.0}}),
    ],
)
def test_context_values_are_converted_for_json(value, expected):
    assert export.jsonable(value) == expected


# --- property: whatever goes in comes back -------------------------------------------------

texts = st.one_of(st.none(), st.text(alphabet=st.characters(exclude_categories=("Cs",)), max_size=8))
finite_or_special = st.one_of(
    st.floats(width=32, allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, np.float32(1e-45), np.nan]),
)


@st.composite
def frames(draw):
    rows = draw(st.integers(0, 25))
    packed = draw(st.booleans())
    columns = {}
    if packed:
        # An unsplit table: the timestamp is a column, the index runs 0, 1, 2, ...
        columns["STARTDATE"] = pd.to_datetime(
            draw(st.lists(st.datetimes(dt.datetime(1990, 1, 1), dt.datetime(2040, 1, 1)), min_size=rows, max_size=rows))
        ).as_unit("us")
        columns["OBSVALUE"] = pd.Series(draw(st.lists(texts, min_size=rows, max_size=rows)), dtype="str")
    else:
        columns["OBSVALUE"] = np.array(draw(st.lists(finite_or_special, min_size=rows, max_size=rows)), dtype=np.float32)
    for name in ("STATIONID", "POINTID", "ITEMID"):
        columns[name] = pd.Series(draw(st.lists(texts, min_size=rows, max_size=rows)), dtype="str")
    if draw(st.booleans()):
        columns["SAMPLERATE"] = pd.Series(draw(st.lists(st.sampled_from(["01", "02", "60", "90"]), min_size=rows, max_size=rows)), dtype="str")
    if draw(st.booleans()):
        columns["COUNT"] = np.array(draw(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=rows, max_size=rows)), dtype=np.int64)
    if draw(st.booleans()):
        columns["NOTE"] = pd.Series(draw(st.lists(texts, min_size=rows, max_size=rows)), dtype=object)
    df = pd.DataFrame(columns)
    if packed:
        return df
    unit = draw(st.sampled_from(["us", "ns", "s"]))
    stamps = draw(st.lists(st.datetimes(dt.datetime(1990, 1, 1), dt.datetime(2040, 1, 1)), min_size=rows, max_size=rows))
    index = pd.DatetimeIndex(pd.to_datetime(stamps).as_unit(unit), name="STARTDATE")
    if draw(st.booleans()):
        index = index.tz_localize("Asia/Shanghai")
    return df.set_index(index)


@st.composite
def contexts(draw):
    """(context as handed over, the context JSON gives back), built side by side."""
    leaves = st.one_of(
        st.none().map(lambda v: (v, None)),
        st.booleans().map(lambda v: (v, v)),
        st.integers(-(2**53), 2**53).map(lambda v: (np.int64(v), v)),
        st.floats(allow_nan=False, allow_infinity=False).map(lambda v: (v, v)),
        st.floats(width=32, allow_nan=False, allow_infinity=False).map(lambda v: (np.float32(v), float(np.float32(v)))),
        st.sampled_from([float("nan"), float("inf"), np.float64("-inf"), np.float32("nan")]).map(lambda v: (v, None)),
        st.text(max_size=6).map(lambda v: (v, v)),
        st.datetimes(dt.datetime(1900, 1, 1), dt.datetime(2100, 1, 1)).map(
            lambda v: (pd.Timestamp(v), v.isoformat())
        ),
    )
    values = st.recursive(
        leaves,
        lambda inner: st.one_of(
            st.lists(inner, max_size=3).map(lambda xs: ([x for x, _ in xs], [y for _, y in xs])),
            st.dictionaries(st.text(max_size=5), inner, max_size=3).map(
                lambda d: ({k: x for k, (x, _) in d.items()}, {k: y for k, (_, y) in d.items()})
            ),
        ),
        max_leaves=10,
    )
    pairs = draw(st.dictionaries(st.text(max_size=5), values, max_size=5))
    return {k: x for k, (x, _) in pairs.items()}, {k: y for k, (_, y) in pairs.items()}


def float_bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(df=frames(), context=contexts())
def test_round_trip_is_exact(tmp_path, df, context):
    given_context, expected_context = context
    path = tmp_path / "round.ruzi"
    pq.write_table(export.to_ruzi(df, metadata=given_context), path)
    back, back_context = export.read_ruzi(path)
    pd.testing.assert_frame_equal(back, df, check_exact=True)
    assert list(back.columns) == list(df.columns) and back.index.equals(df.index)
    if df["OBSVALUE"].dtype == np.float32:
        got, want = back["OBSVALUE"].to_numpy(), df["OBSVALUE"].to_numpy()
        assert np.array_equal(np.isnan(got), np.isnan(want))
        ok = ~np.isnan(want)
        assert np.array_equal(float_bits(got[ok]), float_bits(want[ok]))  # -0.0 and subnormals too
    assert back_context == expected_context
    assert list(back_context) == list(expected_context)
    assert not any(isinstance(v, float) and math.isnan(v) for v in back_context.values())
