"""Chart style, font dictionaries and the chart helpers, against the pandas reference."""

import datetime as dt
import logging

import matplotlib
import numpy as np
import pandas as pd
import pytest
import reference
from hypothesis import given, settings
from hypothesis import strategies as st
from matplotlib import font_manager

from lumoreq import chartkit

GIVEN_SERIF = ["STSong", "SimSun", "DengXian", "Times New Roman", "serif"]


def test_style_values():
    rc = matplotlib.rcParams
    assert rc["font.serif"][:5] == GIVEN_SERIF
    assert rc["font.size"] == 12 and rc["pdf.fonttype"] == 42 and rc["axes.xmargin"] == 0.01
    assert rc["axes.unicode_minus"] is False and rc["svg.fonttype"] == "none"
    assert not rc["axes.spines.top"] and not rc["axes.spines.right"]
    assert rc["xtick.direction"] == "out" and rc["ytick.direction"] == "out"
    assert rc["mathtext.fontset"] == "stix"
    assert rc["font.family"][0] == "serif"


def test_font_dicts_keys_and_values():
    def family_head(d):
        return d["family"] if isinstance(d["family"], str) else d["family"][0]

    assert list(chartkit.font_title) == ["family", "color", "weight", "size"]
    assert list(chartkit.font_xlabel) == ["family", "weight", "size"]
    assert list(chartkit.font_unit) == ["family", "weight", "size"]
    assert list(chartkit.font_suptitle) == ["family", "color", "weight", "size"]
    assert list(chartkit.legend_font) == ["family", "size"]
    assert family_head(chartkit.font_title) == "STSong" and chartkit.font_title["size"] == 11
    assert family_head(chartkit.font_suptitle) == "SimHei" and chartkit.font_suptitle["size"] == 16
    assert chartkit.legend_font["size"] == 9


def _has_chinese(path):
    return font_manager.get_font(path).get_char_index(ord("测")) != 0


def test_chinese_glyphs_resolve_to_a_font_that_has_them():
    installed = {f.name for f in font_manager.fontManager.ttflist}
    if not installed & {"STSong", "SimSun", "DengXian", "Noto Serif CJK SC", "Noto Sans CJK SC"}:
        pytest.skip("no Chinese font installed")
    for props in [
        font_manager.FontProperties(),  # rcParams: titles and labels without a font dictionary
        font_manager.FontProperties(family=chartkit.font_title["family"]),
        font_manager.FontProperties(family=chartkit.font_suptitle["family"]),
    ]:
        paths = font_manager.fontManager._find_fonts_by_props(props)
        assert any(_has_chinese(p) for p in paths)
    if "STSong" not in installed:
        assert chartkit.font_title["family"][0] == "STSong" and len(chartkit.font_title["family"]) > 1
        assert matplotlib.rcParams["font.serif"][5:] == chartkit._appended_fonts


def test_create_figures_folder_twice(in_tmp_cwd, caplog):
    caplog.set_level(logging.INFO, logger="plotting")
    chartkit.create_figures_folder()
    chartkit.create_figures_folder()
    messages = [r.getMessage() for r in caplog.records if r.name == "plotting"]
    assert (in_tmp_cwd / "figures").is_dir()
    assert messages.count("Created figures folder") == 1
    assert messages.count(f"Current working directory: {in_tmp_cwd}") == 2


@pytest.mark.parametrize(
    "values, expected",
    [([1.0, 2.0, 3.0], dict(mean=2, median=2, std=1, min=1, max=3, lower_limit=0, upper_limit=4))],
)
def test_calculate_stats_example(values, expected):
    stats = chartkit.calculate_stats(pd.DataFrame({"OBSVALUE": values}))
    assert list(stats) == ["mean", "median", "std", "min", "max", "lower_limit", "upper_limit"]
    assert stats == pytest.approx(expected)


def test_calculate_stats_all_missing_and_missing_column():
    stats = chartkit.calculate_stats(pd.DataFrame({"v": [np.nan, np.nan]}), "v", 3)
    assert all(np.isnan(v) for v in stats.values())
    with pytest.raises(KeyError):
        chartkit.calculate_stats(pd.DataFrame({"v": [1.0]}))


