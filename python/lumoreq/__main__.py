"""Command line of lumoreq.

    lumoreq demo     the analyst's main job on the embedded sample network
    lumoreq fetch    fetch series from a database and write them as a RUZI file
    lumoreq plot     draw the figures of a RUZI file

``lumoreq <command> --help`` explains every option. Library messages go to the log file; ``-v``
also shows them on standard error. A failure ends with one line on standard error and exit
status 1 (2 for a wrong option).
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

# ---------------------------------------------------------------------------------------------
# Failures, messages and progress
# ---------------------------------------------------------------------------------------------


class CommandError(Exception):
    """A failure the user can act on: reported as one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    """argparse with a one-line error instead of the usage block."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _LogWatch(logging.Handler):
    """Keeps the library's warnings and errors of one command, to name them in its last line."""

    def __init__(self) -> None:
        super().__init__(level=logging.WARNING)
        self.warnings = 0
        self.last_error: str | None = None
        self.last_warning: str | None = None

    def emit(self, record: logging.LogRecord) -> None:
        if record.levelno >= logging.ERROR:
            self.last_error = record.getMessage()
        else:
            self.warnings += 1
            self.last_warning = record.getMessage()


def _quiet_logging(verbose: bool) -> _LogWatch:
    """Load the logging set-up, keep the log file, and show records on stderr only with -v."""
    from . import logsetup

    root = logging.getLogger()
    for handler in root.handlers:
        if isinstance(handler, logging.StreamHandler) and not isinstance(handler, logging.FileHandler):
            if not verbose:
                handler.setLevel(logging.CRITICAL + 1)
    watch = _LogWatch()
    root.addHandler(watch)
    watch.log_file = str(logsetup.log_file)  # type: ignore[attr-defined]
    return watch


def _one_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    first = text[0] if text else ""
    name = type(error).__name__
    message = f"{name}: {first}" if first else name
    return message if len(message) <= 400 else message[:397] + "..."


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
# The embedded sample network and connections
# ---------------------------------------------------------------------------------------------


def _sample_module():
    try:
        return _import("sample")
    except _Skip as skip:
        raise CommandError(f"the sample network is not available ({skip})") from None


def _sample_default_path(sample) -> Path:
    """The sample network's own default file (not built here: the caller times the build)."""
    helper = getattr(sample, "default_path", None)
    if callable(helper):
        try:
            return Path(helper(build_if_missing=False))
        except TypeError:
            pass
    return Path.home() / ".local" / "share" / "lumoreq" / "sample" / f"network-v{sample.DATA_VERSION}.duckdb"


def _ensure_sample(path: Path | None, rebuild: bool = False, say=print) -> Path:
    sample = _sample_module()
    path = Path(path) if path else _sample_default_path(sample)
    if rebuild or not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        say(f"building the sample network at {path} ...")
        sample.build(path)
    return path


def _open_connection(args: argparse.Namespace, watch: _LogWatch):
    """The connection asked for by --db or --sample; None when neither was given."""
    if getattr(args, "db", None):
        from . import fetching

        conn = fetching.conn_to_Oracle(args.db)
        if conn is None:
            reason = watch.last_error or "the connection failed"
            raise CommandError(f"cannot connect to database section '{args.db}': {reason}")
        return conn
    if getattr(args, "sample", None) is not None:
        path = _ensure_sample(Path(args.sample) if args.sample else None, say=lambda t: print(t, file=sys.stderr))
        return _sample_module().connect(path)
    return None


def _add_connection_options(parser: argparse.ArgumentParser, required: bool) -> None:
    group = parser.add_mutually_exclusive_group(required=required)
    group.add_argument(
        "--db",
        metavar="SECTION",
        help="read from the Oracle database described by this section of default.conf "
        "(the working directory's, then ~/.lumor/default.conf)",
    )
    group.add_argument(
        "--sample",
        metavar="PATH",
        nargs="?",
        const="",
        help="read from the embedded sample network (a DuckDB file; built there first if missing). "
        "Without PATH the sample network's default file is used",
    )


# ---------------------------------------------------------------------------------------------
# lumoreq fetch
# ---------------------------------------------------------------------------------------------


