"""filtered_qcats against the pandas reference (geopy per row): flags, sizes and labels equal
exactly, distances within 1e-6 km, and geopy's refusals and quirks kept."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
import reference
from geographiclib.geodesic import Geodesic
from hypothesis import given, settings
from hypothesis import strategies as st
from lumoreq import QCAT

STATION = (40.47, 115.94)
WGS84 = Geodesic(6378.137, 1 / 298.257223563)


def at_distance(km, azimuth=37.0, station=STATION):
    """(lat, lon) of a point `km` from the station along the given azimuth."""
    g = WGS84.Direct(station[0], station[1], azimuth, km)
    return g["lat2"], g["lon2"]


def catalogue(events, names=True):
    """events: (time, lat, lon, magnitude) rows; names 地震0, 地震1, ... unless names is False."""
    times = pd.DatetimeIndex([pd.Timestamp(t) if t is not None else pd.NaT for t, *_ in events], name="ind")
    df = pd.DataFrame(
        {
            "lon": [float(e[2]) for e in events],
            "lat": [float(e[1]) for e in events],
            "magnitude": [float(e[3]) for e in events],
            "name": [f"地震{i}" for i in range(len(events))] if names else [np.nan] * len(events),
        },
        index=times,
    )
    if names and not events:
        df["name"] = df["name"].astype("str")
    return df


def run_both(df, **kwargs):
    """Native and reference results (or their exceptions) and the warnings each raised."""
    out = []
    for fn in (QCAT.filtered_qcats, reference.filtered_qcats):
        frame = df.copy()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                result = fn(frame, **kwargs)
            except Exception as exc:  # noqa: BLE001  (compared below)
                result = exc
        out.append((result, [(w.category, str(w.message)) for w in caught], frame))
    return out


def assert_same(df, **kwargs):
    (nat, nat_warn, nat_in), (ref, ref_warn, ref_in) = run_both(df, **kwargs)
    if isinstance(ref, Exception):
        assert type(nat) is type(ref) and str(nat) == str(ref)
        return None
    assert not isinstance(nat, Exception), nat
    assert nat_warn == ref_warn
    assert nat_in.index.name == ref_in.index.name == "date"
    pd.testing.assert_frame_equal(
        nat.drop(columns="distance"), ref.drop(columns="distance"), check_exact=True
    )
    assert np.isinf(nat["distance"]).tolist() == np.isinf(ref["distance"]).tolist()
    finite = np.isfinite(ref["distance"])
    assert np.max(np.abs(nat["distance"][finite] - ref["distance"][finite]).to_numpy(), initial=0) <= 1e-6
    assert nat["distance"].dtype == ref["distance"].dtype
    return nat


def test_default_rule():
    events = [
        ("2024-01-01", *at_distance(120), 3.0),
        ("2024-01-02", *at_distance(300.5), 3.0),
        ("2024-01-03", *at_distance(10), 2.9),
    ]
    out = assert_same(catalogue(events))
    assert out["flag"].tolist() == [1, 0, 0] and out["flag"].dtype == np.int64


@pytest.mark.parametrize("offset", [-2e-6, -5e-7, -1e-9, 0.0, 1e-9, 5e-7, 2e-6])
def test_strict_limit_decided_as_geopy_decides(offset):
    lat, lon = at_distance(300 + offset)
    out = assert_same(catalogue([("2024-01-01", lat, lon, 3.0)]))
    assert out["flag"].iloc[0] == int(reference.geodesic((lat, lon), STATION).kilometers < 300)


@pytest.mark.parametrize("km", [123.45, 123.45 + 3e-7, 123.45 - 3e-7, 0.05, 99.95, 1000.25])
def test_label_rounding_boundaries(km):
    assert_same(catalogue([("2024-01-01", *at_distance(km, azimuth=200.0), 3.5)]))


def test_rules_and_a_single_pair():
    events = [("2024-01-01", *at_distance(300), 4.0), ("2024-01-02", *at_distance(450), 5.2)]
    out = assert_same(catalogue(events), filters=[(200, 3.0), (500, 5.0)])
    assert out["flag"].tolist() == [0, 1]
    single = assert_same(catalogue(events), filters=(500, 5.0))
    listed = assert_same(catalogue(events), filters=[(500, 5.0)])
    pd.testing.assert_frame_equal(single, listed)


@pytest.mark.parametrize(
    "magnitude, size", [(3.0, 5.0), (4.0, 5.0), (5.0, 10.0), (6.5, 17.5), (math.nan, math.nan)]
)
def test_size(magnitude, size):
    out = assert_same(catalogue([("2024-01-01", 40.0, 116.0, magnitude)]))
    assert out["size"].iloc[0] == size or (math.isnan(size) and math.isnan(out["size"].iloc[0]))


def test_times_on_or_before_1970_and_nat_are_dropped():
    events = [("1970-01-01", 40, 116, 5), (None, 40, 116, 5), ("1970-01-01 00:00:01", 40, 116, 5)]
    out = assert_same(catalogue(events))
    assert out.index.tolist() == [pd.Timestamp("1970-01-01 00:00:01")] and out.index.name == "date"


def test_label():
    out = assert_same(catalogue([("2024-01-01", *at_distance(123.456), 3.5)]))
    assert out["text"].iloc[0] == "地震0Ml3.5\n123.5km"


@pytest.mark.parametrize(
    "lat, lon",
    [
        (95.0, 116.0),
        (-90.5, 0.0),
        (math.nan, 116.0),
        (40.0, math.nan),
        (math.inf, 0.0),
        (40.0, 200.0),
        (40.0, -540.0),
        (-0.0, -0.0),
        (90.0, 180.0),
        (-90.0, 0.0),
        (-40.47, -64.06),
    ],
)
def test_geopy_refusals_and_wrapping(lat, lon):
    out = assert_same(catalogue([("2024-01-01", lat, lon, 6.0)]))
    if abs(lat) > 90 or not (math.isfinite(lat) and math.isfinite(lon)):
        assert out["distance"].iloc[0] == math.inf and out["flag"].iloc[0] == 0
        assert out["text"].iloc[0].endswith("\ninfkm")


def test_latitude_beyond_90_warns_like_geopy():
    with pytest.warns(UserWarning, match="Latitude normalization"):
        QCAT.filtered_qcats(catalogue([("2024-01-01", 95.0, 116.0, 6.0)]))


def test_none_coordinates_become_zero():
    df = catalogue([("2024-01-01", 1.0, 2.0, 6.0), ("2024-01-02", 3.0, 4.0, 5.0)])
    df["lat"] = pd.Series([None, 3.0], index=df.index, dtype=object)
    out = assert_same(df)
    assert out["distance"].iloc[0] == pytest.approx(reference.geodesic((0.0, 2.0), STATION).kilometers)


@pytest.mark.parametrize(
    "station",
    [
        "40.47, 115.94",
        [40.47, 115.94],
        (95, 0),
        (40.0, 116.0, 1.0),
        (40.0, 116.0, 0.0),
        (math.nan, 0),
        (40, 200),
        (40, 116, 1, 2),
        None,
    ],
    ids=str,
)
def test_odd_stations(station):
    events = [
        ("2024-01-01", 39.0, 116.0, 5.0),
        ("2024-01-02", 95.0, 116.0, 5.0),
        ("2024-01-03", 30.0, 100.0, 5.0),
    ]
    assert_same(catalogue(events), station=station)


@pytest.mark.parametrize(
    "filters",
    [
        [(200, 3.0, 1)],
        [(200, 3.0), 5],
        [(200,)],
        [()],
        [(200, 3.0), "ab"],
        ((200, 3.0), (300, 4.0)),
        [("a", 3.0)],
        [(np.float32(150.5), np.int64(3))],
        [(True, 3)],
        [(10**30, 3)],
        [(300, None)],
        [],
    ],
    ids=str,
)
def test_odd_rules(filters):
    events = [("2024-01-01", *at_distance(100), 3.0), ("2024-01-02", *at_distance(250), 4.5)]
    assert_same(catalogue(events), filters=filters)


@pytest.mark.parametrize("missing", ["lat", "lon", "magnitude", "name"])
def test_missing_columns(missing):
    df = catalogue([("2024-01-01", 40.0, 116.0, 5.0)]).drop(columns=missing)
    (nat, _, _), (ref, _, _) = run_both(df)
    assert isinstance(nat, KeyError) and str(nat) == str(ref)


def test_frames_without_names_or_rows():
    out = assert_same(catalogue([("2024-01-01", 40.0, 116.0, 5.0)], names=False))
    assert out["text"].isna().all() and out["text"].dtype == pd.StringDtype(na_value=np.nan)
    assert_same(catalogue([]))
    assert_same(catalogue([("1960-01-01", 40.0, 116.0, 5.0)]))


def test_other_dtypes_follow_the_table_library():
    df = catalogue([("2024-01-01", 40.0, 116.0, 5.0), ("2024-01-02", 41.0, 117.0, 3.0)])
    assert_same(df.astype({"magnitude": "int64", "lat": "float32"}))
    assert_same(df.astype({"name": object}))
    assert_same(df.astype({"magnitude": "Float64"}))


def test_callers_frame_only_renamed():
    df = catalogue([("2024-01-01", 40.0, 116.0, 5.0)])
    before = df.copy()
    out = QCAT.filtered_qcats(df)
    assert df.index.name == "date" and out is not df
    pd.testing.assert_frame_equal(df, before.rename_axis("date"))


def test_patched_geodesic_is_used(monkeypatch):
    class Fixed:
        kilometers = 42.0

        def __init__(self, *points):
            pass

    monkeypatch.setattr(QCAT, "geodesic", Fixed)
    out = QCAT.filtered_qcats(catalogue([("2024-01-01", 10.0, 10.0, 5.0)]))
    assert out["distance"].iloc[0] == 42.0 and out["flag"].iloc[0] == 1


coordinate = st.one_of(
    st.floats(-100, 100),
    st.floats(-400, 400),
    st.sampled_from([0.0, -0.0, 90.0, -90.0, 180.0, -180.0, math.nan]),
)
events = st.lists(
    st.tuples(
        st.sampled_from(["2024-01-01", "1969-12-31", "1970-01-01", None, "2001-09-09 01:46:40"]),
        st.one_of(st.floats(-95, 95), coordinate),
        coordinate,
        st.one_of(st.floats(0, 9), st.floats()),
    ),
    max_size=15,
)
rules = st.lists(
    st.tuples(st.one_of(st.integers(0, 20000), st.floats(0, 20000)), st.floats(0, 8)), max_size=4
)


@settings(max_examples=200, deadline=None)
@given(
    events=events,
    filters=st.one_of(st.none(), rules),
    station=st.tuples(st.floats(-90, 90), st.floats(-180, 180)),
)
def test_random_events_equal_reference(events, filters, station):
    assert_same(catalogue(events), filters=filters, station=station)


@settings(max_examples=100, deadline=None)
@given(
    km=st.floats(0, 1000), tenths=st.integers(0, 20000), azimuth=st.floats(0, 360), limit=st.integers(1, 2000)
)
def test_events_on_the_edges_equal_reference(km, tenths, azimuth, limit):
    near_round = tenths / 10 + 0.05
    near_limit = float(limit)
    evs = [("2024-01-01", *at_distance(d, azimuth), 5.0) for d in (km, near_round, near_limit)]
    assert_same(catalogue(evs), filters=[(limit, 4.0), (near_round, 4.5)])


def test_python_backed_text_names():
    df = catalogue([("2024-01-01", 40.0, 116.0, 5.0)])
    df["name"] = df["name"].astype(pd.StringDtype("python", na_value=np.nan))
    assert_same(df)
