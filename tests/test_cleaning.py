"""split_lines: packed rows to one row per sample, against the pandas reference."""

import logging
import threading

import numpy as np
import pandas as pd
import pytest
import reference
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from lumoreq import cleaning

# The reference's astype("float32") warns when a double overflows to inf; the native path
# gives the same inf without numpy's warning.
pytestmark = pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")

PY_STR = pd.StringDtype("python", na_value=np.nan)
T0 = pd.Timestamp("2024-01-01")


def frame(texts, starts=None, *, dtype=None, unit="us", index=None, **extra):
    """A fetched-looking frame: identifier columns, STARTDATE, OBSVALUE, more columns."""
    n = len(texts)
    if starts is None:
        starts = [T0 + pd.Timedelta(days=i) for i in range(n)]
    data = {
        "STATIONID": [f"5100{i % 3}" for i in range(n)],
        "STARTDATE": pd.DatetimeIndex(starts).as_unit(unit),
        "POINTID": [str(i % 2 + 1) for i in range(n)],
        "OBSVALUE": pd.Series(texts, dtype=dtype),
        "N": np.arange(n, dtype=np.int64),
    }
    data.update(extra)
    df = pd.DataFrame(data)
    if index is not None:
        df.index = index
    return df


def assert_same(ref, nat):
    """Equal frames, and float32 values equal bit for bit with NaN in the same places."""
    pd.testing.assert_frame_equal(ref, nat, check_exact=True)
    assert ref.index.dtype == nat.index.dtype and ref.index.name == nat.index.name
    assert ref.columns.dtype == nat.columns.dtype
    r, n = ref["OBSVALUE"].to_numpy(), nat["OBSVALUE"].to_numpy()
    assert n.dtype == np.float32
    np.testing.assert_array_equal(np.isnan(r), np.isnan(n))
    np.testing.assert_array_equal(r[~np.isnan(r)].view(np.uint32), n[~np.isnan(n)].view(np.uint32))


def outcome(fn, df, rate):
    try:
        return "ok", fn(df, rate)
    except Exception as e:  # the table library's exception, compared by type and message
        return type(e), str(e)


def assert_same_outcome(df, rate):
    ref = outcome(reference.split_lines, df.copy(deep=True), rate)
    nat = outcome(cleaning.split_lines, df.copy(deep=True), rate)
    assert ref[0] == nat[0], (ref, nat)
    if ref[0] == "ok":
        assert_same(ref[1], nat[1])
    else:
        assert ref[1] == nat[1]
    return nat


# --- the documented examples ---------------------------------------------------------------


@pytest.mark.parametrize(
    "rate, stamps",
    [
        (60, ["00:00", "00:01", "00:02"]),
        (60.0, ["00:00", "00:01", "00:02"]),
        (1, ["00:00:00", "00:00:01", "00:00:02"]),
        (3600, ["00:00", "01:00", "02:00"]),
        # A rate outside the unit table spaces the pieces that many seconds apart.
        (600, ["00:00", "00:10", "00:20"]),
        (30, ["00:00:00", "00:00:30", "00:01:00"]),
    ],
)
def test_pieces_get_their_own_times(rate, stamps):
    out = cleaning.split_lines(frame(["1.5 2.5 3.5"]), rate)
    assert list(out.index) == [pd.Timestamp(f"2024-01-01 {s}") for s in stamps]
    assert out.index.name == "STARTDATE"
    np.testing.assert_array_equal(out["OBSVALUE"].to_numpy(), np.array([1.5, 2.5, 3.5], np.float32))
    assert list(out.columns) == ["STATIONID", "POINTID", "N", "OBSVALUE"]
    assert "timespan" not in out.columns