def _fetch(args: argparse.Namespace, watch: _LogWatch) -> int:
    from . import fetching

    item: Any = "全部"
    if args.item:
        item = args.item[0] if len(args.item) == 1 else list(args.item)
    output = Path(args.output)
    conn = _open_connection(args, watch)
    try:
        try:
            df = _fetch_table(fetching, conn, args, item)
        except (TypeError, ValueError) as error:
            if not args.gzip and "bytes" in str(error):
                raise CommandError(f"{_one_line(error)} (the values look gzip-compressed: add --gzip)") from error
            raise
        if df is None:
            raise CommandError(
                "the request gives no query: " + (watch.last_error or "no data table matches the method, kind and rate")
            )
        if df.empty:
            why = f" ({watch.last_warning})" if watch.last_warning else ""
            raise CommandError(f"no observations match the request{why}; nothing written")
        output.parent.mkdir(parents=True, exist_ok=True)
        previous = output.stat().st_mtime_ns if output.exists() else None
        fetching.DataFetcher.export_ruzi(conn, df, str(output), args.rate)
    finally:
        if conn is not None:
            conn.close()
    if not output.exists() or output.stat().st_mtime_ns == previous:
        raise CommandError(f"{output} was not written: " + (watch.last_error or "the export failed"))
    series = df.groupby(["STATIONID", "POINTID", "ITEMID"]).ngroups if _has_ids(df) else 0
    print(f"wrote {output.resolve()}: {len(df):,} rows, {series} series, {output.stat().st_size:,} bytes")
    return 0


def _fetch_table(fetching, conn, args: argparse.Namespace, item: Any):
    return fetching.fetching_data(
        conn,
        args.start,
        args.end,
        args.method,
        args.station,
        args.rate,
        args.kind,
        itemname=item,
        gzip_flag=args.gzip,
        my_split_lines=not args.packed,
        pointid=args.point,
    )


def _has_ids(df) -> bool:
    return all(c in df.columns for c in ("STATIONID", "POINTID", "ITEMID"))


# ---------------------------------------------------------------------------------------------
# lumoreq plot
# ---------------------------------------------------------------------------------------------


def _figure_files(folder: Path) -> dict[Path, int]:
    if not folder.is_dir():
        return {}
    return {p: p.stat().st_mtime_ns for p in folder.iterdir() if p.is_file()}


def _written(before: dict[Path, int], after: dict[Path, int]) -> list[Path]:
    return sorted(p for p, stamp in after.items() if before.get(p) != stamp)


def _plot(args: argparse.Namespace, watch: _LogWatch) -> int:
    from .export import read_ruzi

    source = Path(args.file).resolve()
    catalogue = str(Path(args.catalogue).resolve()) if args.catalogue else None
    metadata_dir = str(Path(args.metadata_dir).resolve()) if args.metadata_dir else None
    try:
        ts, _context = read_ruzi(source)
    except FileNotFoundError:
        raise CommandError(f"no such file: {source}") from None
    import pandas as pd

    if not isinstance(ts.index, pd.DatetimeIndex) or not _has_ids(ts):
        raise CommandError(
            f"{source} holds packed rows, not one sample per row: fetch it again without --packed to plot it"
        )
    try:
        from . import plotting
    except ImportError as error:
        raise CommandError(f"the charts are not available: {_one_line(error)}") from None
    builder_name = "plot_by_items" if args.by == "item" else "plot_by_stations"
    if not hasattr(plotting, builder_name):
        raise CommandError(f"lumoreq.plotting.{builder_name} is not built yet")
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    conn = _open_connection(args, watch)
    keywords: dict[str, Any] = dict(
        prefix=args.prefix,
        fig_label=args.label,
        show_mean=args.stats,
        show_std=args.stats,
        figure_format=args.format,
        qcat_dir=catalogue,
        start_time=args.start,
        end_time=args.end,
        metadata_dir=metadata_dir,
    )
    if args.by == "item":
        keywords["number_of_subplots"] = args.panels
    else:
        keywords["daily_mean_values"] = args.daily
    previous = Path.cwd()
    # Figures are written below the working directory's figures/ folder.
    os.chdir(out)
    try:
        before = _figure_files(out / "figures")
        getattr(plotting, builder_name)(ts, conn=conn, **keywords)
        written = _written(before, _figure_files(out / "figures"))
    finally:
        os.chdir(previous)
        if conn is not None:
            conn.close()
    if not written:
        raise CommandError("no figure was drawn: " + (watch.last_error or "no panel had data and metadata"))
    for path in written:
        print(path)
    return 0


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
RAIN_METHOD = "气象"  # a part of a method name: the categories leave the weather method out
RAIN_ITEM = "降雨量"
WATER_METHOD = "流体"
WATER_ITEM = "水位"
YEARS_START = "2024-01-01"
YEARS_END = "2025-12-31"


