"""The sample network: deterministic, laid out as documented, with a usable catalogue; and the
metadata cache's own contract."""

import duckdb
import numpy as np
import pandas as pd
import pytest

from lumoreq import sample
from lumoreq.metadata_cache import MetadataCache


def tables_of(path):
    con = duckdb.connect(str(path), read_only=True)
    try:
        names = [r[0] for r in con.execute("SELECT TABLE_NAME FROM ALL_TABLES ORDER BY 1").fetchall()]
        return {n: con.execute(f"SELECT * FROM ZODUZA.{n}").fetch_df() for n in names}
    finally:
        con.close()


def test_build_is_deterministic_and_replaces_the_file(tmp_path):
    a = sample.build(tmp_path / "a" / "n.duckdb", days=6, minute_days=2, second_days=1, seed=5)
    b = sample.build(tmp_path / "b" / "n.duckdb", days=6, minute_days=2, second_days=1, seed=5)
    sample.build(b, days=6, minute_days=2, second_days=1, seed=5)  # over an existing file
    ta, tb = tables_of(a), tables_of(b)
    assert ta.keys() == tb.keys()
    for name in ta:
        pd.testing.assert_frame_equal(ta[name], tb[name])
    assert (a.parent / "catalogue.txt").read_text() == (b.parent / "catalogue.txt").read_text()
    assert not list(tmp_path.rglob("*.partial"))


def test_layout(sample_db):
    t = tables_of(sample_db)
    stations = t["QZ_DICT_STATIONS"]
    assert len(stations) >= 6 and list(stations.columns[1:4]) == ["STATIONNAME", "LONGITUDE", "LATITUDE"]
    assert list(t["QZ_DICT_ITEMS"].columns[1:3]) == ["ITEMNAME", "UNIT"]
    # several items at one point
    si = t["QZ_DICT_STATIONITEMS"]
    assert si.groupby(["STATIONID", "POINTID"]).size().max() >= 4
    # one layout per kind: SAMPLERATE in DYU and CP, not in DYS
    assert "SAMPLERATE" in t["DYU_60_411"].columns and "SAMPLERATE" not in t["DYS_60_411"].columns
    assert isinstance(t["DYU_01_231"].OBSVALUE.dropna().iloc[0], (bytes, bytearray))
    day = t["DYU_90_411"]
    assert day.groupby(["STATIONID", "POINTID", "ITEMID"]).size().eq(40).all()
    minute = t["DYS_01_231"].OBSVALUE
    lengths = minute[minute != "NULLALL"].str.split(" ").str.len()
    assert lengths.eq(1440).all()
    rain = t["DYS_60_417"].OBSVALUE.str.split(" ").explode()
    assert (pd.to_numeric(rain, errors="coerce") > 0).any()
    assert t["CP_90_231_RES"].empty and list(t["DYU_01_231_DEV_TEST"].columns) == ["ID", "NOTE"]


def test_catalogue_lines(sample_db):
    lines = (sample_db.parent / "catalogue.txt").read_text(encoding="utf-8").splitlines()
    good = [ln for ln in lines if len(ln) > 39 and ln[:14].isdigit()]
    assert len(good) >= 290
    lat = np.array([float(ln[15:21]) for ln in good])
    lon = np.array([float(ln[21:27]) for ln in good])
    near = [min(np.hypot(lo - s[2], la - s[3]) for s in sample.STATIONS) for lo, la in zip(lon, lat)]
    assert sum(d < 2 for d in near) > 50 and sum(d > 5 for d in near) > 20
    times = pd.to_datetime([ln[:14] for ln in good], format="%Y%m%d%H%M%S")
    assert times.min() >= pd.Timestamp("2024-01-01") and times.is_monotonic_increasing
    assert any(not ln.strip() for ln in lines)  # a blank line
    assert any(0 < len(ln) <= 20 for ln in lines)  # a short line
    assert any(ln[:10].isdigit() and not ln[10:14].isdigit() for ln in lines)  # a short time field
    assert any(ln[28:32] == " x.y" for ln in lines)  # an unreadable magnitude


def test_cache_contract(sample_conn, tmp_path):
    with pytest.raises(ValueError):
        MetadataCache.refresh_cache(conn=None, cache_dir=tmp_path)
    with pytest.raises(KeyError):
        MetadataCache.refresh_cache(conn=sample_conn, cache_dir=tmp_path, tables=["stations", "nope"])
    assert not list(tmp_path.iterdir())
    written = MetadataCache.refresh_cache(conn=sample_conn, cache_dir=tmp_path / "new", tables="items")
    assert list(written) == ["items"] and written["items"].suffix == ".parquet"
    items = MetadataCache.get_table("items", cache_dir=tmp_path / "new")
    assert items["ITEMID"].tolist()[:2] == ["2211", "2212"]
    with pytest.raises(FileNotFoundError):
        MetadataCache.get_table("stations", cache_dir=tmp_path / "new")
    assert MetadataCache.resolve_cache_dir(None).name == "metadata"
