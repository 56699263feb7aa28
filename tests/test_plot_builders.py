"""The multi-panel builders, the facade and the display reduction, checked through the returned
figures, the files written and the log."""

import logging

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from test_chartwork import metadata, series

import lumoreq.fetching
import lumoreq.QCAT
from lumoreq import chartwork, plotting


@pytest.fixture
def plotter(monkeypatch, in_tmp_cwd):
    monkeypatch.setattr(lumoreq.fetching, "timeseries_info", lambda conn=None, **kw: metadata(), raising=False)
    yield chartwork.TSPlotter()
    plt.close("all")


def table(pairs, item="3111", n=48):
    return pd.concat([series(np.sin(np.arange(n) / 5.0) + i, STATIONID=s, POINTID=p, ITEMID=item)
                      for i, (s, p) in enumerate(pairs)])


def warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING and r.name == "plotting"]


def test_items_split_into_figures(plotter, in_tmp_cwd):
    pairs = [("53001", str(i)) for i in range(9)]
    fig, axes = plotter.plot_by_items(table(pairs), number_of_subplots=7, fig_height=1.5)
    assert len(axes) == 2 and tuple(fig.get_size_inches()) == (10, 3)
    files = sorted(p.name for p in (in_tmp_cwd / "figures").iterdir())
    assert files == ["3111钻孔应变_0.png", "3111钻孔应变_1.png"]
    assert axes[0].get_title() == "怀来/7/钻孔应变/base=7.0" and axes[0].get_ylabel() == "应变/$ 10^{-9} $"


def test_items_titles_ticks_and_excluded_codes(plotter, in_tmp_cwd, caplog):
    ts = pd.concat([table([("53001", "1"), ("99999", "3")]), table([("53001", "1")], item="3128")])
    fig, axes = plotter.plot_by_items(ts, show_mean=True, set_zero=False)
    titles = [a.get_title() for a in axes]
    # A station missing from the metadata is named by its identifier.
    assert titles == ["怀来/1/钻孔应变/base=0.0", "99999/3/钻孔应变/base=1.0"]
    values = ts[ts.STATIONID == "53001"].OBSVALUE
    assert list(axes[0].get_yticks()) == pytest.approx([values.min(), (values.min() + values.max()) / 2,
                                                        values.max()])
    assert [line.get_label() for line in axes[0].lines] == ["怀来/1/钻孔应变", "Mean"]
    assert not any("3128" in p.name for p in (in_tmp_cwd / "figures").iterdir())


def test_items_missing_metadata_and_empty_window(plotter, caplog):
    ts = table([("53001", "1")], item="7777")
    assert plotter.plot_by_items(ts) == (None, None)
    assert warnings(caplog) == ["未找到测项信息: 7777"]
    caplog.clear()
    fig, axes = plotter.plot_by_items(table([("53001", "1"), ("53002", "2")]), start_time="2030-01-01")
    assert warnings(caplog) == ["53001-1 数据为空!", "53002-2 数据为空!"] and len(axes[0].lines) == 0


def test_open_ended_window(plotter):
    ts = table([("53001", "1")])
    _, axes = plotter.plot_by_items(ts, start_time="2024-01-02")
    x = axes[0].lines[0].get_xdata()
    assert pd.Timestamp(x[0]) == pd.Timestamp("2024-01-02") and pd.Timestamp(x[-1]) == ts.index[-1]
    _, axes = plotter.plot_by_items(ts, end_time="2024-01-01 05:00")
    assert len(axes[0].lines[0].get_xdata()) == 6


def test_missing_keys_are_reported(plotter, caplog):
    ts = table([("53001", "1"), ("53001", "2")])
    ts.loc[ts.POINTID == "2", "POINTID"] = np.nan
    fig, axes = plotter.plot_by_items(ts)
    assert len(axes) == 2 and "未找到数据: 53001-nan" in warnings(caplog)


def test_plot_types(plotter):
    _, axes = plotter.plot_by_items(table([("53001", "1"), ("53001", "2"), ("53001", "3")]),
                                    plot_types=["stem", "scatter", "bogus"])
    assert len(axes[0].containers) == 1 and len(axes[1].collections) == 1 and len(axes[2].lines) == 1


def test_unsafe_names_stay_in_figures(plotter, in_tmp_cwd, monkeypatch):
    stations, points, items = metadata()
    items.loc[0, "ITEMNAME"] = "../../x/应变"
    monkeypatch.setattr(plotter, "items_table", items)
    plotter.plot_by_items(table([("53002", "2")]), prefix="a/b")
    plotter.plot_by_stations(table([("53002", "2")]))
    assert sorted(p.name for p in (in_tmp_cwd / "figures").iterdir()) == [
        "__53002_昌平_台_2.png", "a_b3111.._.._x_应变_0.png"]
    assert [p.name for p in in_tmp_cwd.iterdir()] == ["figures"]


