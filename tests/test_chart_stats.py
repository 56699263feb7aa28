"""calculate_stats answers exactly what pandas answers: the same bits (NaN and the sign of zero
included), the same scalar types, the same warnings, for every dtype and data shape."""

import warnings

import numpy as np
import pandas as pd
import pytest
import reference
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from lumoreq import chartkit

KEYS = ["mean", "median", "std", "min", "max", "lower_limit", "upper_limit"]


def _bits(x):
    return np.asarray(x).dtype.str, np.asarray(x).tobytes()


def _call_recording(fn, df, *args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = fn(df, *args)
    return out, [(w.category, str(w.message)) for w in caught]


def assert_same_stats(df, *args):
    """Native and plain pandas agree key by key: order, type, bits, and the warnings on the way;
    or both fail alike."""
    try:
        want, want_warnings = _call_recording(reference.calculate_stats, df, *args)
    except Exception as e:  # noqa: BLE001 - whatever pandas raises, calculate_stats must raise
        with pytest.raises(type(e)) as info:
            chartkit.calculate_stats(df, *args)
        assert str(info.value) == str(e)
        return
    got, got_warnings = _call_recording(chartkit.calculate_stats, df, *args)
    assert list(got) == KEYS
    for key in KEYS:
        assert type(got[key]) is type(want[key]), key
        assert _bits(got[key]) == _bits(want[key]), (key, got[key], want[key])
    assert sorted(got_warnings, key=str) == sorted(want_warnings, key=str)


def _frame(values, dtype):
    return pd.DataFrame({"OBSVALUE": np.asarray(values, dtype=dtype)})


NAN_PATTERNS = {
    "none": lambda v, rng: None,
    "all": lambda v, rng: v.fill(np.nan),
    "leading": lambda v, rng: v.__setitem__(slice(None, len(v) // 3 + 1), np.nan),
    "trailing": lambda v, rng: v.__setitem__(slice(len(v) - len(v) // 3 - 1, None), np.nan),
    "scattered": lambda v, rng: v.__setitem__(rng.random(len(v)) < 0.1, np.nan),
    "half": lambda v, rng: v.__setitem__(slice(None, None, 2), np.nan),
}
# Lengths around the summation blocks (8 accumulators, 128-value blocks, 8192-value cast buffers)
# and past the direct selection of the median.
LENGTHS = [0, 1, 2, 3, 7, 8, 9, 16, 127, 128, 129, 255, 256, 257, 8191, 8192, 8193, 16384, 16385, 40_001]


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("n", LENGTHS)
@pytest.mark.parametrize("pattern", list(NAN_PATTERNS))
def test_lengths_and_nan_patterns(dtype, n, pattern):
    rng = np.random.default_rng(n * 7 + len(pattern))
    values = (rng.standard_normal(n) * 3.7 + 1234.5).astype(dtype)
    NAN_PATTERNS[pattern](values, rng)
    assert_same_stats(_frame(values, dtype))


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize(
    "make",
    [
        lambda rng, n: rng.uniform(-1, 1, n) * np.exp(rng.uniform(-80, 80, n)),  # huge and tiny
        lambda rng, n: np.cumsum(rng.standard_normal(n)) * 1e-3,  # a drifting series
        lambda rng, n: rng.integers(-3, 4, n).astype(float),  # many ties, exact zeros
        lambda rng, n: rng.choice([0.0, -0.0, 1.0], n),  # both zeros at the minimum
        lambda rng, n: -rng.choice([0.0, -0.0, 1.0], n),  # both zeros at the maximum
        lambda rng, n: rng.choice([0.0, -0.0], n),  # nothing but zeros
        lambda rng, n: rng.choice([-0.0, 1.0], n),  # one kind of zero at the minimum
        lambda rng, n: np.where(rng.random(n) < 0.02, np.inf, rng.standard_normal(n)),
        lambda rng, n: np.where(rng.random(n) < 0.02, -np.inf, rng.standard_normal(n)),
        lambda rng, n: rng.choice([np.inf, -np.inf, 1.0], n),  # inf - inf in every sum
        lambda rng, n: np.full(n, 3e38),  # float32 sums overflow
        lambda rng, n: np.full(n, 1e300),  # float64 squares overflow
        lambda rng, n: rng.standard_normal(n) * 1e-200,  # float64 squares underflow
        lambda rng, n: rng.standard_normal(n) * 1e-30,  # float32 variance underflows in the cast
        lambda rng, n: 1.0 + rng.integers(0, 50, n) * np.finfo(np.float64).eps,  # low bits differ
        lambda rng, n: np.full(n, 7.25),  # constant
    ],
    ids=["magnitudes", "drift", "ties", "zeros-min", "zeros-max", "zeros", "negative-zero", "inf", "-inf",
         "inf-inf", "f32-overflow", "f64-overflow", "f64-underflow", "f32-underflow", "low-bits", "constant"],
)
@pytest.mark.parametrize("n", [1, 2, 5, 130, 9000, 70_001])
def test_special_values(dtype, make, n):
    rng = np.random.default_rng(n)
    with np.errstate(all="ignore"):
        values = np.asarray(make(rng, n), dtype=dtype)
    assert_same_stats(_frame(values, dtype))
    if n > 2:
        values[rng.random(n) < 0.2] = np.nan
        assert_same_stats(_frame(values, dtype))


def _sample_fooling(rng, n):
    # Every position a 16384-point even sample would read holds the smallest value, so a
    # median bracketed from such a sample alone would be wrong.
    v = rng.standard_normal(n) + 10.0
    v[:: n // 16384] = -5.0
    return v


@pytest.mark.parametrize("dtype", ["float32", "float64", "int64"])
@pytest.mark.parametrize(
    "make",
    [
        lambda rng, n: rng.standard_normal(n) * 50,
        lambda rng, n: np.sort(rng.standard_normal(n)),
        lambda rng, n: np.sin(np.arange(n) / 700.0) * 1e3,
        lambda rng, n: rng.integers(-2, 3, n).astype(float),  # ties around the median
        lambda rng, n: np.where(np.arange(n) < n // 2, 1.0, 2.0),  # the middle pair straddles a jump
        _sample_fooling,
    ],
    ids=["normal", "sorted", "periodic", "ties", "step", "sample-fooling"],
)
@pytest.mark.parametrize("n", [131_073, 300_000])
def test_long_series_median(dtype, make, n):
    rng = np.random.default_rng(n)
    values = make(rng, n)
    if dtype != "int64":
        values = values.astype(dtype)
        assert_same_stats(_frame(values, dtype))
        values[rng.random(n) < 0.3] = np.nan
    assert_same_stats(_frame(values, dtype))


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("seed", range(12))
def test_long_series_with_both_zeros_in_the_middle(dtype, seed):
    # The middle ranks fall among zeros of both signs, which compare equal as numbers but not
    # as bit patterns; several of these seeds put them in either order around the median.
    rng = np.random.default_rng(seed)
    values = rng.choice([-1.0, -0.0, 0.0, 1.0], 131_073, p=[0.1, 0.4, 0.4, 0.1]).astype(dtype)
    assert_same_stats(_frame(values, dtype))


@pytest.mark.parametrize("dtype", ["float32", "float64", "int64"])
@pytest.mark.parametrize("n", [5, 8193, 20_000, 140_000])
def test_strided_columns(dtype, n):
    # Columns of a frame over a row-major 2-D array, and every other row of a frame, are views
    # with a stride; pandas reduces them in the same order as a contiguous copy.
    rng = np.random.default_rng(n)
    if dtype == "int64":
        block = rng.integers(2**61, 2**62, (n, 3))
    else:
        block = (rng.standard_normal((n, 3)) * 1e3 + 1e5).astype(dtype)
        block[rng.random((n, 3)) < 0.05] = np.nan
    wide = pd.DataFrame(block, columns=["a", "OBSVALUE", "c"], copy=False)
    every_other = pd.DataFrame({"OBSVALUE": block[:, 0]}).iloc[::2]
    for df in (wide, every_other, wide.iloc[::-1]):
        assert not df["OBSVALUE"].to_numpy().flags.c_contiguous
        assert_same_stats(df)


@pytest.mark.parametrize(
    "values", [np.full(64, 1e300), np.full(64, 1e-200), [np.inf, -np.inf], [1e308, 1e308, -1e308]]
)
@pytest.mark.parametrize("mode", ["raise", "ignore", "warn"])
def test_numpy_error_state_is_honoured(values, mode):
    with np.errstate(all=mode):
        assert_same_stats(_frame(values, "float64"))


@settings(max_examples=150, deadline=None)
@given(
    hnp.arrays(
        st.sampled_from([np.float32, np.float64]),
        st.integers(0, 300),
        elements=st.one_of(
            st.floats(allow_nan=True, allow_infinity=True, width=32),
            st.sampled_from([0.0, -0.0, np.nan, 1.0, -1.0]),
        ),
    ),
    st.one_of(st.floats(0, 5), st.integers(0, 4)),
)
def test_matches_pandas_on_any_float_array(values, multiplier):
    assert_same_stats(pd.DataFrame({"v": values}), "v", multiplier)


@pytest.mark.parametrize("n", [0, 1, 2, 9, 130, 8191, 8192, 8193, 12_289, 50_000])
def test_int64_long(n):
    rng = np.random.default_rng(n)
    # Values this large are rounded on conversion and in every partial sum, so the mean shows
    # the exact summation order (cast buffers of 8192 values).
    assert_same_stats(_frame(rng.integers(2**61, 2**62, n), "int64"))
    assert_same_stats(_frame(rng.integers(-(2**62), 2**62, n), "int64"))
    assert_same_stats(_frame(rng.integers(0, 3, n), "int64"))


@pytest.mark.parametrize(
    "df",
    [
        pd.DataFrame({"OBSVALUE": pd.array([1.5, None, 2.25, 8.0], dtype="Float64")}),
        pd.DataFrame({"OBSVALUE": pd.array([1.5, None, 2.25, 8.0], dtype="double[pyarrow]")}),
        pd.DataFrame({"OBSVALUE": pd.array([3, None, 4], dtype="Int64")}),
        pd.DataFrame({"OBSVALUE": np.array([1.5, 2.5, np.nan, 7.0], dtype=object)}),
        _frame([1.5, 2.5, np.nan, 7.0], np.float16),
        _frame([1.5, 2.5, np.nan, 7.0], ">f4"),
        _frame([1, 2, 7, 4], np.int32),
        _frame([1, 2, 7, 4], np.uint64),
        _frame([True, False, True], bool),
    ],
    ids=["Float64", "pyarrow", "Int64", "object", "float16", "big-endian", "int32", "uint64", "bool"],
)
def test_other_dtypes_and_layouts_take_pandas_answers(df):
    assert_same_stats(df)


@pytest.mark.parametrize("option", ["future.python_scalars", "future.distinguish_nan_and_na"])
def test_pandas_future_options(option):
    with pd.option_context(option, True):
        assert_same_stats(_frame([1.0, 2.5, np.nan, 4.0], "float32"))


def test_bottleneck_switch_sends_everything_to_pandas(monkeypatch):
    # pandas picks bottleneck at call time from this flag; with the flag on the native pass must
    # stand aside, so both sides fail or succeed alike (bottleneck is absent here).
    from pandas.core import nanops

    monkeypatch.setattr(nanops, "_USE_BOTTLENECK", True)
    assert_same_stats(_frame([1.0, 2.0, 4.0], "float64"))


def test_series_subclass_keeps_its_own_reductions():
    class Tagged(pd.Series):
        def mean(self, *args, **kwargs):
            return 42.0

    class TaggedFrame(pd.DataFrame):
        @property
        def _constructor_sliced(self):
            return Tagged

    assert chartkit.calculate_stats(TaggedFrame({"OBSVALUE": np.ones(3, dtype="float32")}))["mean"] == 42.0


@pytest.mark.parametrize("dtype", ["float32", "float64", "int64"])
@pytest.mark.parametrize("step", [1, 3])
def test_plain_columns_are_answered_without_pandas_reductions(dtype, step, monkeypatch):
    df = _frame(np.arange(1000) % 17 * 3 - 20, dtype).iloc[::step]
    want = reference.calculate_stats(df)

    def refuse(*args, **kwargs):
        raise AssertionError("pandas reduction called")

    for name in ["mean", "median", "std", "min", "max"]:
        monkeypatch.setattr(pd.Series, name, refuse)
    got = chartkit.calculate_stats(df)
    assert [_bits(got[k]) for k in KEYS] == [_bits(want[k]) for k in KEYS]