def _demo(args: argparse.Namespace, watch: _LogWatch) -> int:
    out = Path(args.dir).resolve()
    out.mkdir(parents=True, exist_ok=True)
    database = Path(args.database).resolve() if args.database else None
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
        path = database or _sample_default_path(sample)
        existed = path.exists() and not rebuild
        if not existed:
            path.parent.mkdir(parents=True, exist_ok=True)
            sample.build(path)
        state["database"] = path
        s["note"] = f"{'reused' if existed else 'built'} {path}"
        outputs.append(("sample network", path))
        catalogue = _sample_catalogue(sample, path)
        if catalogue is not None:
            state["catalogue"] = catalogue
            outputs.append(("earthquake catalogue", catalogue))

    with progress.step("open the connection") as s:
        _requires(state, "database")
        state["conn"] = sample.connect(state["database"])
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
        rain = fetching.fetching_data(
            state["conn"], DEMO_START, DEMO_END, RAIN_METHOD, "全部", "日均值", DEMO_KIND, itemname=RAIN_ITEM
        )
        if rain is None or rain.empty:
            raise _Skip(f"no {RAIN_ITEM} series in the sample network")
        # One rainfall series per station (its first point that measures it).
        state["rainfall"] = {
            station: group.loc[group["POINTID"] == group["POINTID"].iloc[0], "OBSVALUE"]
            for station, group in rain.groupby("STATIONID", sort=False)
        }
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

# ---------------------------------------------------------------------------------------------
# The parser
# ---------------------------------------------------------------------------------------------

