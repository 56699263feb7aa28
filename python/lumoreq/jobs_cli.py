"""Command line of network-scale jobs: ``lumoreq plan`` and ``lumoreq run``.

    lumoreq plan --sample --start 2024-01-01 --end 2024-03-31 [--station 昌平] [--chunk month]
    lumoreq run  --sample --start 2024-01-01 --end 2024-03-31 --out net --hampel 15,5 --resample h:mean

:func:`register` adds both commands to the main parser's sub-commands; the main command line
passes its own source options (``--sample``, ``--sample-path``, ``--db``) in ``add_source_options``.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, Callable

ALL = "全部"


def _add_own_source_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--sample", action="store_true", help="read from the embedded sample network (its default file)")
    group.add_argument("--sample-path", metavar="PATH", help="read from the sample network file PATH")
    group.add_argument("--db", metavar="SECTION", help="read from the database of this section of default.conf")


def _has_option(parser: argparse.ArgumentParser, name: str) -> bool:
    return name in parser._option_string_actions  # noqa: SLF001 - argparse has no public query


def _add_selection(parser: argparse.ArgumentParser, builder: Callable | None = None) -> None:
    """The selection options, as ``lumoreq fetch`` takes them: the main command line's own
    ``builder`` when it has one, then whatever it lacks."""
    if builder is not None:
        builder(parser)
    options: list[tuple[str, dict[str, Any]]] = [
        ("--method", dict(default=ALL, help="method category 形变, 电磁, 流体, 全部 (default) or part of a method name")),
        ("--station", dict(default=ALL, help="part of a station name, or 全部 for all stations (default)")),
        ("--item", dict(action="append", metavar="NAME",
                        help="once: part of an item name; repeated: the exact item names (default: all items)")),
        ("--rate", dict(default="分钟值", help="sample rate: 秒钟值, 分钟值 (default), 小时值, 日均值 or an alias")),
        ("--kind", dict(default="预处理库", help="database kind: 原始库, 预处理库 (default) or 产品库")),
        ("--start", dict(required=True, help="first day, e.g. 2024-01-01")),
        ("--end", dict(required=True, help="last day, included whole")),
        ("--point", dict(default="", help="measurement point identifier (default: every point)")),
        ("--chunk", dict(default="month", choices=("day", "month", "year"),
                         help="period of one task (default: month)")),
    ]
    for name, keywords in options:
        if not _has_option(parser, name):
            parser.add_argument(name, **keywords)


def _day_text(value: Any, last: bool = False) -> str:
    """A date option as text: the main command line's dates are objects with ``first`` and ``last``
    days (a month given as YYYY-MM spans from its first to its last day)."""
    if hasattr(value, "first") and hasattr(value, "last"):
        return (value.last if last else value.first).isoformat()
    return str(value)


def _source(args: argparse.Namespace) -> str:
    if getattr(args, "db", None):
        return args.db
    path = getattr(args, "sample_path", None)
    if path:
        if not Path(path).is_file():
            raise FileNotFoundError(f"sample network not found: {path}")
        return str(Path(path).resolve())
    sample_value = getattr(args, "sample", None)
    if isinstance(sample_value, str) and sample_value:  # an older --sample PATH
        return str(Path(sample_value).resolve())
    if sample_value is not None and sample_value is not False:
        from . import sample

        path = sample.default_path(build_if_missing=False)
        if not Path(path).exists():
            print(f"building the sample network at {path} ...", file=sys.stderr)
        return str(sample.default_path(build_if_missing=True))
    raise ValueError("name a source: --sample, --sample-path PATH or --db SECTION")


def _item(args: argparse.Namespace) -> Any:
    if not args.item:
        return ALL
    return args.item[0] if len(args.item) == 1 else list(args.item)


def _plan(args: argparse.Namespace):
    from . import jobs

    return jobs.plan(_source(args), _day_text(args.start), _day_text(args.end, last=True), method=args.method, station=args.station, item=_item(args),
                     rate=args.rate, kind=args.kind, point=args.point or None, chunk=args.chunk,
                     resample=getattr(args, "resample", None))


def _hampel(text: str) -> tuple[int, float]:
    try:
        window, threshold = text.split(",")
        return int(window), float(threshold)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected W,K such as 15,5 (window, threshold), not {text!r}") from None


def _cmd_plan(args: argparse.Namespace, watch: Any = None) -> int:
    p = _plan(args)
    print(p)
    if args.save:
        p.save(args.save)
        print(f"plan saved to {Path(args.save).resolve()}")
    return 0


def _cmd_run(args: argparse.Namespace, watch: Any = None) -> int:
    from . import jobs

    p = _plan(args)
    if not len(p):
        raise jobs.JobError("the selection holds no series: nothing written")
    summary = jobs.run(
        p, args.out, hampel=args.hampel, resample=args.resample, figures=args.by if args.figures else None,
        catalogue=args.catalogue, stats=args.stats, rainfall=args.rainfall, scheduler=args.scheduler,
        workers=args.workers, db_concurrency=args.db_concurrency, retries=args.retries, progress=True,
        overwrite=args.overwrite,
    )
    return 0 if summary.ok else 1


def register(subparsers, add_source_options: Callable[[argparse.ArgumentParser], None] | None = None,
             common: Callable[[argparse.ArgumentParser], None] | None = None) -> None:
    """Add ``plan`` and ``run`` to ``subparsers``; each command's function is ``args.func(args, watch)``."""
    # The main command line's selection options go with its source options (same module).
    home = sys.modules.get(getattr(add_source_options, "__module__", ""), None)
    add_selection = getattr(home, "add_selection_options", None) if add_source_options is not None else None
    if common is None and add_source_options is not None:
        common = getattr(home, "add_common_options", None)

    def add_sources(parser: argparse.ArgumentParser) -> None:
        if add_source_options is None:
            _add_own_source_options(parser)
            return
        try:
            add_source_options(parser, required=True)
        except TypeError:  # a builder without the keyword
            add_source_options(parser)

    plan = subparsers.add_parser(
        "plan", help="list the tasks of a network-scale job",
        description="Show the tasks a job over the selected series would run: one per series "
        "(station, point, item) and period chunk.",
    )
    add_sources(plan)
    _add_selection(plan, add_selection)
    plan.add_argument("--resample", metavar="RULE[:AGG]", help="check that this resampling rule divides the chunks")
    plan.add_argument("--save", metavar="PATH", help="also write the plan as JSON")
    if common:
        common(plan)
    plan.set_defaults(func=_cmd_plan)

    run = subparsers.add_parser(
        "run", help="run a network-scale job into a partitioned RUZI dataset",
        description="Fetch, filter and resample every selected series, chunk by chunk, on Dask, into "
        "OUT/data/ITEMID=<id>/STATIONID=<id>/POINTID=<id>/<first>_<last>.ruzi; draw figures into "
        "OUT/figures/; record every task in OUT/run.json. A rerun completes what is missing.",
    )
    add_sources(run)
    _add_selection(run, add_selection)
    if not _has_option(run, "--out"):
        run.add_argument("--out", required=True, metavar="DIR", help="the dataset folder")
    run.add_argument("--hampel", type=_hampel, metavar="W,K", help="Hampel filter: window W samples, threshold K")
    run.add_argument("--resample", metavar="RULE[:AGG]", help="resample, e.g. h or D:median (mean by default)")
    run.add_argument("--figures", action="store_true", help="draw the figures of the dataset")
    run.add_argument("--by", choices=("station", "item"), default="station",
                     help="one figure per station and point (default) or per item")
    if not _has_option(run, "--catalogue"):
        run.add_argument("--catalogue", metavar="PATH", help="earthquake catalogue: mark nearby events")
    run.add_argument("--stats", action="store_true", help="draw the mean and mean ± 2 standard deviations")
    run.add_argument("--rainfall", action="store_true", help="draw each station's daily rainfall")
    run.add_argument("--scheduler", metavar="ADDRESS",
                     help="processes, or a Dask scheduler address such as tcp://host:8786 (default: local threads)")
    run.add_argument("--workers", type=int, metavar="N", help="local pool size (default: one per core)")
    run.add_argument("--db-concurrency", type=int, default=4, metavar="N",
                     help="at most N tasks query the database at once (default: 4)")
    run.add_argument("--retries", type=int, default=2, metavar="N", help="retries of a failed task (default: 2)")
    run.add_argument("--overwrite", action="store_true", help="replace a dataset made by another plan or options")
    if common:
        common(run)
    run.set_defaults(func=_cmd_run)


def main(argv: list[str] | None = None) -> int:
    """The two commands on their own (the main command line registers them too)."""
    parser = argparse.ArgumentParser(prog="lumoreq")
    register(parser.add_subparsers(dest="command", required=True))
    args = parser.parse_args(argv)
    try:
        return args.func(args, None)
    except Exception as error:
        print(f"lumoreq {args.command}: error: {type(error).__name__}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
