"""The reduced drawing of a long line series looks the same as drawing every point."""

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib import image

from lumoreq import chartwork, fetching, sample


def one_second_series(conn):
    """One strain channel's day of 1 Hz data, fetched from the sample network as an analyst would."""
    ts = fetching.fetching_data(conn, sample.START, sample.START, "形变", "全部", "秒钟值", "预处理库",
                                gzip_flag=True)
    assert ts is not None and len(ts)
    first = ts[["STATIONID", "POINTID", "ITEMID"]].iloc[0]
    one = ts[(ts["STATIONID"] == first["STATIONID"]) & (ts["POINTID"] == first["POINTID"])
             & (ts["ITEMID"] == first["ITEMID"])]
    assert len(one) == 86400
    return one


def draw(ts, conn, reduce, monkeypatch, tmp_path):
    monkeypatch.setattr(chartwork, "_display_reduction", reduce)
    plotter = chartwork.TSPlotter(conn=conn)
    prefix = "reduced" if reduce else "full"
    fig, axes = plotter.plot_by_items(ts, prefix=prefix)
    written = sorted((tmp_path / "figures").glob(f"{prefix}*_0.png"))
    assert len(written) == 1
    return image.imread(written[0]), len(axes[0].lines[0].get_xdata())


# a drawing test: the sample network's file is enough (the data-access tests cover the server)
@pytest.mark.parametrize("sample_conn", ["duckdb"], indirect=True)
def test_reduced_panel_matches_full_drawing(sample_conn, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    ts = one_second_series(sample_conn)
    full, n_full = draw(ts, sample_conn, False, monkeypatch, tmp_path)
    reduced, n_reduced = draw(ts, sample_conn, True, monkeypatch, tmp_path)
    plt.close("all")
    assert n_full == len(ts) and n_reduced < len(ts) / 4
    assert full.shape == reduced.shape
    differing = np.any(np.abs(full - reduced) > 0, axis=-1).mean()
    print(f"pixels differing: {differing:.4%} ({n_reduced} of {n_full} points drawn)")
    assert differing <= 0.005


# --- the kept samples, against a plain reading of the rule -------------------------------------

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402


def reference_keep(times, values, bins):
    """Columns floor((t - t0) * bins / span) in exact integers; per column and unbroken run the
    first, lowest, highest and last sample (first of equals); one NaN per gap."""
    times = [int(t) for t in times]
    n = len(times)
    if n == 0:
        return []
    bins = max(bins, 1)
    span = times[-1] - times[0]
    out, run, run_col, in_gap = [], None, None, False

    def flush():
        nonlocal run
        if run is not None:
            for p in sorted(set(run)):
                if not out or out[-1] != p:
                    out.append(p)
        run = None

    for i in range(n):
        col = 0 if span == 0 else min((times[i] - times[0]) * bins // span, bins - 1)
        if run is not None and col != run_col:
            flush()
        if np.isnan(values[i]):
            flush()
            if not in_gap:
                out.append(i)
            in_gap = True
            continue
        in_gap = False
        if run is None:
            run, run_col = [i, i, i, i], col  # first, lowest, highest, last
            continue
        run[3] = i
        if values[i] < values[run[1]]:
            run[1] = i
        if values[i] > values[run[2]]:
            run[2] = i
    flush()
    return out


series = st.integers(0, 400).flatmap(lambda n: st.tuples(
    st.lists(st.integers(0, 5), min_size=n, max_size=n),  # steps between times (repeats allowed)
    st.lists(st.one_of(st.floats(-1e6, 1e6, width=32), st.just(float("nan"))), min_size=n, max_size=n),
    st.integers(1, 64),
    st.integers(-2**62, 2**62 - 10_000),
))


@settings(max_examples=300, deadline=None)
@given(series, st.sampled_from(["float32", "float64"]))
def test_kept_samples_follow_the_rule(case, dtype):
    steps, values, bins, start = case
    times = np.asarray(start + np.cumsum(steps), dtype="int64") if steps else np.zeros(0, "int64")
    values = np.asarray(values, dtype=dtype)
    kept = chartwork._reduce_indices(times, values, bins)
    assert kept.tolist() == reference_keep(times, values, bins)


def test_columns_are_exact_across_the_whole_time_range():
    # Nanosecond stamps spanning centuries: (t - t0) * bins overflows 64 bits, the columns may not drift.
    times = np.array([-2**62, -2**61, 0, 2**61 + 7, 2**62], dtype="int64")
    values = np.arange(5, dtype="float64")
    for bins in (1, 2, 3, 4, 7, 1000, 2**40):
        assert chartwork._reduce_indices(times, values, bins).tolist() == reference_keep(times, values, bins)


def test_reduction_keeps_extremes_ends_and_gaps():
    rng = np.random.default_rng(3)
    n = 200_000
    times = np.arange(n, dtype="int64") * 1_000_000_000
    values = rng.normal(size=n).astype("float32")
    values[5000:5100] = np.nan
    values[-3:] = np.nan
    kept = chartwork._reduce_indices(times, values, 600)
    assert len(kept) <= 4 * 600 + 2
    assert {0, int(np.nanargmin(values)), int(np.nanargmax(values)), 5000, n - 4, n - 3} <= set(kept.tolist())
    assert not np.isnan(values[kept[0]]) and np.all(np.diff(kept) > 0)


def test_reduction_refuses_unordered_times():
    with pytest.raises(ValueError):
        chartwork._reduce_indices(np.array([2, 1], dtype="int64"), np.zeros(2, "float64"), 4)
    with pytest.raises(ValueError):
        chartwork._reduce_indices(np.array([np.iinfo("int64").min, 1], dtype="int64"), np.zeros(2), 4)