_EPILOG = """\
examples:
  lumoreq demo
  lumoreq fetch --sample --method 形变 --rate 分钟值 --kind 预处理库 \\
      --start 2024-01-01 --end 2024-01-31 --gzip -o deformation.ruzi
  lumoreq fetch --db oracle_main --method 流体 --station 昌平 --item 水位 --rate 日均值 \\
      --kind 预处理库 --start 2023-01-01 --end 2024-12-31 -o water.ruzi
  lumoreq plot deformation.ruzi --by station --catalogue quakes.txt --stats --sample
"""


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="lumoreq",
        description="前兆观测数据分析工具 lumoreq: fetch, filter, plot and export precursor observation series.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"lumoreq {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def common(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "-v",
            "--verbose",
            action="store_true",
            help="also show the library's log messages on standard error (they always go to the log file)",
        )

    demo = sub.add_parser(
        "demo",
        help="run the analyst's main job on the embedded sample network",
        description="Build (once) the embedded sample network, then fetch deformation series at several "
        "stations, filter outliers, resample, export a RUZI file and read it back, draw figures by item "
        "and by station with statistics lines, earthquakes and rainfall, and draw an annual comparison. "
        "Prints one line per step with its time and where every output went.",
    )
    demo.add_argument(
        "--dir",
        default="lumoreq-demo",
        help="folder for everything the demo writes: the RUZI file and figures/ (default: ./lumoreq-demo)",
    )
    demo.add_argument(
        "--database",
        metavar="PATH",
        help="the sample network file to use (default: the sample network's default file; built if missing)",
    )
    demo.add_argument("--rebuild", action="store_true", help="build the sample network again even if it exists")
    common(demo)
    demo.set_defaults(func=_demo)

    fetch = sub.add_parser(
        "fetch",
        help="fetch series from a database and write them as a RUZI file",
        description="Fetch the observations of a method (instrument family) at the stations and items you "
        "name, one row per sample, and write them with the metadata of their stations and items as a "
        "RUZI (Parquet) file.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _add_connection_options(fetch, required=True)
    fetch.add_argument(
        "--method",
        default="全部",
        help="method category 形变 (deformation), 电磁 (electromagnetic), 流体 (fluid), 全部 (all), "
        "or part of a method name (default: 全部)",
    )
    fetch.add_argument("--station", default="全部", help="part of a station name, or 全部 for all stations (default)")
    fetch.add_argument(
        "--item",
        action="append",
        metavar="NAME",
        help="the measured item: once, part of an item name; repeated, the exact item names to take "
        "(default: all items)",
    )
    fetch.add_argument(
        "--rate",
        default="分钟值",
        help="sample rate: 秒钟值 (second), 分钟值 (minute), 小时值 (hour), 日均值 (day) or an alias "
        "such as 分值 (default: 分钟值). Stored in the file's metadata as given",
    )
    fetch.add_argument(
        "--kind",
        default="预处理库",
        help="database kind: 原始库 (raw), 预处理库 (preprocessed) or 产品库 (product) (default: 预处理库)",
    )
    fetch.add_argument("--start", required=True, help="first day, e.g. 2024-01-01 or 20240101")
    fetch.add_argument("--end", required=True, help="last day, included whole, e.g. 2024-01-31")
    fetch.add_argument("--point", default="", help="measurement point identifier (default: every point)")
    fetch.add_argument(
        "--gzip",
        action="store_true",
        help="the minute and second values are stored gzip-compressed (as in the sample network)",
    )
    fetch.add_argument(
        "--packed",
        action="store_true",
        help="keep one row per stored day row with the packed value text, instead of one row per sample",
    )
    fetch.add_argument("-o", "--output", required=True, help="the RUZI file to write (a missing folder is created)")
    common(fetch)
    fetch.set_defaults(func=_fetch)

    plot = sub.add_parser(
        "plot",
        help="draw the figures of a RUZI file",
        description="Draw multi-panel figures of the series in a RUZI file: one figure per item (a panel per "
        "station and point) or one per station and point (a panel per item). Station and item names "
        "come from the database (--db or --sample) or, without either, from the local metadata cache.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    plot.add_argument("file", help="a RUZI file written by lumoreq fetch or export_ruzi")
    plot.add_argument(
        "--by", choices=("item", "station"), default="item", help="one figure per item (default) or per station"
    )
    plot.add_argument("--catalogue", metavar="PATH", help="earthquake catalogue file: mark nearby events")
    plot.add_argument(
        "--out",
        default=".",
        metavar="DIR",
        help="figures are written to DIR/figures/ (default: ./figures/ of the working directory)",
    )
    _add_connection_options(plot, required=False)
    plot.add_argument("--metadata-dir", metavar="DIR", help="the local metadata cache folder (default: its usual place)")
    plot.add_argument("--stats", action="store_true", help="draw the mean and the mean ± 2 standard deviations")
    plot.add_argument("--start", help="draw from this time on (e.g. 2024-01-05)")
    plot.add_argument("--end", help="draw up to this time")
    plot.add_argument("--prefix", default="", help="text put in front of every figure file name")
    plot.add_argument("--label", default="", help="figure label put into every figure file name")
    plot.add_argument("--panels", type=int, default=7, help="panels per figure when --by item (default: 7)")
    plot.add_argument("--daily", action="store_true", help="draw daily medians when --by station")
    plot.add_argument("--format", default="png", help="figure file format: png (default), pdf, svg, ...")
    common(plot)
    plot.set_defaults(func=_plot)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command = f"lumoreq {args.command}"
    try:
        watch = _quiet_logging(args.verbose)
        status = args.func(args, watch)
    except CommandError as error:
        print(f"{command}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{command}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # the one line replaces a traceback; the log file has the details
        logging.getLogger("lumoreq.cli").error("%s failed", command, exc_info=True)
        print(f"{command}: error: {_one_line(error)}", file=sys.stderr)
        return 1
    if watch.warnings and not args.verbose:
        print(f"({watch.warnings} warning(s) in {watch.log_file})", file=sys.stderr)  # type: ignore[attr-defined]
    return status


if __name__ == "__main__":
    sys.exit(main())
