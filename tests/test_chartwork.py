"""TSPlotter: construction, style, preprocessing, axis set-up, saving, statistics, earthquakes."""

import logging
import warnings

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lumoreq.fetching
from lumoreq import chartwork


def metadata():
    stations = pd.DataFrame({"STATIONID": ["53001", "53002"], "STATIONNAME": ["怀来", "昌平/台"],
                             "LON": [115.5, 116.2], "LAT": [40.4, 40.2]})
    points = pd.DataFrame({"STATIONID": ["53001", "53002"], "POINTID": ["1", "2"]})
    items = pd.DataFrame({"ITEMID": ["3111", "4112", "3215"], "ITEMNAME": ["钻孔应变", "水位", "气压"],
                          "UNIT": ["10-9", "m", "hPa"]})
    return stations, points, items


@pytest.fixture
def plotter(monkeypatch):
    calls = []

    def fake_info(conn=None, cache_dir=None, refresh_cache=False):
        calls.append((conn, cache_dir, refresh_cache))
        return metadata()

    monkeypatch.setattr(lumoreq.fetching, "timeseries_info", fake_info, raising=False)
    p = chartwork.TSPlotter("conn", metadata_dir="/m", refresh_metadata=True)
    p.calls = calls
    yield p
    plt.close("all")


def series(values, start="2024-01-01", freq="h", **ids):
    idx = pd.date_range(start, periods=len(values), freq=freq, name="STARTDATE")
    df = pd.DataFrame({"OBSVALUE": np.asarray(values, dtype="float32")}, index=idx)
    for k, v in {"STATIONID": "53001", "POINTID": "1", "ITEMID": "3111", **ids}.items():
        df[k] = v
    return df


def test_constructor_loads_metadata_once(plotter):
    assert plotter.calls == [("conn", "/m", True)]
    assert plotter.conn == "conn" and list(plotter.items_table["ITEMID"])[:2] == ["3111", "4112"]
    assert list(plotter.stats_style) == ["mean_color", "std_color", "mean_linestyle", "std_linestyle",
                                         "mean_alpha", "std_alpha", "mean_linewidth", "std_linewidth"]
    assert type(plotter).__mro__[1:] == (object,)
    plotter.extra = 1  # a plain instance: attributes can be added


@pytest.mark.parametrize("result, message", [((1, 2), "not enough values"), ((1, 2, 3, 4), "too many values")])
def test_constructor_needs_three_tables(monkeypatch, result, message):
    monkeypatch.setattr(lumoreq.fetching, "timeseries_info", lambda conn, **kw: result, raising=False)
    with pytest.raises(ValueError, match=message):
        chartwork.TSPlotter()


def test_set_stats_style(plotter, caplog):
    plotter.set_stats_style(mean_color="b", foo=1, std_alpha=0.2)
    assert plotter.stats_style["mean_color"] == "b" and plotter.stats_style["std_alpha"] == 0.2
    assert "foo" not in plotter.stats_style
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == ["未知的统计线样式参数: foo"]


def test_process_data_zero_and_base(plotter):
    ts = series([1.0, 3.0, 5.0])
    out, base = plotter._process_data(ts)
    assert base == 3.0 and list(out["OBSVALUE"]) == [-2.0, 0.0, 2.0]
    assert list(ts["OBSVALUE"]) == [1.0, 3.0, 5.0]  # the caller's frame is untouched
    out, base = plotter._process_data(ts, set_zero=False)
    assert base == 3.0 and list(out["OBSVALUE"]) == [1.0, 3.0, 5.0]
    empty, base = plotter._process_data(ts.iloc[:0], reindex=True, resample="D")
    assert base == 0 and empty.empty


