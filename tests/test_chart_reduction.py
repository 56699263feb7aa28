"""The reduced drawing of a long line series looks the same as drawing every point."""

import matplotlib.pyplot as plt
import numpy as np
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
