"""Command line of lumoreq: the parser, the shared options and the commands.

    lumoreq demo     the analyst's main job on the embedded sample network
    lumoreq fetch    fetch series from a database and write them as a RUZI file
    lumoreq plot     draw the figures of a RUZI file
    lumoreq list     the stations, points, items or methods a source knows
    lumoreq cache    refresh the local metadata cache

``lumoreq <command> --help`` explains every option. Library messages go to the log file; ``-v``
also shows them on standard error. A mistake ends with one line on standard error: exit status 2
for a wrong option or value, 1 for a failure (no connection, nothing matched, nothing drawn).

More commands plug in through :func:`_register_extra_commands`: a module ``lumoreq.jobs_cli``
exposing ``register(subparsers, add_source_options)`` adds its own sub-commands. They take their
options from the builders here (:func:`add_source_options`, :func:`add_selection_options`,
:func:`add_out_option`, :func:`add_common_options`), open their source with
:func:`open_connection`, and set ``func(args, watch) -> int`` as the sub-command's default.
"""

from __future__ import annotations

import argparse
import calendar
import configparser
import datetime as _dt
import logging
import os
import re
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from . import __version__
from .console import (  # shared with the demo
    CommandError,
    UsageError,
    _ensure_sample,
    _figure_files,
    _LogWatch,
    _one_line,
    _written,
)
from .sources import METHOD_CATEGORIES, RAIN_ITEM, _names_hint, checked_catalogue, open_sample, rainfall_by_station

# ---------------------------------------------------------------------------------------------
# Failures and messages
# ---------------------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """argparse with a one-line error instead of the usage block."""

    def error(self, message: str) -> None:  # type: ignore[override]
        message = " ".join(message.split())
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _quiet_logging(verbose: bool) -> _LogWatch:
    """Load the logging set-up, keep the log file, and show records on stderr only with -v."""
    from . import logsetup

    root = logging.getLogger()
    watch = _LogWatch()
    if not verbose:
        # Only the handlers writing to the terminal; others (a notebook's, a test runner's) stay.
        terminal = (sys.stderr, sys.stdout, sys.__stderr__, sys.__stdout__)
        for handler in root.handlers:
            if isinstance(handler, logging.StreamHandler) and not isinstance(handler, logging.FileHandler):
                if handler.stream in terminal:
                    watch.silenced.append((handler, handler.level))
                    handler.setLevel(logging.CRITICAL + 1)
    root.addHandler(watch)
    watch.log_file = str(logsetup.log_file)
    return watch


def _restore_logging(watch: _LogWatch) -> None:
    logging.getLogger().removeHandler(watch)
    for handler, level in watch.silenced:
        handler.setLevel(level)


# ---------------------------------------------------------------------------------------------
# Dates
# ---------------------------------------------------------------------------------------------

_DATE_FORMS = "YYYY-MM-DD, YYYYMMDD or YYYY-MM"
_DAY = re.compile(r"(\d{4})-(\d{2})-(\d{2})|(\d{4})(\d{2})(\d{2})|(\d{4})-(\d{2})", re.ASCII)


@dataclass(frozen=True)
class Day:
    """A date given on the command line: one day, or a whole month (``first`` .. ``last``)."""

    text: str
    first: _dt.date
    last: _dt.date

    @property
    def compact(self) -> str:  # the first day as YYYYMMDD
        return self.first.strftime("%Y%m%d")


def parse_day(text: str) -> Day:
    """argparse type of the date options: ``YYYY-MM-DD``, ``YYYYMMDD`` or ``YYYY-MM``."""
    match = _DAY.fullmatch(text.strip())
    if not match:
        raise argparse.ArgumentTypeError(f"not a date: {text!r} (use {_DATE_FORMS})")
    groups = [int(g) if g else None for g in match.groups()]
    year, month, day = groups[0:3] if groups[0] else groups[3:6] if groups[3] else (*groups[6:8], None)
    # Inside the table library's time range, so every command can use the date.
    if not 1678 <= year <= 2261:
        raise argparse.ArgumentTypeError(f"year out of range in {text!r} (1678 to 2261)")
    try:
        if day is None:
            first = _dt.date(year, month, 1)
            return Day(text, first, _dt.date(year, month, calendar.monthrange(year, month)[1]))
        return Day(text, _dt.date(year, month, day), _dt.date(year, month, day))
    except ValueError:
        raise argparse.ArgumentTypeError(f"no such day: {text!r}") from None


