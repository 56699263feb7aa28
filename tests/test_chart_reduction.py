"""The reduced drawing of a long line series looks the same as drawing every point."""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib import image

import lumoreq.fetching
from lumoreq import chartwork


def one_hertz_strain(days=3, seed=3):
    """Tides, drift, noise, a step, spikes and a gap: what a strain channel looks like at 1 Hz."""
    n = days * 86400
    t = np.arange(n)
    rng = np.random.default_rng(seed)
    values = (30 * np.sin(2 * np.pi * t / 44714) + 12 * np.sin(2 * np.pi * t / 86164) + t * 2e-4
              + np.cumsum(rng.normal(0, 0.05, n)) + rng.normal(0, 0.4, n))
    values[n // 2:] += 15
    values[rng.integers(0, n, 20)] += rng.normal(0, 40, 20)
    values[n // 3: n // 3 + 3600] = np.nan
    idx = pd.date_range("2024-03-01", periods=n, freq="s", name="STARTDATE")
    return pd.DataFrame({"OBSVALUE": values.astype("float32"), "STATIONID": "53001", "POINTID": "1",
                         "ITEMID": "3111", "SAMPLERATE": "02"}, index=idx)


def draw(ts, reduce, monkeypatch, tmp_path):
    monkeypatch.setattr(chartwork, "_display_reduction", reduce)
    plotter = chartwork.TSPlotter()
    monkeypatch.chdir(tmp_path)
    fig, axes = plotter.plot_by_items(ts, prefix="full" if not reduce else "reduced")
    path = tmp_path / "figures" / f"{'reduced' if reduce else 'full'}3111钻孔应变_0.png"
    return image.imread(path), len(axes[0].lines[0].get_xdata())


def test_reduced_panel_matches_full_drawing(monkeypatch, tmp_path):
    stations = pd.DataFrame({"STATIONID": ["53001"], "NAME": ["怀来"], "LON": [115.5], "LAT": [40.4]})
    items = pd.DataFrame({"ITEMID": ["3111"], "NAME": ["钻孔应变"], "UNIT": ["10-9"]})
    monkeypatch.setattr(lumoreq.fetching, "timeseries_info", lambda conn=None, **kw: (stations, stations, items),
                        raising=False)
    ts = one_hertz_strain()
    full, n_full = draw(ts, False, monkeypatch, tmp_path)
    reduced, n_reduced = draw(ts, True, monkeypatch, tmp_path)
    plt.close("all")
    assert n_full == len(ts) and n_reduced < len(ts) / 10
    assert full.shape == reduced.shape
    differing = np.any(np.abs(full - reduced) > 0, axis=-1).mean()
    print(f"pixels differing: {differing:.4%} ({n_reduced} of {n_full} points drawn)")
    assert differing <= 0.005
