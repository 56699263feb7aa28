"""plot_by_items of one item at 7 station/point pairs, 30 days of 1 Hz data each, saved as a
300 dpi PNG: the builder drawing every point (the reference) against the same builder drawing
the per-pixel-column reduction of each series."""

import os
import tempfile

import numpy as np
import pandas as pd
from run import Case

PAIRS = 7


def _table(days: int, seed: int = 11) -> pd.DataFrame:
    n = days * 86400
    t = np.arange(n)
    rng = np.random.default_rng(seed)
    idx = pd.date_range("2024-03-01", periods=n, freq="s", name="STARTDATE")
    frames = []
    for i in range(PAIRS):
        values = (30 * np.sin(2 * np.pi * t / 44714 + i) + 12 * np.sin(2 * np.pi * t / 86164) + t * 1e-5 * i
                  + np.cumsum(rng.normal(0, 0.02, n)) + rng.normal(0, 0.3, n)).astype("float32")
        values[rng.integers(0, n - 600, 3)] = np.nan
        frames.append(pd.DataFrame({"OBSVALUE": values, "STATIONID": f"5300{i}", "POINTID": "1",
                                    "ITEMID": "3111", "SAMPLERATE": "02"}, index=idx))
    return pd.concat(frames)


def _metadata(conn=None, cache_dir=None, refresh_cache=False):
    stations = pd.DataFrame({"STATIONID": [f"5300{i}" for i in range(PAIRS)],
                             "STATIONNAME": [f"台站{i}" for i in range(PAIRS)],
                             "LON": 115.0 + np.arange(PAIRS) * 0.1, "LAT": 40.0 + np.arange(PAIRS) * 0.1})
    items = pd.DataFrame({"ITEMID": ["3111"], "ITEMNAME": ["钻孔应变"], "UNIT": ["10-9"]})
    return stations, stations[["STATIONID"]].assign(POINTID="1"), items


def _split(timings) -> str:
    return ", ".join(f"{k} {v:.2f} s" for k, v in timings.items())


def cases(scale: float):
    os.environ.setdefault("MPLBACKEND", "Agg")
    import logging

    import lumoreq.fetching
    from lumoreq import chartwork

    lumoreq.fetching.timeseries_info = _metadata
    logging.getLogger("plotting").setLevel(logging.WARNING)  # one INFO line per saved figure otherwise
    days = max(1, int(round(30 * scale)))
    ts = _table(days)
    plotter = chartwork.TSPlotter()
    workdir = tempfile.mkdtemp(prefix="bench_charts_")
    notes = []
    last = {}

    def run(reduce: bool):
        def go():
            cwd = os.getcwd()
            os.chdir(workdir)
            try:
                chartwork._display_reduction = reduce
                plotter.plot_by_items(ts)
                last[reduce] = dict(chartwork._last_timings)
            finally:
                chartwork._display_reduction = True
                os.chdir(cwd)
            notes[:] = [f"every point: {_split(last.get(False, {}))}",
                        f"reduced:     {_split(last.get(True, {}))}"]
            if False in last and True in last:
                ref = last[False]["drawing"] + last[False]["saving"]
                nat = last[True]["drawing"] + last[True]["saving"]
                notes.append(f"drawing+saving: {ref:.2f} s -> {nat:.2f} s ({ref / nat:.1f}x)")
                if floor:
                    notes.append(f"same figure, first and last sample per panel only (matplotlib's own cost): "
                                 f"drawing+saving {floor[0]:.2f} s, so at most {ref / floor[0]:.1f}x")

        return go

    # The figure with (almost) no data: axes, ticks, text, layout passes and PNG encoding, which
    # no reduction of the series can remove.
    floor = []
    tiny = ts.groupby("STATIONID", sort=False).nth([0, -1])  # same time span, same ticks
    cwd = os.getcwd()
    os.chdir(workdir)
    try:
        spent = []
        for _ in range(3):
            plotter.plot_by_items(tiny)
            spent.append(chartwork._last_timings["drawing"] + chartwork._last_timings["saving"])
        floor.append(sorted(spent)[1])
    finally:
        os.chdir(cwd)

    yield Case(
        kernel="chartwork.plot_by_items (line, PNG 300 dpi)",
        size=f"{PAIRS} x {days * 86400:,} samples (1 Hz)",
        reference=run(False),
        native=run(True),
        repeat=2,
        notes=notes,
    )
