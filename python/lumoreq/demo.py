"""The demo: the analyst's main job on the embedded sample network, one timed line per step.

``lumoreq demo`` builds (once) the sample network, fetches deformation series at every station,
filters outliers, resamples, exports a RUZI file and reads it back, draws figures by item and by
station with statistics lines, earthquakes and rainfall, and draws an annual comparison.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import sys
import threading
import time
from pathlib import Path
from typing import Any

from . import __version__
from .console import (
    CommandError,
    _ensure_sample,
    _figure_files,
    _LogWatch,
    _one_line,
    _sample_default_path,
    _written,
)
from .sources import RAIN_ITEM, open_sample, rainfall_by_station


class _Progress:
    """One line per step with its time; a heartbeat while a step runs longer than a few seconds."""

    def __init__(self, total: int, stream=None, heartbeat: float = 3.0) -> None:
        self.total = total
        self.number = 0
        self.stream = stream or sys.stdout
        self.heartbeat = heartbeat
        self.timings: list[tuple[str, float, str]] = []
        self.failed = 0

    def _say(self, text: str) -> None:
        print(text, file=self.stream, flush=True)

    @contextlib.contextmanager
    def step(self, title: str):
        self.number += 1
        label = f"[{self.number:>{len(str(self.total))}}/{self.total}] {title}"
        outcome = {"note": ""}
        done = threading.Event()
        start = time.perf_counter()

        def beat() -> None:
            while not done.wait(self.heartbeat):
                self._say(f"      ... {title}: {time.perf_counter() - start:4.0f} s")

        ticker = threading.Thread(target=beat, daemon=True)
        ticker.start()
        try:
            yield outcome
        except _Skip as skip:
            outcome["note"] = f"skipped: {skip}"
        except Exception as error:  # reported on the step's line; the log file has the traceback
            self.failed += 1
            outcome["note"] = f"FAILED: {_one_line(error)}"
            logging.getLogger("lumoreq.cli").error("%s failed", title, exc_info=True)
        finally:
            done.set()
            ticker.join()
        elapsed = time.perf_counter() - start
        self.timings.append((title, elapsed, outcome["note"]))
        self._say(f"{_pad(label, 66)} {elapsed:6.2f} s  {outcome['note']}")


def _pad(text: str, width: int) -> str:
    """``text`` padded to ``width`` terminal columns (CJK characters take two)."""
    import unicodedata

    used = sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)
    return text + " " * max(1, width - used)


class _Skip(Exception):
    """A demo step that cannot run, with the honest reason."""


def _need(module: Any, *names: str) -> None:
    missing = [n for n in names if not hasattr(module, n)]
    if missing:
        raise _Skip(f"{module.__name__}.{', '.join(missing)} not built yet")


def _import(name: str):
    import importlib

    try:
        return importlib.import_module(f"lumoreq.{name}")
    except ModuleNotFoundError as error:
        if error.name == f"lumoreq.{name}":
            raise _Skip(f"lumoreq.{name} not built yet") from None
        raise


# ---------------------------------------------------------------------------------------------
# lumoreq demo
# ---------------------------------------------------------------------------------------------


# What the demo asks of the sample network: deformation minute values of one month at every
# station, the rainfall and water-level day values of two years.
DEMO_METHOD = "形变"
DEMO_RATE = "分钟值"
DEMO_KIND = "预处理库"
DEMO_START = "2024-01-01"
DEMO_END = "2024-01-31"
DEMO_RESAMPLE = "h"
WATER_METHOD = "流体"
WATER_ITEM = "水位"
YEARS_START = "2024-01-01"
YEARS_END = "2025-12-31"


def run(args: argparse.Namespace, watch: _LogWatch) -> int:
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    database = Path(args.sample_path).resolve() if args.sample_path else None
    progress = _Progress(total=11)
    outputs: list[tuple[str, Path]] = []
    state: dict[str, Any] = {}
    print(f"lumoreq {__version__} demo: the analyst's main job on the embedded sample network")
    print(f"  outputs go to {out}")
    previous = Path.cwd()
    os.chdir(out)  # the figures folder is ./figures/ of the working directory
    started = time.perf_counter()
    try:
        _demo_steps(progress, state, outputs, database, args.rebuild)
    finally:
        os.chdir(previous)
        if state.get("conn") is not None:
            state["conn"].close()
    total = time.perf_counter() - started
    outputs.append(("log file", Path(watch.log_file)))  # type: ignore[attr-defined]
    print(f"done in {total:.1f} s")
    skipped = [t for t, _, note in progress.timings if note.startswith("skipped")]
    if outputs:
        print("outputs:")
        for what, path in outputs:
            print(f"  {what:<28} {path}")
    if skipped:
        print(f"{len(skipped)} of {progress.total} steps skipped (the pieces they need are not there)")
    if progress.failed:
        raise CommandError(f"{progress.failed} step(s) failed; details in {watch.log_file}")  # type: ignore[attr-defined]
    return 0


_PRODUCTS = {
    "database": "the sample network",
    "conn": "the connection",
    "fetched": "the fetched table",
    "filtered": "the filtered table",
    "resampled": "the resampled table",
    "ruzi": "the RUZI file",
}


def _requires(state: dict[str, Any], *keys: str) -> None:
    for key in keys:
        if state.get(key) is None:
            raise _Skip(f"needs {_PRODUCTS.get(key, key)} of an earlier step")


def _filter_each_series(df, filter_series):
    """``df`` with each (station, point, item) series' values filtered on their own, the rows in
    their order; and how many values the filter changed."""
    import numpy as np

    values = df["OBSVALUE"].to_numpy()
    filtered = values.copy()
    for positions in df.groupby(["STATIONID", "POINTID", "ITEMID"], sort=False).indices.values():
        filtered[positions] = filter_series(df["OBSVALUE"].iloc[positions]).to_numpy()
    changed = int((~((filtered == values) | (np.isnan(filtered) & np.isnan(values)))).sum())
    out = df.copy()
    out["OBSVALUE"] = filtered
    return out, changed


def _describe(df) -> str:
    series = df.groupby(["STATIONID", "POINTID", "ITEMID"]).ngroups
    return (
        f"{len(df):,} rows, {series} series at {df['STATIONID'].nunique()} stations, "
        f"{df['ITEMID'].nunique()} items"
    )


def _catalogue_for_plots(state: dict[str, Any]) -> tuple[str | None, str]:
    """The catalogue path for the builders, or None and why the earthquakes are left out."""
    if not state.get("catalogue"):
        return None, "; earthquakes skipped: the sample network has no catalogue"
    try:
        _need(_import("QCAT"), "read_QCAT", "filtered_qcats")
    except _Skip as skip:
        return None, f"; earthquakes skipped: {skip}"
    return str(state["catalogue"]), ""


def _new_figures(before: dict[Path, int]) -> list[Path]:
    return _written(before, _figure_files(Path.cwd() / "figures"))


def _demo_steps(progress, state, outputs, database, rebuild) -> None:
    from . import export, fetching

    with progress.step("sample network") as s:
        sample = _import("sample")
        _need(sample, "build", "connect")
        built: list[str] = []
        path = _ensure_sample(database, rebuild, say=built.append)
        state["database"] = path
        s["note"] = f"{'built' if built else 'reused'} {path}"
        outputs.append(("sample network", path))
        catalogue = _sample_catalogue(sample, path)
        if catalogue is not None:
            state["catalogue"] = catalogue
            outputs.append(("earthquake catalogue", catalogue))

    with progress.step("open the connection") as s:
        _requires(state, "database")
        state["conn"] = open_sample(state["database"])
        s["note"] = "sample.connect -> " + type(state["conn"]).__name__

    with progress.step(f"fetch {DEMO_METHOD} {DEMO_RATE} at every station, {DEMO_START}..{DEMO_END}") as s:
        _requires(state, "conn")
        _need(fetching, "fetching_data")
        df = fetching.fetching_data(
            state["conn"], DEMO_START, DEMO_END, DEMO_METHOD, "全部", DEMO_RATE, DEMO_KIND, gzip_flag=True
        )
        if df is None or df.empty:
            raise _Skip("the sample network gave no rows for the request (see the log)")
        state["fetched"] = df
        s["note"] = _describe(df)

    with progress.step("Hampel filter (window 15, 5 MAD), each series on its own") as s:
        _requires(state, "fetched")
        refinery = _import("refinery")
        _need(refinery, "filter_with_fast_mad")
        filtered, changed = _filter_each_series(state["fetched"], refinery.filter_with_fast_mad)
        state["filtered"] = filtered
        s["note"] = f"{changed:,} outliers replaced by the local median"

    with progress.step(f"resample to {DEMO_RESAMPLE} means") as s:
        _requires(state, "filtered")
        refinery = _import("refinery")
        _need(refinery, "resample_timeseries_data")
        hourly = refinery.resample_timeseries_data(state["filtered"].reset_index(), DEMO_RESAMPLE, "mean")
        state["resampled"] = hourly.set_index("STARTDATE")
        s["note"] = f"{len(hourly):,} rows"

    ruzi = Path.cwd() / "deformation_minute.ruzi"
    with progress.step("export RUZI with export_ruzi") as s:
        _requires(state, "filtered", "conn")
        _need(fetching, "DataFetcher")
        _need(fetching.DataFetcher, "export_ruzi")
        ruzi.unlink(missing_ok=True)
        fetching.DataFetcher.export_ruzi(state["conn"], state["filtered"], str(ruzi), DEMO_RATE)
        if not ruzi.exists():
            raise RuntimeError(f"export_ruzi wrote nothing to {ruzi} (see the log)")
        state["ruzi"] = ruzi
        outputs.append(("RUZI file", ruzi))
        s["note"] = f"{ruzi.stat().st_size:,} bytes"

    with progress.step("read the RUZI file back") as s:
        _requires(state, "ruzi")
        back, context = export.read_ruzi(state["ruzi"])
        original = state["filtered"]
        same = (
            back.equals(original)
            and list(back.columns) == list(original.columns)
            and list(back.dtypes) == list(original.dtypes)
            and back.index.dtype == original.index.dtype
            and back.index.name == original.index.name
        )
        if not same:
            raise RuntimeError("the table read back differs from the exported one")
        s["note"] = (
            f"same table ({len(back):,} rows, dtypes, index); metadata of {len(context['station_info'])} "
            f"stations and {len(context['item_info'])} items, sampling_rate {context['sampling_rate']!r}"
        )

    with progress.step("figures by item: statistics lines and earthquakes") as s:
        _requires(state, "resampled", "conn")
        plotting = _import("plotting")
        _need(plotting, "plot_by_items")
        before = _figure_files(Path.cwd() / "figures")
        catalogue, quakes = _catalogue_for_plots(state)
        plotting.plot_by_items(
            state["resampled"],
            conn=state["conn"],
            prefix="demo",
            show_mean=True,
            show_std=True,
            qcat_dir=catalogue,
        )
        written = _new_figures(before)
        outputs.extend(("figure by item", p) for p in written)
        s["note"] = f"{len(written)} figure(s){quakes}"

    with progress.step(f"rainfall: {RAIN_ITEM} day values") as s:
        _requires(state, "conn")
        _need(fetching, "fetching_data")
        # One rainfall series per station (its first point that measures it).
        state["rainfall"] = rainfall_by_station(state["conn"], DEMO_START, DEMO_END, kind=DEMO_KIND)
        if not state["rainfall"]:
            raise _Skip(f"no {RAIN_ITEM} series in the sample network")
        s["note"] = f"stations {', '.join(map(str, state['rainfall']))}"

    with progress.step("figures by station: statistics lines, earthquakes and rainfall") as s:
        _requires(state, "resampled", "conn")
        plotting = _import("plotting")
        _need(plotting, "plot_by_stations")
        before = _figure_files(Path.cwd() / "figures")
        catalogue, quakes = _catalogue_for_plots(state)
        rainfall = state.get("rainfall") or {}
        resampled = state["resampled"]
        # A figure's rainfall panel shows the rain at that figure's own station.
        for station, table in resampled.groupby("STATIONID", sort=False):
            plotting.plot_by_stations(
                table,
                conn=state["conn"],
                prefix="demo",
                show_mean=True,
                show_std=True,
                rainfall=rainfall.get(station),
                qcat_dir=catalogue,
            )
        written = _new_figures(before)
        outputs.extend(("figure by station", p) for p in written)
        with_rain = sum(1 for station in resampled["STATIONID"].unique() if station in rainfall)
        s["note"] = f"{len(written)} figure(s), {with_rain} station(s) with rainfall{quakes}"

    with progress.step(f"annual comparison: {WATER_ITEM} day values {YEARS_START[:4]}-{YEARS_END[:4]}") as s:
        _requires(state, "conn")
        _need(fetching, "fetching_data")
        plotting = _import("plotting")
        _need(plotting, "plot_annual_comparison")
        water = fetching.fetching_data(
            state["conn"], YEARS_START, YEARS_END, WATER_METHOD, "全部", "日均值", DEMO_KIND, itemname=WATER_ITEM
        )
        if water is None or water.empty:
            raise _Skip(f"no {WATER_ITEM} series in the sample network")
        first = water.groupby(["STATIONID", "POINTID", "ITEMID"]).ngroup() == 0
        series = water.loc[first.to_numpy()]
        station = series["STATIONID"].iloc[0]
        # Title and axis from the metadata: station name / point / item name, and the unit.
        stations, _points, items = fetching.timeseries_info(state["conn"])
        named = stations.loc[stations["STATIONID"] == station, "STATIONNAME"]
        item = items.loc[items["ITEMID"] == series["ITEMID"].iloc[0]]
        item_name = item["ITEMNAME"].iloc[0] if len(item) else WATER_ITEM
        unit = f" ({item['UNIT'].iloc[0]})" if len(item) else ""
        station_text = named.iloc[0] if len(named) else station
        target = Path.cwd() / "figures" / f"demo_annual_{station}.png"
        fig, _ax = plotting.plot_annual_comparison(
            series,
            output_file=str(target),
            station_name=f"{station_text}/{series['POINTID'].iloc[0]}/",
            direction=f"{item_name} ",
            y_label=f"{item_name}{unit}",
        )
        import matplotlib.pyplot as plt

        plt.close(fig)
        if not target.exists():
            raise RuntimeError(f"plot_annual_comparison wrote nothing to {target} (see the log)")
        outputs.append(("annual comparison", target))
        s["note"] = f"{len(series)} days of station {station}"


def _sample_catalogue(sample, database: Path) -> Path | None:
    """The earthquake catalogue written beside the sample network, if there is one."""
    beside = database.with_name("catalogue.txt")
    if beside.exists():
        return beside
    helper = getattr(sample, "default_catalogue_path", None)
    if callable(helper) and database == _sample_default_path(sample):
        return Path(helper())
    return None