@pytest.mark.parametrize("text, value", [("1.5 2.5 3.5", np.nan), ("7.25", 7.25), ("  7.25\t", 7.25)])
def test_daily_rows_are_not_split_and_the_frame_is_changed_in_place(text, value):
    df = frame([text, "8"], starts=[T0 + pd.Timedelta(days=1), T0])
    out = cleaning.split_lines(df, 86400)
    assert out is df
    assert list(df.index) == [T0, T0 + pd.Timedelta(days=1)]
    assert df.index.name == "STARTDATE" and "STARTDATE" not in df.columns
    assert df["OBSVALUE"].dtype == np.float32
    np.testing.assert_array_equal(df["OBSVALUE"].to_numpy(), np.array([8, value], np.float32))
    assert df["STATIONID"].tolist() == ["51001", "51000"]


def test_splitting_leaves_the_callers_frame_alone():
    df = frame(["1 2", "3"])
    before = df.copy(deep=True)
    out = cleaning.split_lines(df, 60)
    assert out is not df
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize(
    "text, values, offsets",
    [
        ("  1 2  ", [1, 2], [0, 1]),
        ("1  2", [1, np.nan, 2], [0, 1, 2]),  # two blanks: an empty piece in between
        ("1 x 3", [1, np.nan, 3], [0, 1, 2]),
        ("", [np.nan], [0]),
        ("\u3000 9 \u00a0", [9], [0]),  # Unicode blanks around the text are stripped
    ],
)
def test_pieces_and_blanks(text, values, offsets):
    out = cleaning.split_lines(frame([text]), 60)
    np.testing.assert_array_equal(out["OBSVALUE"].to_numpy(), np.array(values, np.float32))
    assert list(out.index) == [T0 + pd.Timedelta(minutes=k) for k in offsets]
    assert_same_outcome(frame([text]), 60)


def test_interleaved_rows_come_back_in_time_order_and_ties_keep_source_order():
    starts = [T0 + pd.Timedelta(seconds=30), T0, T0]
    out = cleaning.split_lines(frame(["10 11", "20 21", "30 31"], starts), 60)
    assert out["OBSVALUE"].tolist() == [20, 30, 10, 21, 31, 11]
    assert out["N"].tolist() == [1, 2, 0, 1, 2, 0]
    assert_same_outcome(frame(["10 11", "20 21", "30 31"], starts), 60)


@pytest.mark.parametrize("layout", ["series_major", "time_major", "shuffled", "tangled"])
def test_overlapping_series_keep_the_stable_time_order(layout):
    # Rows of many series whose times overlap and tie: day rows on a shared minute grid (series
    # one after another, or day by day), rows with shifted starts and lengths in random order,
    # and more overlapping rows at once than a merge takes.
    rng = np.random.default_rng(7)
    n_series, n_days = (300, 1) if layout == "tangled" else (12, 4)
    rows = [(s, d) for s in range(n_series) for d in range(n_days)]
    if layout == "time_major":
        rows.sort(key=lambda r: (r[1], r[0]))
    elif layout != "series_major":
        rng.shuffle(rows)
    shift = {r: int(rng.integers(0, 5)) if layout != "series_major" else 0 for r in rows}
    texts = [" ".join(str(s * 100 + k) for k in range(int(rng.integers(1, 9)))) for s, _ in rows]
    starts = [T0 + pd.Timedelta(minutes=8 * d + shift[(s, d)]) for s, d in rows]
    texts[3] = None  # a row without text is one sample too
    assert_same_outcome(frame(texts, starts), 60)


# --- differential properties against the reference -------------------------------------------