def _window(args: argparse.Namespace):
    """(first timestamp, last timestamp) of --start/--end, each None when not given; the end
    day is included whole."""
    import pandas as pd

    start = pd.Timestamp(args.start.first) if getattr(args, "start", None) else None
    end = None
    if getattr(args, "end", None):
        end = pd.Timestamp(args.end.last) + pd.Timedelta(days=1) - pd.Timedelta(1, "ns")
    return start, end


# ---------------------------------------------------------------------------------------------
# Options shared by the commands
# ---------------------------------------------------------------------------------------------

# Sample rates: the four names and the aliases the fetcher accepts.
RATES = ("秒钟值", "分钟值", "小时值", "日均值", "秒值", "分值", "整点值", "日值")
KINDS = ("原始库", "预处理库", "产品库")


def add_common_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="also show the library's log messages on standard error (they always go to the log file)",
    )


def add_source_options(
    parser: argparse.ArgumentParser, required: bool = False, metadata_dir: bool = False
) -> None:
    """--db SECTION, --sample, --sample-path PATH (and --metadata-dir DIR): where data and names come from.

    ``required``: one of the three must be given (checked after parsing, so the message is one line).
    """
    group = parser.add_argument_group("data source")
    either = group.add_mutually_exclusive_group()
    either.add_argument(
        "--db",
        metavar="SECTION",
        help="read from the Oracle database described by this section of default.conf "
        "(the working directory's, then ~/.lumor/default.conf)",
    )
    either.add_argument(
        "--sample",
        action="store_true",
        help="read from the embedded sample network (its default file, built on first use)",
    )
    group.add_argument(
        "--sample-path",
        metavar="PATH",
        help="read from the sample network in this DuckDB file (built there first if missing)",
    )
    if metadata_dir:
        group.add_argument(
            "--metadata-dir",
            metavar="DIR",
            help="the local metadata cache folder (default: ~/.local/share/lumoreq/metadata)",
        )
    parser.set_defaults(_source_required=required)


def add_selection_options(parser: argparse.ArgumentParser, dates_required: bool = True) -> None:
    """What to fetch: --method, --station, --item, --rate, --kind, --start, --end, --point."""
    group = parser.add_argument_group("selection")
    group.add_argument(
        "--method",
        default="全部",
        help="method category 形变 (deformation), 电磁 (electromagnetic), 流体 (fluid), 全部 (all), "
        "or part of a method name (default: 全部)",
    )
    group.add_argument("--station", default="全部", help="part of a station name, or 全部 for all stations (default)")
    group.add_argument(
        "--item",
        action="append",
        metavar="NAME",
        help="the measured item: once, part of an item name; repeated, the exact item names to take "
        "(default: all items)",
    )
    group.add_argument(
        "--rate",
        default="分钟值",
        choices=RATES,
        metavar="RATE",
        help="sample rate: 秒钟值 (second), 分钟值 (minute), 小时值 (hour), 日均值 (day), or an alias "
        "秒值, 分值, 整点值, 日值 (default: 分钟值). Stored in the file's metadata as given",
    )
    group.add_argument(
        "--kind",
        default="预处理库",
        choices=KINDS,
        metavar="KIND",
        help="database kind: 原始库 (raw), 预处理库 (preprocessed) or 产品库 (product) (default: 预处理库)",
    )
    group.add_argument(
        "--start",
        required=dates_required,
        type=parse_day,
        metavar="DATE",
        help=f"first day: {_DATE_FORMS} (a month starts on its first day)",
    )
    group.add_argument(
        "--end",
        required=dates_required,
        type=parse_day,
        metavar="DATE",
        help=f"last day, included whole: {_DATE_FORMS} (a month ends on its last day)",
    )
    group.add_argument("--point", default="", help="measurement point identifier (default: every point)")


def add_out_option(parser: argparse.ArgumentParser, default: str, help: str) -> None:
    parser.add_argument("--out", default=default, metavar="DIR", help=help)


def _check_source(args: argparse.Namespace) -> None:
    if getattr(args, "sample_path", None) and getattr(args, "db", None):
        raise UsageError("argument --sample-path: not allowed with argument --db")
    if getattr(args, "_source_required", False) and not (args.db or args.sample or args.sample_path):
        raise UsageError("one of the arguments --db --sample --sample-path is required")


