"""lumoreq.refinery against the pandas reference: resampling, the Hampel filter, normalised dates."""

import warnings
from datetime import datetime

import numpy as np
import pandas as pd
import pytest
import reference
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from lumoreq import refinery

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(fn, *args, **kwargs):
    """The result, or the exception's type and message, with warnings silenced."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return "ok", fn(*args, **kwargs)
        except Exception as e:  # noqa: BLE001 - the comparison is the point
            return "error", (type(e), str(e))


def assert_same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.dtype == b.dtype
    assert np.array_equal(a, b, equal_nan=True)
    assert np.array_equal(np.signbit(a), np.signbit(b))


# --- the Hampel filter -------------------------------------------------------------------------

# A small pool so that windows hold runs of equal values (MAD 0), both zeros, missing and
# infinite values, and values so large that the mean of two overflows.
POOL = [0.0, -0.0, 1.0, 2.0, 2.5, -3.0, 10.0, 1000.0, 0.1, 1e308, -1e308, np.nan, np.inf, -np.inf]
values = st.lists(st.one_of(st.sampled_from(POOL), st.floats(-1e6, 1e6, width=32)), max_size=60)
windows = st.one_of(st.integers(1, 20), st.sampled_from([15, 2, 4]))
factors = st.sampled_from([5.0, 3.0, 1.0, 0.5, 0.0, 2, np.inf, np.float32(2.5), np.int64(4), -1.0])


def filtered_pair(data, **kwargs):
    nat = outcome(refinery.filter_with_fast_mad, data.copy(), **kwargs)
    ref = outcome(reference.filter_with_fast_mad, data.copy(), **kwargs)
    return nat, ref


@SETTINGS
@given(values, windows, factors, st.sampled_from(["float64", "float32"]))
def test_filter_equals_reference_bit_for_bit(xs, window, factor, dtype):
    with np.errstate(over="ignore", invalid="ignore"):
        data = pd.Series(np.array(xs, dtype=dtype), name="OBSVALUE")
    nat, ref = filtered_pair(data, window_size=window, threshold_factor=factor)
    assert nat[0] == ref[0] == "ok", (nat, ref)
    pd.testing.assert_series_equal(nat[1], ref[1], check_exact=True)
    assert_same_bits(nat[1].to_numpy(), ref[1].to_numpy())
    # the jobs' array entry: the same values in a new array, the input untouched
    before = data.to_numpy().copy()
    filtered = refinery._filter_values(data.to_numpy(), window, factor)
    assert_same_bits(filtered, ref[1].to_numpy())
    assert_same_bits(data.to_numpy(), before)


@settings(max_examples=40, deadline=None)
@given(values, st.integers(1, 8))
def test_filter_frame_input_keeps_other_columns_and_the_input(xs, window):
    with np.errstate(over="ignore"):
        obs = np.array(xs, dtype="float32")
    frame = pd.DataFrame(
        {"OBSVALUE": obs, "STATIONID": "53001", "n": np.arange(len(xs))},
        index=pd.date_range("2024-01-01", periods=len(xs), freq="min", name="STARTDATE"),
    )
    before = frame.copy()
    out = refinery.filter_with_fast_mad(frame, window_size=window)
    assert out is not frame
    pd.testing.assert_frame_equal(frame, before, check_exact=True)
    pd.testing.assert_frame_equal(out, reference.filter_with_fast_mad(before, window), check_exact=True)


@pytest.mark.parametrize(
    "data, kwargs",
    [
        (pd.Series([1, 2, 3, 50, 5, 6, 7, 8], dtype="int64"), {"window_size": 3}),  # odd: integral medians
        (pd.Series([1, 2, 3, 50, 5, 6, 7, 8], dtype="int64"), {"window_size": 4}),  # even: 4.5 does not fit
        (pd.Series([1.0, 2.0, 3.0]), {"window_size": 0}),
        (pd.Series([1.0, 2.0, 3.0]), {"window_size": -1}),
        (pd.Series([1.0, 2.0, 3.0]), {"window_size": 2.0}),
        (pd.Series([1.0, 2.0, 3.0]), {"window_size": "2"}),
        (pd.Series([1.0, 2.0, 3.0]), {"threshold_factor": "5"}),
        (pd.Series(["a", "b", "c"], dtype=object), {"window_size": 2}),
        (pd.Series([1.0, None, 3.0, 4.0], dtype="Float64"), {"window_size": 2}),
        (pd.Series([np.nan] * 20), {}),
        (pd.Series([], dtype="float64"), {}),
        (pd.DataFrame({"x": [1.0]}), {}),
        (pd.DataFrame(), {}),
        (pd.Series([5.0] * 10 + [1e9] + [5.0] * 10, index=[0] * 21), {"window_size": 5}),  # duplicate labels
    ],
)
def test_filter_bad_and_unusual_inputs_match_the_reference(data, kwargs):
    nat, ref = filtered_pair(data, **kwargs)
    assert nat[0] == ref[0], (nat, ref)
    if nat[0] == "error":
        assert nat[1] == ref[1]
    elif isinstance(ref[1], pd.DataFrame):
        pd.testing.assert_frame_equal(nat[1], ref[1], check_exact=True)
    else:
        pd.testing.assert_series_equal(nat[1], ref[1], check_exact=True)


def test_filter_replaces_a_spike_and_nothing_else():
    data = pd.Series([10.0] * 30)
    data[15] = 1000.0
    out = refinery.filter_with_fast_mad(data)
    assert out.tolist() == [10.0] * 30
    assert data[15] == 1000.0


def test_filter_even_window_float32_keeps_dtype():
    data = pd.Series(np.array([1.0, 1.1, 1.3, 90.0, 1.7, 1.9, 2.3, 2.9], dtype="float32"))
    out = refinery.filter_with_fast_mad(data, window_size=4, threshold_factor=1.0)
    assert out.dtype == np.float32
    assert out[3] != data[3] and out[3] == np.float32((np.float64(data[2]) + np.float64(data[4])) / 2)


def test_value_exactly_at_the_threshold_is_kept():
    data = pd.Series([0.0, 1.0, 10.0, 3.0, 4.0])
    dev, mad = 7.0, 2.0 * 1.4826  # window 5 at the middle: median 3, MAD 2 * 1.4826
    factor = dev / mad
    while factor * mad != dev:
        factor = np.nextafter(factor, np.inf if factor * mad < dev else 0.0)
    assert refinery.filter_with_fast_mad(data, 5, factor)[2] == 10.0
    assert refinery.filter_with_fast_mad(data, 5, np.nextafter(factor, 0.0))[2] == 3.0
    pd.testing.assert_series_equal(
        refinery.filter_with_fast_mad(data, 5, factor), reference.filter_with_fast_mad(data, 5, factor)
    )


# --- fast_mad ------------------------------------------------------------------------------------


@SETTINGS
@given(
    st.lists(st.one_of(st.sampled_from(POOL), st.floats(allow_nan=True, width=32)), max_size=40),
    st.sampled_from(["float64", "float32", "list", "int64"]),
)
def test_fast_mad_equals_the_numpy_expression(xs, kind):
    if kind == "list":
        x = xs
    elif kind == "int64":
        x = np.array([v for v in xs if abs(v) < 1e15], dtype="float64").astype("int64")
    else:
        with np.errstate(over="ignore"):
            x = np.array(xs, dtype=kind)
    nat, ref = outcome(refinery.fast_mad, x), outcome(reference.fast_mad, x)
    assert nat[0] == ref[0]
    assert type(nat[1]) is type(ref[1])
    assert_same_bits(nat[1], ref[1])


def test_fast_mad_known_value():
    assert refinery.fast_mad(np.array([1.0, 2.0, 3.0, 4.0, 100.0])) == 1.4826
    assert np.isnan(refinery.fast_mad(np.array([1.0, np.nan, 3.0])))


# --- normalised dates ----------------------------------------------------------------------------

timestamps = st.lists(
    st.datetimes(min_value=datetime(1700, 1, 1), max_value=datetime(2250, 12, 31)),
    max_size=30,
)
years = st.one_of(
    st.integers(1, 9999), st.sampled_from([2024, 2023, 1900, 2000, 0, -4, 10000, np.int64(2023), True])
)


@SETTINGS
@given(timestamps, years, st.sampled_from(["s", "ms", "us", "ns"]), st.sampled_from([None, "Asia/Shanghai"]))
def test_normalized_dates_equal_reference(stamps, year, unit, tz):
    if unit == "ns":
        stamps = [s for s in stamps if 1678 < s.year < 2261]
    index = pd.DatetimeIndex(stamps).as_unit(unit)
    if tz:
        index = index.tz_localize(tz, ambiguous="NaT", nonexistent="NaT")
    index = index.dropna()
    frame = pd.DataFrame({"v": np.arange(len(index))}, index=index)
    nat_frame, ref_frame = frame.copy(), frame.copy()
    nat, ref = outcome(refinery.create_normalized_dates, nat_frame, year), outcome(
        reference.create_normalized_dates, ref_frame, year
    )
    assert nat[0] == ref[0], (nat, ref)
    if nat[0] == "ok":
        assert nat[1] is nat_frame
        pd.testing.assert_frame_equal(nat_frame, ref_frame, check_exact=True)
    else:
        assert nat[1] == ref[1]


@pytest.mark.parametrize(
    "index",
    [
        pd.Index(["2020-02-29 06:00", "2019-12-31"]),  # texts, parsed in place
        pd.Index(["not a date", "x"]),  # left alone
        pd.RangeIndex(3),  # integers are nanoseconds to pandas
        pd.DatetimeIndex(["2020-02-29", None]),  # a missing timestamp: the mapping's TypeError
        pd.DatetimeIndex([]),
        pd.Index([], dtype=object),
        pd.MultiIndex.from_tuples([(1, 2), (3, 4)]),
    ],
)
@pytest.mark.parametrize("year", [2024, 2023, 0])
def test_normalized_dates_unusual_indexes(index, year):
    frame = pd.DataFrame({"v": range(len(index))}, index=index)
    nat_frame, ref_frame = frame.copy(), frame.copy()
    nat = outcome(refinery.create_normalized_dates, nat_frame, year)
    ref = outcome(reference.create_normalized_dates, ref_frame, year)
    assert nat[0] == ref[0]
    if nat[0] == "ok":
        assert nat[1] is nat_frame
    else:
        assert nat[1] == ref[1]
    pd.testing.assert_frame_equal(nat_frame, ref_frame, check_exact=True)


def test_normalized_dates_examples_and_overwrite():
    frame = pd.DataFrame(
        {"datetime_norm": [0, 0, 0]},
        index=pd.to_datetime(["2023-02-28 13:45", "2020-02-29 06:00", "2019-12-31 23:59"]),
    )
    assert refinery.create_normalized_dates(frame) is frame
    assert frame["datetime_norm"].tolist() == list(pd.to_datetime(["2024-02-28", "2024-02-29", "2024-12-31"]))
    refinery.create_normalized_dates(frame, reference_year=1900)
    days = frame["datetime_norm"].dt.strftime("%Y-%m-%d").tolist()
    assert days == ["1900-02-28", "1900-02-28", "1900-12-31"]


@pytest.mark.parametrize("year, leap", [(2024, True), (2000, True), (1900, False), (2023, False), (0, True)])
def test_is_leap_year(year, leap):
    assert refinery._is_leap_year(year) is leap
    assert refinery._is_leap_year(year=np.int64(year)) == reference._is_leap_year(np.int64(year))


# --- resampling ----------------------------------------------------------------------------------

KEYS = ["53001", "53002", None]
FREQS = ["h", "D", "6h", "H", "2H", "30T", "min", "ME", "M", "W", "A-DEC", "Q-JAN", "45min", "bogus"]
AGGS = ["mean", "sum", "median", "max", "min", "avg"]


@st.composite
def series_tables(draw):
    n = draw(st.integers(0, 80))
    minutes = draw(st.lists(st.integers(0, 4 * 1440), min_size=n, max_size=n))
    obs = st.one_of(st.floats(-100, 100, width=32), st.just(np.nan))
    dtypes = st.sampled_from(["float32", "float64"])
    table = pd.DataFrame(
        {
            "SAMPLERATE": "01",
            "STARTDATE": pd.Timestamp("2024-02-27") + pd.to_timedelta(minutes, unit="min"),
            "STATIONID": draw(st.lists(st.sampled_from(KEYS), min_size=n, max_size=n)),
            "POINTID": draw(st.lists(st.sampled_from(["1", "2"]), min_size=n, max_size=n)),
            "ITEMID": "4112",
            "OBSVALUE": np.array(draw(st.lists(obs, min_size=n, max_size=n)), dtype=draw(dtypes)),
        }
    )
    if draw(st.booleans()):  # series in blocks, as the fetcher returns them
        table = table.sort_values(["STATIONID", "POINTID"], kind="stable")
    return table


@SETTINGS
@given(series_tables(), st.sampled_from(FREQS), st.sampled_from(AGGS))
def test_resample_equals_reference(table, freq, agg):
    before = table.copy()
    nat = outcome(refinery.resample_timeseries_data, table, freq, agg)
    ref = outcome(reference.resample_timeseries_data, before.copy(), freq, agg)
    pd.testing.assert_frame_equal(table, before, check_exact=True)
    assert nat[0] == ref[0], (nat, ref)
    if nat[0] == "error":
        assert nat[1] == ref[1]
    else:
        pd.testing.assert_frame_equal(nat[1], ref[1], check_exact=True, check_index_type=True)
        assert list(nat[1].columns) == ["STARTDATE", "OBSVALUE", "STATIONID", "POINTID", "ITEMID"]


def test_resample_empty_days_and_messages():
    t = pd.to_datetime(["2024-01-01 01:00", "2024-01-01 02:00", "2024-01-03 05:00"])
    table = pd.DataFrame(
        {"STARTDATE": t, "STATIONID": "1", "POINTID": "1", "ITEMID": "x", "OBSVALUE": [1.0, 2.0, 4.0]}
    )
    assert refinery.resample_timeseries_data(table, "D", "sum")["OBSVALUE"].tolist() == [3.0, 0.0, 4.0]
    assert np.isnan(refinery.resample_timeseries_data(table, "D")["OBSVALUE"][1])
    with pytest.raises(ValueError, match="^缺少必要的列: STATIONID$"):
        refinery.resample_timeseries_data(table.drop(columns=["STATIONID", "OBSVALUE"]), "D")
    with pytest.raises(ValueError, match="^缺少必要的列: OBSVALUE$"):
        refinery.resample_timeseries_data(table.drop(columns=["OBSVALUE"]), "D")
    with pytest.raises(ValueError, match="不支持的聚合方法"):
        refinery.resample_timeseries_data(table, "D", "avg")
    nat = outcome(refinery.resample_timeseries_data, table.iloc[:0], "D", "avg")
    assert nat[0] == "error"
    assert nat == outcome(reference.resample_timeseries_data, table.iloc[:0], "D", "avg")


def _small_table():
    t = pd.date_range("2024-01-01", periods=6, freq="20min")
    return pd.DataFrame({"STARTDATE": t, "STATIONID": "1", "POINTID": "1", "ITEMID": "x", "OBSVALUE": 1.0})


@pytest.mark.parametrize(
    "make, args",
    [
        (lambda: _small_table(), ("h", np.array(["mean", "sum"]))),  # a method whose == is not a bool
        (lambda: _small_table().iloc[:0], ("h", np.array(["mean", "sum"]))),
        (lambda: _small_table().assign(STARTDATE="not a time"), ("h",)),
        (lambda: _small_table().assign(STATIONID=[1, 1, 2, 2, 1, 1]), ("h", "sum")),  # integer keys
        (lambda: _small_table().assign(POINTID=pd.Categorical(["b", "a"] * 3)), ("h",)),
        (lambda: _small_table().assign(ITEMID=["x", 1, "x", 1, "x", 1]), ("h",)),  # mixed object keys
        (lambda: pd.concat([_small_table(), _small_table()[["OBSVALUE"]]], axis=1), ("h",)),  # two OBSVALUE
        (lambda: _small_table()["OBSVALUE"], ("h",)),
    ],
)
def test_resample_unusual_inputs_match_the_reference(make, args):
    nat = outcome(refinery.resample_timeseries_data, make(), *args)
    ref = outcome(reference.resample_timeseries_data, make(), *args)
    assert nat[0] == ref[0], (nat, ref)
    if nat[0] == "error":
        assert nat[1] == ref[1]
    else:
        pd.testing.assert_frame_equal(nat[1], ref[1], check_exact=True, check_index_type=True)


@pytest.mark.parametrize(
    "old, new, step",
    [("H", "h", "min"), ("2H", "2h", "min"), ("T", "min", "s"), ("S", "s", "ms"), ("L", "ms", "us"),
     ("U", "us", "ns"), ("N", "ns", "ns"), ("M", "ME", "h"), ("BM", "BME", "h"), ("Q", "QE", "D"),
     ("Q-JAN", "QE-JAN", "D"), ("A", "YE", "D"), ("Y", "YE", "D"), ("A-DEC", "YE-DEC", "D"),
     ("1H30T", "90min", "min")],
)
def test_old_frequency_aliases_mean_what_they_meant(old, new, step):
    t = pd.date_range("2023-12-30 23:00", periods=3000, freq=step)
    obs = np.arange(len(t), dtype="f4")
    table = pd.DataFrame({"STARTDATE": t, "STATIONID": "1", "POINTID": "1", "ITEMID": "x", "OBSVALUE": obs})
    native = refinery.resample_timeseries_data(table, old)
    pd.testing.assert_frame_equal(native, refinery.resample_timeseries_data(table, new), check_exact=True)
    pd.testing.assert_frame_equal(native, reference.resample_timeseries_data(table, old), check_exact=True)


@pytest.mark.parametrize(
    "keys, dtype",
    [([2**53, 2**53 + 1], "int64"), ([2**63 - 1, 2**63 - 2], "int64"), ([-(2**63), -(2**63) + 1], "int64"),
     ([2**64 - 1, 2**64 - 2], "uint64"), ([2**53 + 1, 2**53], "uint64")],
)
@pytest.mark.parametrize("order", ["blocks", "interleaved"])
def test_integer_keys_beyond_double_precision_stay_apart(keys, dtype, order):
    # two series whose keys are equal as doubles; the grouping compares them exactly
    n = 8
    station = np.array([keys[i // 4] if order == "blocks" else keys[i % 2] for i in range(n)], dtype=dtype)
    table = pd.DataFrame({
        "STARTDATE": pd.date_range("2024-01-01", periods=n, freq="3h"),
        "STATIONID": station, "POINTID": "1", "ITEMID": ["4112"] * n,
        "OBSVALUE": np.arange(n, dtype="float64"),
    })
    got = refinery.resample_timeseries_data(table, "D")
    pd.testing.assert_frame_equal(got, reference.resample_timeseries_data(table, "D"), check_exact=True)
    assert sorted(got["STATIONID"].tolist()) == sorted(keys)
    means = dict(zip(got["STATIONID"].tolist(), got["OBSVALUE"].tolist()))
    assert means[int(station[0])] == np.mean(np.arange(n)[station == station[0]])


@pytest.mark.parametrize("storage", ["chunked", "sliced", "object", "string", "categorical"])
def test_key_columns_of_every_storage_group_as_the_reference(storage):
    # keys that differ in their last byte or length only, empty, non-ASCII and missing, in runs
    values = ["53001", "53002", "5300", "", "台站", None]
    n = 36
    station = [values[i // 6] for i in range(n)]
    table = pd.DataFrame({
        "STARTDATE": pd.date_range("2024-01-01", periods=n, freq="2h"), "STATIONID": station,
        "POINTID": ["1", "2"] * (n // 2), "ITEMID": "4112", "OBSVALUE": np.arange(n, dtype="float32"),
    })
    if storage == "chunked":  # Arrow columns in several chunks, each of them sliced
        table = pd.concat([table.iloc[:10], table.iloc[10:23], table.iloc[23:]], ignore_index=True)
    elif storage == "sliced":
        table = pd.concat([table.iloc[:1], table], ignore_index=True).iloc[1:]
    else:
        table = table.astype({"STATIONID": {"object": object, "string": "string",
                                            "categorical": "category"}[storage]})
    ref = outcome(reference.resample_timeseries_data, table.copy(), "D")
    nat = outcome(refinery.resample_timeseries_data, table, "D")
    assert nat[0] == ref[0] == "ok"
    pd.testing.assert_frame_equal(nat[1], ref[1], check_exact=True, check_index_type=True)
    with pytest.warns(UserWarning, match=" 12 个序列"):  # 6 stations (a missing one too) x 2 points
        refinery.filter_with_fast_mad(table.set_index("STARTDATE"))


@pytest.mark.parametrize("agg, dtype", [("mean", "float32"), ("max", "float64"), ("sum", "float32")])
def test_many_series_come_back_in_key_order(agg, dtype):
    # 30 series in shuffled blocks, most of them in two separate runs, text keys whose order is
    # not their numbers' order, integer point keys, NaN in some series, gaps between samples
    rng = np.random.default_rng(11)
    blocks = []
    for s in range(30):
        t = pd.date_range("2024-01-01", periods=300, freq="7min") + pd.Timedelta(minutes=int(rng.integers(0, 90)))
        obs = rng.normal(0, 1, len(t)).astype(dtype)
        if s % 4 == 0:
            obs[5] = np.nan
        block = pd.DataFrame({"STARTDATE": t, "STATIONID": str(9 + s % 7 * 5), "POINTID": np.int64(s // 7),
                              "ITEMID": "4112", "OBSVALUE": obs})
        blocks += [block.iloc[:120], block.iloc[120:]] if s % 3 else [block]
    table = pd.concat([blocks[i] for i in rng.permutation(len(blocks))], ignore_index=True)
    nat = refinery.resample_timeseries_data(table, "h", agg)
    ref = reference.resample_timeseries_data(table, "h", agg)
    pd.testing.assert_frame_equal(nat, ref, check_exact=True, check_index_type=True)
    assert isinstance(nat.index, pd.RangeIndex)


@pytest.mark.parametrize("old, new", [("SM-15", "SME-15"), ("2SM-20", "2SME-20"), ("SM", "SME"),
                                      ("2SMS-20", "2SMS-20")])
def test_semi_month_alias_with_a_day_anchor(old, new):
    t = pd.date_range("2024-01-01", periods=24 * 70, freq="h")
    table = pd.DataFrame({"STARTDATE": t, "STATIONID": "1", "POINTID": "1", "ITEMID": "x",
                          "OBSVALUE": np.arange(len(t), dtype="f8")})
    got = refinery.resample_timeseries_data(table, old, "sum")
    pd.testing.assert_frame_equal(got, refinery.resample_timeseries_data(table, new, "sum"), check_exact=True)
    assert got["OBSVALUE"].sum() == table["OBSVALUE"].sum() and len(got) >= 3
    with pytest.raises(ValueError):  # a day anchor belongs to the semi-month aliases only
        refinery.resample_timeseries_data(table, "M-15")


def _two_series_frame():
    n = 40
    spike = np.full(n, 10.0)
    spike[10] = 1000.0
    return pd.DataFrame({
        "STATIONID": ["53001"] * 20 + ["53002"] * 20, "POINTID": "1", "ITEMID": "4112", "OBSVALUE": spike,
    }, index=pd.date_range("2024-01-01", periods=n, freq="min", name="STARTDATE"))


def test_filter_points_out_a_frame_of_several_series():
    mixed = _two_series_frame()
    with pytest.warns(UserWarning, match="filter_with_fast_mad.* 2 个序列") as caught:
        got = refinery.filter_with_fast_mad(mixed)
    assert len([w for w in caught if issubclass(w.category, UserWarning)]) == 1
    pd.testing.assert_frame_equal(got, reference.filter_with_fast_mad(mixed), check_exact=True)
    three = mixed.assign(ITEMID=["4112"] * 30 + ["4113"] * 10)
    with pytest.warns(UserWarning, match=" 3 个序列"):
        refinery.filter_with_fast_mad(three)
    missing_key = mixed.assign(POINTID=[None] * 20 + ["1"] * 20, STATIONID="53001")
    with pytest.warns(UserWarning, match=" 2 个序列"):
        refinery.filter_with_fast_mad(missing_key)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        one = mixed.assign(STATIONID="53001")
        refinery.filter_with_fast_mad(one)
        refinery.filter_with_fast_mad(mixed["OBSVALUE"])  # a series has no keys
        refinery.filter_with_fast_mad(mixed[["OBSVALUE"]])
        refinery.filter_with_fast_mad(one.iloc[:0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):  # a warning made an error by the caller stops the call
            refinery.filter_with_fast_mad(mixed)


# --- the module's surface ------------------------------------------------------------------------


def test_module_surface_docstrings_and_stub():
    import inspect
    import pathlib

    import lumoreq

    assert refinery.pd is pd and refinery.np is np
    assert refinery._is_leap_year.__doc__ == "检查是否为闰年"
    stub = (pathlib.Path(lumoreq.__file__).parent / "refinery.pyi").read_text()
    public = ["resample_timeseries_data", "fast_mad", "filter_with_fast_mad", "_is_leap_year"]
    for name in public + ["create_normalized_dates", "pd", "np", "datetime"]:
        assert name in stub
    assert inspect.isclass(refinery.datetime)
    s = pd.Series([1.0, 2.0])
    same = refinery.filter_with_fast_mad(df=s, window_size=1, threshold_factor=5.0)
    pd.testing.assert_series_equal(same, s)


def test_native_paths_run_side_by_side_in_threads():
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(2)
    series = [pd.Series(rng.normal(0, 1, 20_000).astype("float32")) for _ in range(4)]
    for s in series:
        s.iloc[::97] = 50.0
    stamps = pd.date_range("2019-01-01", periods=5000, freq="7h")
    frames = [pd.DataFrame({"v": 0}, index=stamps) for _ in range(4)]
    expected = [refinery.filter_with_fast_mad(s) for s in series]
    with ThreadPoolExecutor(4) as pool:
        filtered = list(pool.map(refinery.filter_with_fast_mad, series))
        dated = list(pool.map(refinery.create_normalized_dates, frames))
    for got, want in zip(filtered, expected):
        pd.testing.assert_series_equal(got, want, check_exact=True)
    assert all(f is d and "datetime_norm" in d for f, d in zip(frames, dated))