@settings(max_examples=60, deadline=None)
@given(st.lists(st.one_of(st.floats(-1e6, 1e6), st.just(np.nan)), max_size=30), st.floats(0, 5))
def test_calculate_stats_matches_reference(values, k):
    df = pd.DataFrame({"OBSVALUE": np.array(values, dtype="float32")})
    got, want = chartkit.calculate_stats(df, "OBSVALUE", k), reference.calculate_stats(df, "OBSVALUE", k)
    assert list(got) == list(want)
    for key in want:
        assert (np.isnan(got[key]) and np.isnan(want[key])) or got[key] == want[key]


@pytest.mark.parametrize(
    "seconds, text",
    [(59.9, "59s"), (60, "1min"), (3599, "59min"), (3600, "1h"), (86399, "23h"), (86400, "1D"),
     (172800, "1D"), (0.5, "0s"), (-0.5, "0s"), (-5, "-5s")],
)
def test_get_freq_str_bounds(seconds, text):
    assert chartkit.get_freq_str(dt.timedelta(seconds=seconds)) == text
    assert chartkit.get_freq_str(pd.Timedelta(seconds=seconds)) == text


@settings(max_examples=100, deadline=None)
@given(st.floats(-1e9, 1e9, allow_nan=False))
def test_get_freq_str_matches_reference(seconds):
    td = pd.Timedelta(seconds=seconds)
    assert chartkit.get_freq_str(td) == reference.get_freq_str(td)


class _Span:
    def __init__(self, seconds):
        self.seconds = seconds

    def total_seconds(self):
        return self.seconds


@pytest.mark.parametrize("seconds, error", [(float("-inf"), OverflowError), (float("inf"), None),
                                            (float("nan"), None)])
def test_get_freq_str_of_unbounded_spans_fails_like_int(seconds, error):
    if error is None:
        assert chartkit.get_freq_str(_Span(seconds)) == reference.get_freq_str(_Span(seconds)) == "1D"
        return
    with pytest.raises(error) as expected:
        reference.get_freq_str(_Span(seconds))
    with pytest.raises(error) as got:
        chartkit.get_freq_str(_Span(seconds))
    assert str(got.value) == str(expected.value)


def _frame(stamps, samplerate=None):
    idx = pd.DatetimeIndex(pd.to_datetime(stamps), name="STARTDATE")
    df = pd.DataFrame({"OBSVALUE": np.arange(len(idx), dtype="float32")}, index=idx)
    if samplerate is not None:
        df["SAMPLERATE"] = samplerate
    return df


def test_reindex_examples():
    minutes = ["2024-01-01 00:00", "2024-01-01 00:01", "2024-01-01 00:02", "2024-01-01 00:04", "2024-01-01 00:05"]
    out = chartkit.reindex_df_by_interval(_frame(minutes, "01"))
    assert len(out) == 6 and out.loc["2024-01-01 00:03"].isna().all()
    hourly = _frame(pd.date_range("2024-01-01 00:30", periods=200, freq="min"), " 60.0 ")
    assert list(chartkit.reindex_df_by_interval(hourly).index.minute) == [30, 30, 30, 30]
    one = _frame(["2024-01-01 00:00"])
    assert chartkit.reindex_df_by_interval(one).equals(reference.reindex_df_by_interval(one))


stamp_lists = st.lists(st.integers(0, 500), min_size=1, max_size=40, unique=True).map(sorted)


@settings(max_examples=60, deadline=None)
@given(stamp_lists, st.sampled_from([None, "01", "02", "60", "90", 1, 2.0, "7", np.nan]),
       st.sampled_from([1, 7, 60]))
def test_reindex_matches_reference(offsets, samplerate, step):
    stamps = pd.Timestamp("2024-03-01") + pd.to_timedelta(np.array(offsets) * step, unit="s")
    df = _frame(stamps, samplerate)
    got, want = chartkit.reindex_df_by_interval(df), reference.reindex_df_by_interval(df)
    pd.testing.assert_frame_equal(got, want)