def test_earthquakes_are_drawn_on_a_distance_axis(plotter, monkeypatch, caplog):
    catalogue = pd.DataFrame({"lon": [115.6, 100.0], "lat": [40.5, 30.0], "magnitude": [4.0, 6.0],
                              "name": ["怀来", "远处"]},
                             index=pd.to_datetime(["2024-01-01 12:00", "2024-01-01 13:00"]))
    seen = {}

    def fake_filter(df, station=None, filters=None):
        seen.update(station=station, filters=filters)
        out = df.copy()
        out["distance"], out["flag"], out["size"] = [12.0, 1500.0], [1, 0], [5.0, 15.0]
        out["text"] = out["name"] + "Ml"
        return out

    monkeypatch.setattr(lumoreq.QCAT, "read_QCAT", lambda path: catalogue, raising=False)
    monkeypatch.setattr(lumoreq.QCAT, "filtered_qcats", fake_filter, raising=False)
    caplog.set_level(logging.INFO, logger="plotting")
    fig, axes = plotter.plot_by_items(table([("53001", "1")]), qcat_dir="cat.txt", qcat_filters=[(200, 3.0)])
    assert "成功读取地震目录: cat.txt" in caplog.messages
    assert seen == {"station": (40.4, 115.5), "filters": [(200, 3.0)]}
    twin = [a for a in fig.axes if a is not axes[0]][0]
    assert twin.get_ylim() == (0, 62.0) and [t.get_text() for t in twin.texts] == ["怀来Ml"]


def test_catalogue_errors_are_logged(plotter, monkeypatch, caplog):
    def broken(path):
        raise FileNotFoundError("no such file")

    monkeypatch.setattr(lumoreq.QCAT, "read_QCAT", broken, raising=False)
    fig, axes = plotter.plot_by_items(table([("53001", "1")]), qcat_dir="missing.txt")
    assert fig is not None and len(fig.axes) == 1
    assert "读取地震目录出错: no such file" in caplog.messages
    monkeypatch.setattr(lumoreq.QCAT, "read_QCAT", lambda p: "not a frame", raising=False)
    plotter.plot_by_items(table([("53001", "1")]), qcat_dir="x")
    assert any(m.startswith("处理地震数据时出错: ") for m in caplog.messages)


def test_bad_tables(plotter):
    with pytest.raises(KeyError):
        plotter.plot_by_items(table([("53001", "1")]).drop(columns=["ITEMID"]))
    with pytest.raises(KeyError):
        plotter.plot_by_stations(table([("53001", "1")]).drop(columns=["STATIONID"]))
    empty = table([("53001", "1")]).iloc[:0]
    assert plotter.plot_by_items(empty) == (None, None) and plotter.plot_by_stations(empty) == (None, None)


def test_stations_panels_rainfall_and_excluded_items(plotter, in_tmp_cwd, caplog):
    ts = pd.concat([table([("53001", "1")], item=i) for i in ["4112", "3111", "3215", "3216"]])
    rain = pd.Series([0.0, 5.0, 12.0], index=pd.date_range("2023-12-31", periods=3, freq="D"))
    fig, axes = plotter.plot_by_stations(ts, rainfall=rain.to_frame("rain"), fig_label="L")
    assert [a.get_title() for a in axes] == ["怀来/1/钻孔应变/base=0.0", "怀来/1/水位/base=0.0", "降雨量"]
    assert axes[2].get_ylabel() == "mm"
    bars = axes[2].patches
    # Bars at their real dates, only within the span of the data drawn above.
    assert len(bars) == 2 and axes[2].get_xlim()[0] > 19000
    assert [p.name for p in (in_tmp_cwd / "figures").iterdir()] == ["_L_53001_怀来_1.png"]
    caplog.clear()
    assert plotter.plot_by_stations(table([("53001", "1")], item="3215")) == (None, None)
    assert warnings(caplog) == ["没有可绘制的测项: 53001-1"]


def test_stations_daily_values(plotter):
    ts = table([("53001", "1")], n=72)
    ts["SAMPLERATE"] = "60"
    fig, axes = plotter.plot_by_stations(ts, daily_mean_values=True, reindex=True)
    assert len(axes[0].lines[0].get_xdata()) == 3


def test_facade(monkeypatch, in_tmp_cwd):
    seen = []

    def fake_info(conn=None, cache_dir=None, refresh_cache=False):
        seen.append((conn, cache_dir, refresh_cache))
        return metadata()

    monkeypatch.setattr(lumoreq.fetching, "timeseries_info", fake_info, raising=False)
    fig, axes = plotting.plot_by_items(table([("53001", "1")]), conn="c", metadata_dir="/d", mean_color="k",
                                       show_mean=True)
    assert seen == [("c", "/d", False)] and axes[0].lines[1].get_color() == "k"
    fig, axes = plotting.plot_by_stations(table([("53001", "1")]), std_color="m", show_std=True)
    assert axes[0].lines[1].get_color() == "m"
    for name in ["TSPlotter", "plot_annual_comparison", "calculate_stats", "font_suptitle", "legend_font"]:
        assert hasattr(plotting, name)
    plt.close("all")