PIECES = st.one_of(
    st.sampled_from(
        ["", "nan", "NaN", "NAN", "inf", "-inf", "+inf", "Infinity", "-INFINITY", "+infinity", "infinit",
         "x", "1e", "1e+", ".", "-", "+", ".5", "5.", "-.5", "+.5", "-0", "+0", "0", "00012", "1_000",
         "0x10", "1d5", "\t7\n", "\x0b8\x0c", "1\x002", "\x00", "٣", "9" * 20, "-" + "9" * 19,
         "18446744073709551615", "18446744073709551616", "9223372036854775808", "-9223372036854775808",
         "-9223372036854775809", "9007199254740993", "+9007199254740993", "1e400", "-1e400", "1e-400",
         "2.4703282292062328e-324", "+0.000000000000000012345678901234567891", "1e\t5", "+1e\t5",
         "3.4028235e38", "3.4028236e38", "1.17549435e-38", "1.4e-45", "0.1", "16777217"]
    ),
    st.integers(-(2**70), 2**70).map(str),
    st.integers(-(2**70), 2**70).map(lambda i: f"+{i}" if i >= 0 else str(i)),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.floats(allow_nan=False, allow_infinity=False, width=32).map(lambda f: f"{f:.9g}"),
    st.builds(
        lambda sign, digits, point, exp: f"{sign}{digits[:point]}.{digits[point:]}{exp}",
        st.sampled_from(["", "-", "+"]),
        st.text("0123456789", min_size=1, max_size=25),
        st.integers(0, 25),
        st.sampled_from(["", "e5", "E-7", "e+300", "e-320", "e0", "e-45", "e38"]),
    ),
    st.text(st.characters(codec="utf-8", exclude_characters=" "), max_size=6),
)
BLANKS = st.sampled_from(["", " ", "\t", "\n ", "\u00a0", "\u2003", "\x1c", "\u3000 "])
ROW = st.one_of(
    st.builds(
        lambda lead, pieces, trail: lead + " ".join(pieces) + trail,
        BLANKS, st.lists(PIECES, max_size=8), BLANKS,
    ),
    st.none(),
)
RATES = st.sampled_from([1, 60, 3600, 86400, 600, 60.0, np.int64(60), 0, -60, 30, 7200, 0.5])
STARTS = st.sampled_from(
    [T0, T0 + pd.Timedelta(minutes=1), T0 + pd.Timedelta(seconds=1), T0 - pd.Timedelta(hours=3)]
)
DTYPES = st.sampled_from([None, object, PY_STR])


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    rows=st.lists(st.tuples(ROW, st.one_of(STARTS, st.just(pd.NaT))), min_size=1, max_size=6),
    rate=RATES,
    dtype=DTYPES,
    unit=st.sampled_from(["s", "ms", "us", "ns"]),
)
def test_matches_reference(rows, rate, dtype, unit):
    df = frame([r for r, _ in rows], [s for _, s in rows], dtype=dtype, unit=unit)
    assert_same_outcome(df, rate)


@settings(max_examples=150, deadline=None)
@given(pieces=st.lists(PIECES, min_size=1, max_size=12), dtype=DTYPES)
def test_numbers_match_the_library_column_by_column(pieces, dtype):
    # One piece per row and no split: whole texts converted as one column (integers and
    # floats decide the column's type together).
    df = frame(pieces, dtype=dtype)
    assert_same_outcome(df, 86400)
    assert_same_outcome(frame([" ".join(pieces)], dtype=dtype), 60)


@settings(max_examples=60, deadline=None)
@given(
    labels=st.lists(
        st.one_of(st.integers(-5, 50), st.text("abc", min_size=1, max_size=3)),
        min_size=1, max_size=5, unique=True,
    ),
    extra=st.sampled_from([{}, {"SAMPLERATE": "01"}, {"X": 1.5}]),
)
def test_row_labels_and_other_columns(labels, extra):
    texts = [f"{i} {i + 0.5}" for i in range(len(labels))]
    df = frame(texts, [T0] * len(labels), index=pd.Index(labels, dtype=object), **extra)
    assert_same_outcome(df, 60)


def _arrow_text(values, how):
    """A `str` column whose Arrow storage is plain, sliced out of a longer array, or in chunks."""
    import pyarrow as pa

    if how == "sliced":
        array = pa.array(["pad", *values, "pad"], type=pa.large_string()).slice(1, len(values))
    elif how == "chunked":
        array = pa.chunked_array([pa.array(values[:1], pa.string()), pa.array(values[1:], pa.string())])
    else:
        array = pa.array(values, type=pa.large_string())
    return pd.Series(pd.arrays.ArrowStringArray(array, dtype=pd.StringDtype("pyarrow", na_value=np.nan)))