def _check_dates(args: argparse.Namespace) -> None:
    start, end = getattr(args, "start", None), getattr(args, "end", None)
    if start is not None and end is not None and end.last < start.first:
        raise UsageError(f"the end {end.text} is before the start {start.text}")


# ---------------------------------------------------------------------------------------------
# The embedded sample network and connections
# ---------------------------------------------------------------------------------------------


def uses_sample(args: argparse.Namespace) -> bool:
    return bool(getattr(args, "sample", False) or getattr(args, "sample_path", None))


def sample_path(args: argparse.Namespace) -> Path:
    """The sample network file the options name, built when missing (announced on stderr)."""
    given = getattr(args, "sample_path", None)
    return _ensure_sample(Path(given) if given else None, say=lambda t: print(t, file=sys.stderr))


def _settings_report(section: str) -> str:
    """Which settings files were read and which sections they hold, for a failed connection."""
    seen = []
    for path in (Path.cwd() / "default.conf", Path.home() / ".lumor" / "default.conf"):
        if not path.is_file():
            seen.append(f"{path}: no such file")
            continue
        parser = configparser.RawConfigParser()
        try:
            parser.read(path, encoding="utf-8")
        except (configparser.Error, OSError, UnicodeDecodeError) as error:
            seen.append(f"{path}: unreadable ({type(error).__name__})")
            continue
        sections = parser.sections()
        mark = "" if section in sections else f", no [{section}]"
        seen.append(f"{path}: sections {', '.join(sections) or 'none'}{mark}")
    return "; ".join(seen)


def open_connection(args: argparse.Namespace, watch: _LogWatch | None = None):
    """The connection asked for by --db, --sample or --sample-path; None when none was given.

    The sample network is opened read-only, so several commands can read it side by side.
    """
    if getattr(args, "db", None):
        from . import fetching

        try:
            conn = fetching.conn_to_Oracle(args.db)
            reason = (watch.last_error if watch else None) or "the connection failed"
        except Exception as error:
            conn, reason = None, _one_line(error)
        if conn is None:
            raise CommandError(
                f"cannot connect to database section '{args.db}': {reason} "
                f"(settings looked at: {_settings_report(args.db)})"
            )
        return conn
    if uses_sample(args):
        return open_sample(sample_path(args))
    return None


def _metadata_dir(args: argparse.Namespace) -> str | None:
    given = getattr(args, "metadata_dir", None)
    return str(Path(given).resolve()) if given else None


def _dictionary(conn, name: str, cache_dir: str | None):
    """One dictionary table (stations, points, items, methods): from ``conn`` through a
    throw-away cache folder, or from the metadata cache."""
    from .metadata_cache import MetadataCache

    if conn is None:
        try:
            return MetadataCache.get_table(name, cache_dir=cache_dir)
        except FileNotFoundError:
            where = MetadataCache.resolve_cache_dir(cache_dir)
            raise CommandError(
                f"no metadata cache in {where}: run `lumoreq cache refresh --db SECTION` first, "
                "or name a source with --db, --sample or --sample-path"
            ) from None
    with tempfile.TemporaryDirectory(prefix="lumoreq-dict-") as scratch:
        MetadataCache.refresh_cache(conn=conn, cache_dir=scratch, tables=[name])
        return MetadataCache.get_table(name, cache_dir=scratch)


def _column(frame, name: str) -> list[str]:
    return [str(v) for v in frame[name].tolist()] if name in frame.columns else []


