"""plot_annual_comparison: years, colours, labels, the mean line and where the file goes."""

import logging

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from lumoreq import yearcompare


def water_level(years=(2022, 2023), with_norm=True):
    idx = pd.date_range(f"{years[0]}-01-01", f"{years[-1]}-12-31", freq="D", name="STARTDATE")
    df = pd.DataFrame({"OBSVALUE": 10 + np.sin(idx.day_of_year / 58.0) + (idx.year - years[0])}, index=idx)
    if with_norm:  # the normalised dates, as the series-processing module adds them
        df["datetime_norm"] = pd.to_datetime({"year": 2024, "month": idx.month, "day": idx.day}).to_numpy()
    return df


@pytest.fixture(autouse=True)
def _close():
    yield
    plt.close("all")


def test_years_lines_band_and_legend(in_tmp_cwd, caplog):
    caplog.set_level(logging.INFO, logger="plotting")
    fig, ax = yearcompare.plot_annual_comparison(water_level((2020, 2023)), station_name="怀来", direction="NS")
    labels = [line.get_label() for line in ax.lines if not line.get_label().startswith("_")]
    assert [lab[:4] for lab in labels] == ["2020", "2021", "2022", "2023"]
    assert labels[0].startswith("2020 (Mean: ") and labels[0].endswith(")")
    assert len(ax.collections) == 4 + 1  # four scatters and one band under the latest year
    assert ax.get_title() == "怀来NS同年对比" and ax.get_xlabel() == "日期 (月-日)"
    assert ax.get_legend().get_title().get_text() == "年份 (年平均值)"
    mean_line = ax.lines[-1]
    assert mean_line.get_color() == "red"
    assert (in_tmp_cwd / "figures" / "Annual_Comparison.png").exists()
    assert "Annual comparison chart saved as: ./figures/Annual_Comparison.png" in caplog.messages


def test_subtract_mean_and_title(in_tmp_cwd):
    fig, ax = yearcompare.plot_annual_comparison(water_level(), subtract_mean=True, rolling_window=1)
    labels = [line.get_label() for line in ax.lines if not line.get_label().startswith("_")]
    assert all(lab.endswith("(Mean: 0.00)") or lab.endswith("(Mean: -0.00)") for lab in labels)
    assert abs(ax.lines[-1].get_ydata()[0]) < 1e-9
    assert ax.get_title() == "同年对比曲线"


@pytest.mark.parametrize("name, where", [("a.png", "figures/a.png"), ("./figures/b.png", "figures/b.png"),
                                         ("sub/c.png", "figures/sub/c.png")])
def test_relative_output_goes_to_figures(in_tmp_cwd, name, where):
    yearcompare.plot_annual_comparison(water_level(), output_file=name, dpi=50)
    assert (in_tmp_cwd / where).exists()


def test_absolute_output_used_as_given(in_tmp_cwd, tmp_path):
    target = tmp_path / "elsewhere" / "deep" / "d.png"
    fig, ax = yearcompare.plot_annual_comparison(water_level(), output_file=str(target), dpi=50)
    assert target.exists() and fig is not None


def test_save_failure_is_logged_and_figure_returned(in_tmp_cwd, caplog):
    (in_tmp_cwd / "figures").mkdir()
    (in_tmp_cwd / "figures" / "blocked").write_text("a file where a folder is wanted")
    fig, ax = yearcompare.plot_annual_comparison(water_level(), output_file="blocked/e.png", dpi=50)
    assert fig is not None
    assert any(m.startswith("Error saving chart: ") for m in caplog.messages)


def test_empty_frame_is_refused(in_tmp_cwd):
    with pytest.raises(ValueError, match="empty"):
        yearcompare.plot_annual_comparison(water_level().iloc[:0])


def test_frame_with_normalised_dates_is_used_as_is(in_tmp_cwd, monkeypatch):
    called = []
    monkeypatch.setattr(yearcompare, "psp", type("P", (), {"create_normalized_dates": lambda df: called.append(1)}))
    yearcompare.plot_annual_comparison(water_level(), dpi=50)
    assert called == []


def test_y_axis_format(in_tmp_cwd):
    fig, ax = yearcompare.plot_annual_comparison(water_level(), y_axis_format=lambda v, p: f"{v:.1f} m",
                                                 invert_y=True, dpi=50)
    assert ax.yaxis_inverted()
    assert ax.yaxis.get_major_formatter()(10.0, 0) == "10.0 m"


def test_several_series_are_pointed_out(in_tmp_cwd):
    import warnings

    one = water_level()
    mixed = pd.concat([one.assign(STATIONID="37005", POINTID="1", ITEMID="4112"),
                       one.assign(STATIONID="37005", POINTID="2", ITEMID="4112")]).sort_index(kind="stable")
    with pytest.warns(UserWarning, match="plot_annual_comparison.* 2 个序列"):
        fig, ax = yearcompare.plot_annual_comparison(mixed, dpi=20)
    labels = [line.get_label() for line in ax.lines if not line.get_label().startswith("_")]
    assert [lab[:4] for lab in labels] == ["2022", "2023"]  # drawn as before, all rows together
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yearcompare.plot_annual_comparison(one.assign(STATIONID="37005", POINTID="1", ITEMID="4112"), dpi=20)
        yearcompare.plot_annual_comparison(one, dpi=20)