@pytest.mark.parametrize("how", ["plain", "sliced", "chunked"])
@pytest.mark.parametrize("rate", [1, 60])
def test_text_columns_are_repeated_per_sample(how, rate):
    # missing, empty and non-ASCII texts beside numbers, objects and categories, in interleaved rows
    texts = ["1 2 3", "4 5", None, "6 7 8 9"]
    starts = [T0, T0 + pd.Timedelta(seconds=rate), T0, T0 + pd.Timedelta(seconds=rate)]
    df = frame(texts, starts, ITEM=_arrow_text(["4112", None, "", "昌平台 ✓"], how),
               OBJ=pd.Series(["a", None, 3, "d"], dtype=object), CAT=pd.Categorical(["x", "y", "x", None]))
    nat = assert_same_outcome(df, rate)[1]
    assert nat["ITEM"].dtype == "str" and nat["ITEM"].array._pa_array.type == "large_string"
    assert list(nat.columns) == ["STATIONID", "POINTID", "N", "ITEM", "OBJ", "CAT", "OBSVALUE"]


@pytest.mark.parametrize("numbers", ["decimals", "integers"])
def test_large_splits_cut_on_several_threads_match(numbers):
    # Enough samples for the split to be cut in time windows on several threads: overlapping
    # series with tied times, key texts missing, long and non-ASCII, a number column taken per
    # sample; integer-only values ("-0", beyond 2**53) make the column's type a joint decision.
    rng = np.random.default_rng(3)
    n_series, n_days, per_day = 5, 8, 1440
    rows = [(s, d) for d in range(n_days) for s in range(n_series)]
    if numbers == "integers":
        pool = np.array(["-0", "7", "-12", str(2**60 + 1), "0"])
    else:
        pool = np.array(["1.25", "-0.5", "x", "100.1234", "1e3", ""])
    texts = [" ".join(rng.choice(pool, per_day)) for _ in rows]
    starts = [T0 + pd.Timedelta(days=d, minutes=7 * (s % 2)) for s, d in rows]
    if numbers == "decimals":
        texts[4] = None
        starts[9] = pd.NaT
    keys = ["51001", None, "", "昌平地震台 ✓ a station with a long name", "4112"]
    df = frame(texts, starts, ITEM=_arrow_text([keys[s] for s, _ in rows], "plain"))
    assert_same_outcome(df, 60)


# --- bad input: the same outcome as the reference, never a crash ----------------------------

SD = pd.DatetimeIndex([T0, T0 + pd.Timedelta(days=1)])


@pytest.mark.parametrize("rate", [60, 86400])
@pytest.mark.parametrize(
    "df",
    [
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": pd.Series([b"1 2", b"3"], dtype=object)}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": [1.5, 2.0]}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": pd.Series(["1 2", 5], dtype=object)}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": pd.Series([None, "1"], dtype=object)}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": pd.Series([None, None], dtype=object)}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": ["1\x00 2", "\x003"]}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": pd.Series(["1 \ud800", "3"], dtype=object)}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": pd.Series(["1 2", None], dtype="string")}),
        pd.DataFrame({"STARTDATE": SD}),
        pd.DataFrame({"OBSVALUE": ["1", "2"]}),
        pd.DataFrame({"STARTDATE": ["2024-01-01", "x"], "OBSVALUE": ["1", "2"]}),
        pd.DataFrame({"STARTDATE": [1, 2], "OBSVALUE": ["1 2", "3"]}),
        pd.DataFrame({"STARTDATE": SD.tz_localize("Asia/Shanghai"), "OBSVALUE": ["1 2", "3"]}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": ["1 2", "3"]}, index=[7, 7]),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": ["1 2", "3"], "timespan": [1, 2]}),
        pd.DataFrame({"STARTDATE": SD, "OBSVALUE": ["1 2", "3"]}, 
                     index=pd.MultiIndex.from_tuples([(1, 2), (3, 4)])),
        pd.DataFrame({"STARTDATE": SD[:0], "OBSVALUE": pd.Series([], dtype=str)}),
        pd.DataFrame({"STARTDATE": pd.DatetimeIndex(["2262-04-11", "2024-01-01"]).as_unit("ns"),
                      "OBSVALUE": [" ".join(["1"] * 3000), "1"]}),
        pd.DataFrame({"STARTDATE": pd.DatetimeIndex(["9999-01-01", "2024-01-01"]).as_unit("s"),
                      "OBSVALUE": ["1 2", "1"]}),
    ],
    ids=["bytes", "floats", "mixed", "none", "all-none", "nul", "surrogate", "string-na", "no-obsvalue",
         "no-startdate", "text-startdate", "int-startdate", "tz-startdate", "repeated-labels",
         "timespan-column", "multiindex", "empty", "ns-overflow", "s-unit-far"],
)
def test_bad_input_same_outcome(df, rate):
    assert_same_outcome(df, rate)