def test_process_data_daily_keeps_identifiers(plotter):
    ts = series(np.arange(48.0), freq="h", SAMPLERATE="60")
    daily, base = plotter._process_data(ts, set_zero=False, resample="D")
    assert list(daily.columns) == list(ts.columns)
    assert list(daily["OBSVALUE"]) == [11.5, 35.5]
    assert list(daily["STATIONID"]) == ["53001", "53001"] and list(daily["SAMPLERATE"]) == ["90", "90"]
    summed, _ = plotter._process_data(ts, set_zero=False, resample="sum", reindex=True)
    assert list(summed["OBSVALUE"]) == [276.0, 852.0] and len(summed) == 2
    same, _ = plotter._process_data(ts, set_zero=False, resample="W")
    assert len(same) == 48


def test_get_plot_type(plotter):
    assert plotter._get_plot_type(2, "line", ["stem", "scatter"]) == "line"
    assert plotter._get_plot_type(1, "line", ["stem", "scatter"]) == "scatter"
    assert plotter._get_plot_type(0, "line", ("stem", "scatter", "stem")) == "line"


@pytest.mark.parametrize("unit, label", [("10-9", "应变/$ 10^{-9} $"), ("ms", "$ 10^{-3} $角秒"),
                                         ("10-10", "应变/$ 10^{-10} $"), ("mm", "mm"), (None, "")])
def test_setup_axis(plotter, unit, label):
    fig, ax = plt.subplots()
    plotter._setup_axis(ax, "T", unit, [0, 1, 2], True, "x")
    assert ax.get_title() == "T" and ax.get_ylabel() == label and ax.get_xlabel() == "x"
    assert list(ax.get_yticks()) == [0, 1, 2] and ax.yaxis_inverted()


def test_save_figure_writes_and_closes(plotter, in_tmp_cwd, caplog):
    caplog.set_level(logging.INFO, logger="plotting")
    fig, _ = plt.subplots()
    plotter._save_figure(fig, "a", "pdf", 100)
    assert (in_tmp_cwd / "figures" / "a.pdf").exists()
    assert not plt.fignum_exists(fig.number)
    assert "Figure a.pdf has been saved to current folder." in caplog.messages


def test_plot_dispatch(plotter, caplog, monkeypatch):
    seen = []
    monkeypatch.setattr(type(plotter), "plot_by_stations", lambda self, ts, **kw: seen.append(kw) or ("f", "a"))
    assert plotter.plot("ts", groupby="Station", prefix="p", rainfall=1) == ("f", "a")
    assert seen == [{"prefix": "p", "fig_label": "", "xlabel": "", "rainfall": 1}]
    assert plotter.plot("ts", groupby="day") == (None, None)
    assert "不支持的分组方式: day" in [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]


def test_add_statistics(plotter, monkeypatch):
    fig, ax = plt.subplots()
    data = series([1.0, 2.0, 3.0])
    plotter.set_stats_style(mean_color="b")
    plotter._add_statistics(ax, data, show_mean=True, show_std=True, multiplier=3)
    mean, upper, lower = ax.lines
    assert mean.get_label() == "Mean" and mean.get_color() == "b" and mean.get_ydata()[0] == 2.0
    assert (upper.get_label(), lower.get_label()) == ("+3σ", "-3σ")
    assert upper.get_ydata()[0] == 5.0 and lower.get_ydata()[0] == -1.0 and upper.get_linestyle() == ":"
    calls = []
    monkeypatch.setattr(chartwork, "calculate_stats", lambda *a: calls.append(a) or {})
    plotter._add_statistics(ax, series([np.nan, np.nan]), True, True)
    plotter._add_statistics(ax, data.iloc[:0], True, True)
    assert calls == []
    plotter._add_statistics(ax, data)
    assert len(calls) == 1 and calls[0][1:] == ("OBSVALUE", 2.0)