def test_display_reduction_keeps_extremes_gaps_and_ends(plotter, monkeypatch):
    n = 200_000
    values = np.sin(np.arange(n) / 3000.0) + np.random.default_rng(0).normal(0, 0.1, n)
    values[50_000:60_000] = np.nan
    ts = series(values, freq="s")
    _, axes = plotter.plot_by_items(ts, set_zero=False)
    x, y = axes[0].lines[0].get_xdata(), axes[0].lines[0].get_ydata()
    assert len(y) < n / 4
    assert pd.Timestamp(x[0]) == ts.index[0] and pd.Timestamp(x[-1]) == ts.index[-1]
    assert np.nanmax(y) == np.nanmax(ts.OBSVALUE) and np.nanmin(y) == np.nanmin(ts.OBSVALUE)
    assert np.isnan(y).sum() == 1
    # Ticks and statistics come from every sample.
    assert axes[0].get_yticks()[0] == pytest.approx(np.nanmin(ts.OBSVALUE))
    monkeypatch.setattr(chartwork, "_display_reduction", False)
    _, axes = plotter.plot_by_items(ts, set_zero=False)
    assert len(axes[0].lines[0].get_ydata()) == n


def test_pinned_date_ticks_change_nothing_in_the_picture(plotter, in_tmp_cwd):
    from matplotlib import dates, image

    ts = table([("53001", "1"), ("53002", "2")], n=30 * 24)  # hourly, a month
    fig, axes = plotter.plot_by_items(ts)
    axis = axes[0].xaxis
    # The live concise date labels are back after the save (later zooming still relabels).
    assert isinstance(axis.get_major_formatter(), dates.ConciseDateFormatter)
    assert isinstance(axis.get_major_locator(), dates.AutoDateLocator)
    fig.savefig(in_tmp_cwd / "again.png", dpi=300, bbox_inches="tight")
    saved = image.imread(in_tmp_cwd / "figures" / "3111钻孔应变_0.png")
    assert np.array_equal(saved, image.imread(in_tmp_cwd / "again.png"))


def test_crowded_earthquake_labels_stay_legible(plotter, monkeypatch):
    """Thirty events a few hours apart: every event keeps its marker and its label artist, the
    strongest label is shown, no two shown labels overlap, and none leaves its panel."""
    rng = np.random.default_rng(5)
    times = pd.date_range("2024-01-01 02:00", periods=30, freq="90min")
    magnitudes = np.round(rng.uniform(3.0, 6.5, 30), 1)
    catalogue = pd.DataFrame({"magnitude": magnitudes}, index=times)

    def fake_filter(df, station=None, filters=None):
        out = df.copy()
        out["distance"] = np.linspace(20.0, 900.0, len(out))  # the last one tops the axis
        out["flag"], out["size"] = 1, 10.0
        out["text"] = [f"事件{i}Ml{m}\n{d:.1f}km" for i, (m, d) in enumerate(zip(out.magnitude, out.distance))]
        return out

    monkeypatch.setattr(lumoreq.QCAT, "read_QCAT", lambda path: catalogue, raising=False)
    monkeypatch.setattr(lumoreq.QCAT, "filtered_qcats", fake_filter, raising=False)
    fig, axes = plotter.plot_by_items(table([("53001", "1"), ("53002", "2")]), qcat_dir="cat.txt")
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    renderer = FigureCanvasAgg(fig).get_renderer()  # the closed figure keeps no canvas of its own
    twins = [a for a in fig.axes if not any(a is b for b in axes)]
    assert len(twins) == 2
    titles = [ax.title.get_window_extent(renderer) for ax in axes]
    for twin in twins:
        assert len(twin.collections[0].get_offsets()) == 30 and len(twin.texts) == 30
        shown = [t for t in twin.texts if t.get_visible()]
        assert 1 <= len(shown) < 30
        strongest = int(np.argmax(magnitudes))
        assert twin.texts[strongest].get_visible()
        area = twin.get_window_extent(renderer)
        boxes = [t.get_window_extent(renderer) for t in shown]
        for i, box in enumerate(boxes):
            assert area.x0 - 1 <= box.x0 and box.x1 <= area.x1 + 1 and box.y1 <= area.y1 + 1
            assert not any(box.overlaps(other) for other in boxes[i + 1:])
            assert not any(box.overlaps(title) for title in titles)


def test_middle_tick_never_reads_negative_zero(plotter):
    # Extremes whose midpoint is a rounding error away from zero once the base is subtracted.
    ts = series(np.array([0.1, 0.7, 0.3, 0.2], dtype="float32"))
    fig, axes = plotter.plot_by_items(ts)
    ticks = axes[0].get_yticks()
    labels = axes[0].yaxis.get_major_formatter().format_ticks(ticks)
    assert ticks[1] != 0 or np.signbit(ticks[1])  # the value itself stays as computed
    assert not any(label.lstrip("-\u2212").strip("0.") == "" and label[0] in "-\u2212" for label in labels)
    assert labels[2][0] not in "-\u2212" and labels[0][0] in "-\u2212"