def _check_selection(conn, args: argparse.Namespace, cache_dir: str | None = None) -> None:
    """Method, station and items must each match something; otherwise say what exists."""
    from . import fetching

    fetcher = fetching.MetadataFetcher
    method = args.method
    if method != "全部":
        found = fetcher.get_method_ids(conn, method, cache_dir)
        if found is None or len(found) == 0:
            names = _column(_dictionary(conn, "methods", cache_dir), "METHODNAME")
            also = f"categories: {', '.join(METHOD_CATEGORIES)}; "
            raise CommandError(
                f"no method matches '{method}'{_names_hint('method names', method, names, 'methods', also)}"
            )
    if args.station != "全部":
        found = fetcher.get_station_ids(conn, args.station, cache_dir)
        if found is None or len(found) == 0:
            names = _column(_dictionary(conn, "stations", cache_dir), "STATIONNAME")
            raise CommandError(
                f"no station matches '{args.station}'{_names_hint('stations', args.station, names, 'stations')}"
            )
    items = args.item or []
    if items:
        names = None
        if len(items) == 1:  # a part of a name
            found = fetcher.get_item_ids(conn, items[0], cache_dir)
            missing = items if found is not None and len(found) == 0 else []
        else:  # exact names
            names = _column(_dictionary(conn, "items", cache_dir), "ITEMNAME")
            missing = [i for i in items if i not in names]
        if missing:
            if names is None:
                names = _column(_dictionary(conn, "items", cache_dir), "ITEMNAME")
            raise CommandError(
                f"no item matches '{missing[0]}'{_names_hint('items', missing[0], names, 'items')}"
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
    if output.is_dir():
        raise CommandError(f"-o names a file to write, and {output} is a folder")
    conn = open_connection(args, watch)
    # The fetcher notes compressed values found without gzip_flag: here that is the normal case.
    watch.expected = ("gzip_flag",)
    try:
        _check_selection(conn, args)
        df = fetch_table(fetching, conn, args, item)
        if df is None:
            raise CommandError(
                "the request gives no query: "
                + (watch.last_error or f"no {args.kind} {args.rate} table holds method '{args.method}'")
            )
        if df.empty:
            why = f" ({watch.last_warning})" if watch.last_warning else ""
            raise CommandError(
                f"no observations between {args.start.text} and {args.end.text} match the request{why}; "
                "nothing written"
            )
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


def fetch_table(fetching, conn, args: argparse.Namespace, item: Any):
    """The fetch the options describe (the fetcher recognises compressed values by itself, so
    --gzip is not needed)."""
    return fetching.fetching_data(
        conn,
        args.start.compact,
        args.end.last.strftime("%Y%m%d"),
        args.method,
        args.station,
        args.rate,
        args.kind,
        itemname=item,
        gzip_flag=False,
        my_split_lines=not getattr(args, "packed", False),
        pointid=args.point,
    )


def _has_ids(df) -> bool:
    return all(c in df.columns for c in ("STATIONID", "POINTID", "ITEMID"))


# ---------------------------------------------------------------------------------------------
# lumoreq plot
# ---------------------------------------------------------------------------------------------


def _check_catalogue(path: str | None) -> str | None:
    """The catalogue's absolute path once it has been read whole; a failure before drawing."""
    if not path:
        return None
    try:
        return checked_catalogue(path, describe=_one_line)
    except (OSError, ValueError) as error:
        raise CommandError(str(error)) from None


def _records_cache(context: Any, ts, folder: str) -> str:
    """A metadata cache in ``folder`` holding the station and item records a RUZI file carries."""
    import pandas as pd

    from .metadata_cache import MetadataCache

    context = context if isinstance(context, dict) else {}
    stations = pd.DataFrame(list(context.get("station_info") or []))
    items = pd.DataFrame(list(context.get("item_info") or []))
    if "STATIONID" not in stations.columns:
        stations = pd.DataFrame({"STATIONID": pd.Series(dtype=object), "STATIONNAME": pd.Series(dtype=object)})
    if "ITEMID" not in items.columns:
        items = pd.DataFrame({"ITEMID": pd.Series(dtype=object), "ITEMNAME": pd.Series(dtype=object)})
    points = ts[["STATIONID", "POINTID"]].drop_duplicates().reset_index(drop=True).astype(str)
    MetadataCache.store_tables({"stations": stations, "points": points, "items": items}, cache_dir=folder)
    return folder


def _rainfall(conn, ts, start, end) -> dict:
    """Day totals of rainfall per station of ``ts``."""
    first = start if start is not None else ts.index.min()
    last = end if end is not None else ts.index.max()
    return rainfall_by_station(conn, first.strftime("%Y%m%d"), last.strftime("%Y%m%d"),
                               stations=ts["STATIONID"].astype(str))


def _plot(args: argparse.Namespace, watch: _LogWatch) -> int:
    from .export import read_ruzi

    if args.rainfall and args.by != "station":
        raise UsageError("--rainfall draws a panel of the figures by station: add --by station")
    if args.rainfall and not (args.db or uses_sample(args)):
        raise UsageError("--rainfall reads the rainfall from a database: add --db SECTION, --sample or --sample-path")
    source = Path(args.file).resolve()
    catalogue = _check_catalogue(args.catalogue)
    try:
        ts, context = read_ruzi(source)
    except FileNotFoundError:
        raise CommandError(f"no such file: {source}") from None
    except IsADirectoryError:
        raise CommandError(f"{source} is a folder, not a RUZI file") from None
    import pandas as pd

    if not isinstance(ts.index, pd.DatetimeIndex) or not _has_ids(ts):
        raise CommandError(
            f"{source} holds packed rows, not one sample per row: fetch it again without --packed to plot it"
        )
    start, end = _window(args)
    shown = ts.loc[start:end] if (start is not None or end is not None) else ts
    values = shown["OBSVALUE"] if "OBSVALUE" in shown.columns else shown
    if values.empty or ("OBSVALUE" in shown.columns and not values.notna().any()):
        held = f"it holds {ts.index.min():%Y-%m-%d} to {ts.index.max():%Y-%m-%d}" if len(ts) else "it holds no rows"
        asked = f" between {args.start.text if args.start else '...'} and {args.end.text if args.end else '...'}"
        raise CommandError(f"no data to draw{asked if start or end else ''} in {source.name} ({held})")
    try:
        from . import plotting
    except ImportError as error:
        raise CommandError(f"the charts are not available: {_one_line(error)}") from None
    out = Path(args.out).resolve()
    metadata_dir = _metadata_dir(args)
    if metadata_dir is not None and not (args.db or uses_sample(args)):
        _dictionary(None, "stations", metadata_dir)  # a cache that is not there fails here, in one line
    scratch = None
    conn = open_connection(args, watch)
    previous = Path.cwd()
    try:
        if conn is None and metadata_dir is None:
            # Offline: the names come from the records the file carries.
            scratch = tempfile.TemporaryDirectory(prefix="lumoreq-plot-")
            metadata_dir = _records_cache(context, ts, scratch.name)
        rainfall = _rainfall(conn, ts, start, end) if args.rainfall else {}
        if args.rainfall and not rainfall:
            raise CommandError(f"no {RAIN_ITEM} day values at the stations of {source.name} in the source; nothing drawn")
        keywords: dict[str, Any] = dict(
            prefix=args.prefix,
            fig_label=args.label,
            show_mean=args.stats,
            show_std=args.stats,
            figure_format=args.format,
            qcat_dir=catalogue,
            start_time=start,
            end_time=end,
            metadata_dir=metadata_dir,
        )
        out.mkdir(parents=True, exist_ok=True)
        # Figures are written below the working directory's figures/ folder.
        os.chdir(out)
        before = _figure_files(out / "figures")
        if args.by == "item":
            plotting.plot_by_items(ts, conn=conn, number_of_subplots=args.panels, **keywords)
        elif not args.rainfall:
            plotting.plot_by_stations(ts, conn=conn, daily_mean_values=args.daily, **keywords)
        else:
            # A figure's rainfall panel shows the rain at that figure's own station.
            for station, table in ts.groupby("STATIONID", sort=False):
                plotting.plot_by_stations(
                    table, conn=conn, daily_mean_values=args.daily, rainfall=rainfall.get(station), **keywords
                )
        written = _written(before, _figure_files(out / "figures"))
    finally:
        os.chdir(previous)
        if conn is not None:
            conn.close()
        if scratch is not None:
            scratch.cleanup()
    if not written:
        raise CommandError("no figure was drawn: " + (watch.last_error or watch.last_warning or "no panel had data"))
    for path in written:
        print(path)
    return 0


# ---------------------------------------------------------------------------------------------
# lumoreq list, lumoreq cache refresh
# ---------------------------------------------------------------------------------------------

_LIST_COLUMNS = {
    "stations": ("STATIONID", "STATIONNAME", "LONGITUDE", "LATITUDE"),
    "points": ("STATIONID", "POINTID", "POINTNAME"),
    "items": ("ITEMID", "ITEMNAME", "UNIT"),
    "methods": ("METHODID", "METHODNAME"),
}


def _list(args: argparse.Namespace, watch: _LogWatch) -> int:
    conn = open_connection(args, watch)
    try:
        table = _dictionary(conn, args.what, _metadata_dir(args))
    finally:
        if conn is not None:
            conn.close()
    if table.empty:
        raise CommandError(f"the source lists no {args.what}")
    columns = [c for c in _LIST_COLUMNS[args.what] if c in table.columns] or list(table.columns)
    print(table[columns].to_string(index=False))
    return 0


def _cache_refresh(args: argparse.Namespace, watch: _LogWatch) -> int:
    from .metadata_cache import MetadataCache

    if uses_sample(args) and not args.metadata_dir:
        raise UsageError(
            "the sample network never refreshes your real metadata cache: give --metadata-dir DIR with it"
        )
    cache_dir = _metadata_dir(args)
    conn = open_connection(args, watch)
    try:
        written = MetadataCache.refresh_cache(conn=conn, cache_dir=cache_dir)
    finally:
        conn.close()
    print(f"refreshed the metadata cache in {MetadataCache.resolve_cache_dir(cache_dir)}: {', '.join(written)}")
    return 0


# ---------------------------------------------------------------------------------------------
# The parser
# ---------------------------------------------------------------------------------------------

_EPILOG = """\
examples:
  lumoreq demo
  lumoreq list stations --sample
  lumoreq fetch --sample --method 形变 --rate 分钟值 --kind 预处理库 \\
      --start 2024-01-01 --end 2024-01-31 -o deformation.ruzi
  lumoreq fetch --db oracle_main --method 流体 --station 昌平 --item 水位 --rate 日均值 \\
      --kind 预处理库 --start 2023-01 --end 2024-12 -o water.ruzi
  lumoreq plot deformation.ruzi --by station --catalogue quakes.txt --stats --out report
  lumoreq cache refresh --db oracle_main
"""


def _register_extra_commands(sub: Any) -> None:
    """Sub-commands of optional modules (the network-scale jobs); their absence is no error."""
    import importlib

    try:
        jobs_cli = importlib.import_module(f"{__package__}.jobs_cli")
    except ImportError as error:
        if getattr(error, "name", None) not in (f"{__package__}.jobs_cli", None):
            # The module is there but something it needs is not: leave its commands out.
            logging.getLogger("lumoreq.cli").debug("job commands left out: %s", error)
        return
    jobs_cli.register(sub, add_source_options)


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

    demo = sub.add_parser(
        "demo",
        help="run the analyst's main job on the embedded sample network",
        description="Build (once) the embedded sample network, then fetch deformation series at several "
        "stations, filter outliers, resample, export a RUZI file and read it back, draw figures by item "
        "and by station with statistics lines, earthquakes and rainfall, and draw an annual comparison. "
        "Prints one line per step with its time and where every output went.",
    )
    add_out_option(
        demo, "lumoreq-demo", "folder for everything the demo writes: the RUZI file and figures/ (default: ./lumoreq-demo)"
    )
    demo.add_argument("--dir", dest="out", metavar="DIR", help="the same as --out (kept for old scripts)")
    demo.add_argument(
        "--sample", action="store_true", help="use the sample network's default file (the default; built if missing)"
    )
    demo.add_argument(
        "--sample-path",
        "--database",
        dest="sample_path",
        metavar="PATH",
        help="the sample network file to use instead (built there if missing); --database is the same",
    )
    demo.add_argument("--rebuild", action="store_true", help="build the sample network again even if it exists")
    add_common_options(demo)
    demo.set_defaults(func=_run_demo)

    fetch = sub.add_parser(
        "fetch",
        help="fetch series from a database and write them as a RUZI file",
        description="Fetch the observations of a method (instrument family) at the stations and items you "
        "name, one row per sample, and write them with the metadata of their stations and items as a "
        "RUZI (Parquet) file.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_source_options(fetch, required=True)
    add_selection_options(fetch)
    fetch.add_argument(
        "--gzip",
        action="store_true",
        help="accepted for old scripts and not needed: gzip-compressed values are recognised on their own",
    )
    fetch.add_argument(
        "--packed",
        action="store_true",
        help="keep one row per stored day row with the packed value text, instead of one row per sample",
    )
    fetch.add_argument("-o", "--output", required=True, metavar="FILE",
                       help="the RUZI file to write (a missing folder is created)")
    add_common_options(fetch)
    fetch.set_defaults(func=_fetch)

    plot = sub.add_parser(
        "plot",
        help="draw the figures of a RUZI file",
        description="Draw multi-panel figures of the series in a RUZI file: one figure per item (a panel per "
        "station and point) or one per station and point (a panel per item). Station and item names come "
        "from the database (--db, --sample, --sample-path), from the metadata cache (--metadata-dir), or "
        "without either from the records stored in the file itself (no database, no cache).",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    plot.add_argument("file", help="a RUZI file written by lumoreq fetch or export_ruzi")
    plot.add_argument(
        "--by", choices=("item", "station"), default="item", help="one figure per item (default) or per station"
    )
    plot.add_argument("--catalogue", metavar="PATH", help="earthquake catalogue file: mark nearby events")
    add_out_option(plot, ".", "figures are written to DIR/figures/ (default: ./figures/ of the working directory)")
    add_source_options(plot, metadata_dir=True)
    plot.add_argument(
        "--rainfall",
        action="store_true",
        help=f"with --by station: a bottom panel of {RAIN_ITEM} day totals at the figure's station, "
        "read from the database or sample network",
    )
    plot.add_argument("--stats", action="store_true", help="draw the mean and the mean ± 2 standard deviations")
    plot.add_argument("--start", type=parse_day, metavar="DATE", help=f"draw from this day on ({_DATE_FORMS})")
    plot.add_argument("--end", type=parse_day, metavar="DATE", help="draw up to this day, included whole")
    plot.add_argument("--prefix", default="", help="text put in front of every figure file name")
    plot.add_argument("--label", default="", help="figure label put into every figure file name")
    plot.add_argument("--panels", type=int, default=7, help="panels per figure when --by item (default: 7)")
    plot.add_argument("--daily", action="store_true", help="draw daily medians when --by station")
    plot.add_argument("--format", default="png", help="figure file format: png (default), pdf, svg, ...")
    add_common_options(plot)
    plot.set_defaults(func=_plot)

    listing = sub.add_parser(
        "list",
        help="list the stations, points, items or methods of a source",
        description="Print the stations, measurement points, items or methods known to the database (--db), "
        "the sample network (--sample, --sample-path) or, without either, the local metadata cache.",
    )
    listing.add_argument("what", choices=tuple(_LIST_COLUMNS), help="what to list: stations, points, items or methods")
    add_source_options(listing, metadata_dir=True)
    add_common_options(listing)
    listing.set_defaults(func=_list)

    cache = sub.add_parser(
        "cache",
        help="refresh the local metadata cache",
        description="Work on the local metadata cache (the dictionary tables that let names resolve offline).",
    )
    cache_sub = cache.add_subparsers(
        dest="action", metavar="ACTION", parser_class=_Parser, help="refresh: read the dictionary tables anew"
    )
    cache_sub.required = True
    refresh = cache_sub.add_parser(
        "refresh",
        help="read the dictionary tables from a database into the cache",
        description="Read the stations, points, items, methods and station items of a database into the local "
        "metadata cache. With the sample network --metadata-dir is required, so a synthetic network never "
        "replaces your real cache.",
    )
    add_source_options(refresh, required=True, metadata_dir=True)
    add_common_options(refresh)
    refresh.set_defaults(func=_cache_refresh)

    _register_extra_commands(sub)
    from .view import register as register_view  # lumoreq view: the local web view of a dataset

    register_view(sub)
    return parser


def _run_demo(args: argparse.Namespace, watch: _LogWatch) -> int:
    from . import demo

    return demo.run(args, watch)


def _subparser(parser: argparse.ArgumentParser, args: argparse.Namespace) -> argparse.ArgumentParser:
    """The parser of the command that was given (for its one-line usage errors)."""
    current = parser
    for dest in ("command", "action"):
        for action in current._actions:
            if isinstance(action, argparse._SubParsersAction) and getattr(args, dest, None) in action.choices:
                current = action.choices[getattr(args, dest)]
                break
    return current


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command = _subparser(parser, args)
    try:
        _check_source(args)
        _check_dates(args)
    except UsageError as error:
        command.error(str(error))
    verbose = getattr(args, "verbose", False)
    watch = None
    try:
        watch = _quiet_logging(verbose)
        status = args.func(args, watch)
    except UsageError as error:
        command.error(str(error))
    except CommandError as error:
        print(f"{command.prog}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{command.prog}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # the one line replaces a traceback; the log file has the details
        logging.getLogger("lumoreq.cli").error("%s failed", command.prog, exc_info=True)
        print(f"{command.prog}: error: {_one_line(error)}", file=sys.stderr)
        return 1
    finally:
        if watch is not None:
            _restore_logging(watch)
    if watch.warnings and not verbose:
        print(f"({watch.warnings} warning(s) in {watch.log_file})", file=sys.stderr)
    return status


__all__ = [
    "CommandError",
    "Day",
    "UsageError",
    "add_common_options",
    "add_out_option",
    "add_selection_options",
    "add_source_options",
    "build_parser",
    "main",
    "open_connection",
    "parse_day",
    "sample_path",
    "uses_sample",
]