def test_add_annotations(plotter):
    fig, ax = plt.subplots()
    plotter._add_annotations(ax, None)
    plotter._add_annotations(ax, [])
    assert len(ax.texts) == 0
    plotter._add_annotations(ax, [{"text": "a", "x": 1, "y": 2}, {"text": "b", "x": 0, "y": 0, "props": {"color": "g"}}])
    first, second = ax.texts
    assert first.get_text() == "a" and first.xy == (1, 2) and first.xyann == (10, 10)
    assert first.anncoords == "offset points" and first.arrowprops == {"arrowstyle": "->"}
    assert second.get_color() == "g"
    with pytest.raises(KeyError):
        plotter._add_annotations(ax, [{"text": "c", "x": 1}])
    with pytest.raises(TypeError):
        plotter._add_annotations(ax, [{"text": "c", "x": 1, "y": 1, "props": {"xytext": (1, 1)}}])


def quakes(distances):
    idx = pd.date_range("2024-01-01", periods=len(distances), freq="D")
    return pd.DataFrame({"distance": distances, "magnitude": 4.0, "size": 5.0,
                         "text": [f"地点{i}Ml4.0\n{d}km" for i, d in enumerate(distances)]}, index=idx)


@pytest.mark.parametrize("distances, limits", [([20.0, 120.0], (0, 170)), ([80.0, 400.0], (30, 450)),
                                               ([np.nan], (0, 300))])
def test_add_secondary_data_limits(plotter, distances, limits):
    fig, ax = plt.subplots()
    twin = plotter._add_secondary_data(ax, quakes(distances))
    assert twin.get_ylim() == limits and twin.get_ylabel() == "震中距(km)"
    assert len(twin.texts) == len(distances) and twin.texts[0].get_fontsize() == 8
    assert twin.texts[0].xyann == (5, 5) and twin.spines["right"].get_visible()


def test_add_secondary_data_missing_columns(plotter, caplog):
    fig, ax = plt.subplots()
    assert plotter._add_secondary_data(ax, quakes([10.0]).drop(columns=["size", "text"])) is None
    assert "缺少必要列: size, text" in caplog.messages
    assert plotter._add_secondary_data(ax, None) is None and len(fig.axes) == 1


# The base value and the shifted column come from a native summary of the values; they must be
# exactly what the table library's max() and min() give, type and bits (sign of zero included).
_edge_values = st.sampled_from([0.0, -0.0, np.nan, np.inf, -np.inf, 1e-45, -3.4e38, 2.5, -2.5])


@settings(max_examples=150, deadline=None)
@given(st.lists(st.one_of(_edge_values, st.floats(width=32, allow_nan=False, allow_infinity=False)),
                min_size=1, max_size=300),
       st.sampled_from(["float32", "float64", "Float64", "float64[pyarrow]"]))
def test_process_data_base_is_the_libraries_own(values, dtype):
    idx = pd.date_range("2024-01-01", periods=len(values), freq="min", name="STARTDATE")
    ts = pd.DataFrame({"OBSVALUE": pd.array(np.asarray(values, dtype="float64"), dtype=dtype),
                       "STATIONID": "53001"}, index=idx)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # inf - inf, as in the library
        out, base = _plotter_without_metadata()._process_data(ts)
        column = ts["OBSVALUE"]
        expected = (column.max() + column.min()) / 2
        shifted = column - expected
    assert type(base) is type(expected)
    if isinstance(expected, np.generic):
        assert np.asarray(base).tobytes() == np.asarray(expected).tobytes()
    else:
        assert (base is pd.NA and expected is pd.NA) or base == expected or (base != base and expected != expected)
    pd.testing.assert_series_equal(out["OBSVALUE"], shifted)


def _plotter_without_metadata():
    p = chartwork.TSPlotter.__new__(chartwork.TSPlotter)
    return p


def test_process_data_base_under_python_scalars():
    ts = series([1.0, 2.5, 4.0])
    with pd.option_context("future.python_scalars", True):
        column = ts["OBSVALUE"]
        expected = (column.max() + column.min()) / 2
        out, base = _plotter_without_metadata()._process_data(ts)
    assert type(base) is type(expected) and base == expected