@pytest.mark.parametrize("rate", [1, 60, 7])
@pytest.mark.parametrize("dtype", [object, PY_STR, "string"])
def test_missing_text_keeps_its_start_time(rate, dtype):
    # A row without text gives one NaN sample at its own start time, never at NaT.
    starts = [T0, T0 + pd.Timedelta(minutes=10), T0 + pd.Timedelta(seconds=30)]
    out = cleaning.split_lines(frame(["1 2", None, "3"], starts, dtype=dtype), rate)
    assert not out.index.hasnans and out.index.is_monotonic_increasing
    assert out.index.get_loc(T0 + pd.Timedelta(minutes=10)) is not None
    missing = out.loc[[T0 + pd.Timedelta(minutes=10)], "OBSVALUE"]
    assert len(missing) == 1 and np.isnan(missing.iloc[0])
    assert out["N"].tolist().count(1) == 1
    assert len(out) == 4


@pytest.mark.parametrize("rate", ["60", None, [1], np.nan, -(10**15), 10**30])
def test_odd_rates_same_outcome(rate):
    assert_same_outcome(frame(["1 2", "3"]), rate)


def test_a_row_of_millions_of_pieces():
    n = 2_000_000
    text = " ".join(["1.25", "x", "-3"] * (n // 3) + ["7"] * (n % 3))
    out = cleaning.split_lines(frame([text, "5"], [T0, T0 + pd.Timedelta(seconds=1)]), 1)
    assert len(out) == n + 1
    values = out["OBSVALUE"].to_numpy()
    # At 00:00:01 the first row's "x" comes before the second row's 5 (source order).
    assert values[0] == 1.25 and np.isnan(values[1]) and values[2] == 5 and values[3] == -3
    assert out.index[-1] == T0 + pd.Timedelta(seconds=n - 1)
    assert out.index.is_monotonic_increasing


# --- interface --------------------------------------------------------------------------------


def test_arguments():
    df = frame(["1 2"])
    assert_same(cleaning.split_lines(frame(["1 2"]), 60), cleaning.split_lines(df=df, sample_by_seconds=60))
    for args, kwargs in [((df,), {}), ((df, 60, 1), {}), ((df,), {"rate": 60}), ((), {})]:
        with pytest.raises(TypeError, match="split_lines"):
            cleaning.split_lines(*args, **kwargs)


def test_module_attributes_and_debug_log(caplog):
    assert cleaning.np is np and cleaning.pd is pd
    assert cleaning.logger is logging.getLogger("cleaning")
    public = {name for name in dir(cleaning) if not name.startswith("_")}
    assert public == {"np", "pd", "logger", "split_lines"}
    with caplog.at_level(logging.DEBUG, logger="cleaning"):
        cleaning.split_lines(frame(["1"]), 60)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("cleaning", logging.DEBUG, "Splitting data...")
    ]


def test_concurrent_calls_agree():
    frames = [frame([" ".join(str(i + k * 0.5) for k in range(500))] * 20) for i in range(4)]
    expected = [reference.split_lines(f.copy(deep=True), 60) for f in frames]
    results = [None] * len(frames)

    def work(i):
        for _ in range(5):
            results[i] = cleaning.split_lines(frames[i], 60)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(frames))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for ref, nat in zip(expected, results):
        assert_same(ref, nat)
