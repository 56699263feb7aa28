"""Command line of lumoreq: the parser, the shared options and the commands.

    lumoreq demo     the analyst's main job on the embedded sample network
    lumoreq fetch    fetch series from a database and write them as a RUZI file
    lumoreq plot     draw the figures of a RUZI file

``lumoreq <command> --help`` explains every option. Library messages go to the log file; ``-v``
also shows them on standard error. A failure ends with one line on standard error and exit
status 1 (2 for a wrong option).
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
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


# ---------------------------------------------------------------------------------------------
# The embedded sample network and connections
# ---------------------------------------------------------------------------------------------


def _sample_module():
    try:
        from . import sample
    except ImportError as error:
        raise CommandError(f"the sample network is not available ({_one_line(error)})") from None
    return sample


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


def _run_demo(args: argparse.Namespace, watch: _LogWatch) -> int:
    from . import demo

    return demo.run(args, watch)


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

