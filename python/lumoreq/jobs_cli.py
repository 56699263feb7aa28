"""Command line of network-scale jobs: ``lumoreq plan`` and ``lumoreq run``.

    lumoreq plan --sample --start 2024-01-01 --end 2024-03-31 [--station 昌平] [--chunk month]
    lumoreq run  --sample --start 2024-01-01 --end 2024-03-31 --out net --hampel 15,5 --resample h:mean

:func:`register` adds both commands to the main command line's sub-commands, with its source,
selection and common options (the same as ``lumoreq fetch`` takes).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, Callable

ALL = "全部"


def _day_text(value: Any, last: bool = False) -> str:
    """A date option as text (a month given as YYYY-MM spans from its first to its last day)."""
    if hasattr(value, "first") and hasattr(value, "last"):
        return (value.last if last else value.first).isoformat()
    return str(value)


def _source(args: argparse.Namespace) -> str:
    """The source every worker opens by itself: the settings section, or the sample network's
    file (checked, and built when missing, as every command does it)."""
    from . import cli

    if getattr(args, "db", None):
        return args.db
    return str(cli.sample_path(args).resolve())


def _item(args: argparse.Namespace) -> Any:
    if not args.item:
        return ALL
    return args.item[0] if len(args.item) == 1 else list(args.item)


def _plan(args: argparse.Namespace):
    from . import jobs
    from .console import CommandError

    try:
        return jobs.plan(_source(args), _day_text(args.start), _day_text(args.end, last=True), method=args.method,
                         station=args.station, item=_item(args), rate=args.rate, kind=args.kind,
                         point=args.point or None, chunk=args.chunk, resample=getattr(args, "resample", None))
    except jobs.JobError as error:  # a selection without series: one line, with the names there are
        raise CommandError(str(error)) from None


def _hampel(text: str) -> tuple[int, float]:
    try:
        window, threshold = text.split(",")
        hampel = int(window), float(threshold)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected W,K such as 15,5 (window, threshold), not {text!r}") from None
    from .jobs.engine import _check_hampel

    try:
        return _check_hampel(hampel)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _at_least(least: int) -> Callable[[str], int]:
    """argparse type of a count option: a whole number of at least ``least``."""

    def count(text: str) -> int:
        try:
            number = int(text)
        except ValueError:
            number = None
        if number is None or number < least:
            raise argparse.ArgumentTypeError(f"expected a whole number of at least {least}, not {text!r}")
        return number

    return count


def _scheduler(text: str) -> str:
    from .jobs.engine import _check_scheduler

    try:
        _check_scheduler(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _cmd_plan(args: argparse.Namespace, watch: Any = None) -> int:
    p = _plan(args)
    print(p)
    if args.save:
        p.save(args.save)
        print(f"plan saved to {Path(args.save).resolve()}")
    return 0


def _redo(args: argparse.Namespace):
    return None if not args.redo else (args.redo[0].first.isoformat(), args.redo[1].last.isoformat())


# what an update takes from the dataset's record, so it cannot be given with --update
_RECORDED = ("start", "station", "item", "method", "point", "hampel", "resample", "out", "figures", "catalogue")


def _cmd_update(args: argparse.Namespace) -> int:
    from . import jobs
    from .console import UsageError

    given = [name for name in _RECORDED if getattr(args, name, None) not in (None, False, "", ALL)]
    if args.chunk != "month" or args.rate != "分钟值" or args.kind != "预处理库":
        given.append("chunk/rate/kind")
    if given:
        raise UsageError("--update takes the selection and options recorded in the dataset: "
                             + ", ".join("--" + g for g in given) + " cannot be given with it")
    source = None
    if args.db or args.sample or args.sample_path:
        source = _source(args)
    summary = jobs.update(args.update, end=_day_text(args.end, last=True) if args.end else None,
                          redo=_redo(args), source=source, scheduler=args.scheduler, workers=args.workers,
                          db_concurrency=args.db_concurrency, retries=args.retries, progress=True)
    return 0 if summary.ok else 1


def _cmd_run(args: argparse.Namespace, watch: Any = None) -> int:
    from . import jobs
    from .console import CommandError, UsageError
    from .jobs.engine import _check_catalogue

    if args.update:
        try:
            return _cmd_update(args)
        except jobs.JobError as error:  # nothing to update, a locked folder, a shorter end
            raise CommandError(str(error)) from None
    missing = [flag for flag, value in (("--start", args.start), ("--end", args.end), ("--out", args.out))
               if value is None]
    if missing:
        raise UsageError("the following arguments are required: " + ", ".join(missing))
    if not (args.db or args.sample or args.sample_path):
        raise UsageError("one of the arguments --db --sample --sample-path is required")
    if not args.figures:
        given = [o for o, v in (("--by", args.by), ("--catalogue", args.catalogue), ("--stats", args.stats),
                                ("--rainfall", args.rainfall)) if v]
        if given:
            raise UsageError(f"without --figures, {' and '.join(given)} would do nothing: add --figures")
    by = args.by or "station"
    if args.rainfall and by != "station":
        raise UsageError("--rainfall draws a panel of the figures by station: add --by station")
    catalogue = None
    if args.catalogue:
        try:
            catalogue = _check_catalogue(args.catalogue)
        except (OSError, ValueError) as error:
            raise CommandError(str(error)) from None
    p = _plan(args)
    try:
        summary = jobs.run(
            p, args.out, hampel=args.hampel, resample=args.resample, figures=by if args.figures else None,
            catalogue=catalogue, stats=args.stats, rainfall=args.rainfall, scheduler=args.scheduler,
            workers=args.workers, db_concurrency=args.db_concurrency, retries=args.retries, progress=True,
            overwrite=args.overwrite, redo=_redo(args),
        )
    except jobs.JobError as error:  # a locked or foreign dataset, a scheduler that does not answer
        raise CommandError(str(error)) from None
    return 0 if summary.ok else 1


def _cmd_dataset(args: argparse.Namespace, watch: Any = None) -> int:
    from . import jobs
    from .console import UsageError

    if args.keep_hours < 0 or args.history < 0:
        raise UsageError("--keep-hours and --history take 0 or more")

    if args.vacuum:
        done = jobs.maintain(args.dir, keep_hours=args.keep_hours)
        before, after = done["before"], done["after"]
        print(f"removed {done['removed']} files no version younger than {args.keep_hours:g} h reads; "
              f"data files {before['data_files']} -> {after['data_files']}, "
              f"log {before['log_bytes']:,} -> {after['log_bytes']:,} bytes (version {done['version']})")
    info = jobs.describe(args.dir)
    print(f"dataset {args.dir}: version {info['version']}, {info['files']} files, {info['rows']:,} rows; "
          f"the folder holds {info['data_files']} part files ({info['data_bytes']:,} bytes), "
          f"the log {info['log_bytes']:,} bytes")
    span = info.get("span") or ["?", "?"]
    made = info["provenance"]
    steps = made.get("processing") or {}
    hampel, resample = steps.get("hampel"), steps.get("resample")
    print(f"days {span[0]} up to {span[1]} (excluded); source {made.get('source')}, {made.get('kind')} "
          f"{made.get('rate')}; Hampel {'window %s, threshold %s' % tuple(hampel) if hampel else 'none'}; "
          f"resampled {' '.join(resample) if resample else 'no'}")
    if not info.get("run_finished"):
        print("the last run did not finish: run it again (or lumoreq run --update) to complete it")
    for entry in jobs.history(args.dir, args.history):
        tasks = entry.get("tasks") or {}
        print(f"  version {entry.get('version')}: {entry.get('operation', '?')} {entry.get('span')} "
              f"computed {tasks.get('computed', '?')}, kept {tasks.get('kept', '?')}, "
              f"removed {tasks.get('removed', '?')}, failed {tasks.get('failed', '?')}")
    return 0


def register(subparsers, add_source_options: Callable[..., None] | None = None) -> None:
    """Add ``plan`` and ``run`` to the main command line's ``subparsers``; each command's function
    is ``args.func(args, watch)``. The source, selection and common options are the main command
    line's own (``add_source_options`` may replace the source options)."""
    from . import cli

    add_sources = add_source_options or cli.add_source_options

    def common_options(parser: argparse.ArgumentParser, dates_required: bool = True) -> None:
        add_sources(parser, required=dates_required)
        cli.add_selection_options(parser, dates_required=dates_required)
        parser.add_argument("--chunk", default="month", choices=("day", "month", "year"),
                            help="period of one task (default: month)")

    plan = subparsers.add_parser(
        "plan", help="list the tasks of a network-scale job",
        description="Show the tasks a job over the selected series would run: one per series "
        "(station, point, item) and period chunk.",
    )
    common_options(plan)
    plan.add_argument("--resample", metavar="RULE[:AGG]", help="check that this resampling rule divides the chunks")
    plan.add_argument("--save", metavar="PATH", help="also write the plan as JSON")
    cli.add_common_options(plan)
    plan.set_defaults(func=_cmd_plan)

    run = subparsers.add_parser(
        "run", help="run a network-scale job into a partitioned RUZI dataset",
        description="Fetch, filter and resample every selected series, chunk by chunk, on Dask, into the "
        "dataset OUT/data (a Delta Lake table of RUZI parts, one new version per run); draw figures into "
        "OUT/figures/; record every task in OUT/run.json. A rerun completes what is missing; a later --end "
        "adds to the dataset; --update OUT extends it with what it records.",
    )
    common_options(run, dates_required=False)  # not with --update: checked by the command
    run.add_argument("--out", metavar="DIR", help="the dataset folder")
    run.add_argument("--update", metavar="OUT",
                     help="extend the dataset OUT to --end (default: yesterday) with the plan and options it "
                     "records; only the new chunks and those whose reads reach the old edge are computed")
    run.add_argument("--redo", nargs=2, type=cli.parse_day, metavar=("START", "END"),
                     help="compute again every chunk that reads these days (late or corrected data)")
    run.add_argument("--hampel", type=_hampel, metavar="W,K", help="Hampel filter: window W samples, threshold K")
    run.add_argument("--resample", metavar="RULE[:AGG]", help="resample, e.g. h or D:median (mean by default)")
    run.add_argument("--figures", action="store_true", help="draw the figures of the dataset")
    run.add_argument("--by", choices=("station", "item"),
                     help="one figure per station and point (default) or per item")
    run.add_argument("--catalogue", metavar="PATH", help="earthquake catalogue: mark nearby events")
    run.add_argument("--stats", action="store_true", help="draw the mean and mean ± 2 standard deviations")
    run.add_argument("--rainfall", action="store_true", help="draw each station's daily rainfall")
    run.add_argument("--scheduler", metavar="ADDRESS", type=_scheduler,
                     help="processes, or a Dask scheduler address such as tcp://host:8786 (default: local threads)")
    run.add_argument("--workers", type=_at_least(1), metavar="N", help="local pool size (default: one per core)")
    run.add_argument("--db-concurrency", type=_at_least(1), default=4, metavar="N",
                     help="at most N tasks query the database at once (default: 4)")
    run.add_argument("--retries", type=_at_least(0), default=2, metavar="N",
                     help="retries of a failed task (default: 2)")
    run.add_argument("--overwrite", action="store_true", help="replace a dataset made by another plan or options")
    cli.add_common_options(run)
    run.set_defaults(func=_cmd_run)

    dataset = subparsers.add_parser(
        "dataset", help="show a job's dataset: versions, files, provenance; --vacuum to bound it",
        description="Show what the dataset in DIR holds (its version, files, rows, provenance and commits). "
        "--vacuum deletes the files that no version younger than --keep-hours reads, checkpoints the "
        "table's log and drops the log files the checkpoint replaces.",
    )
    dataset.add_argument("dir", metavar="DIR", help="the dataset folder (what lumoreq run --out wrote)")
    dataset.add_argument("--vacuum", action="store_true", help="delete files and log entries no longer needed")
    dataset.add_argument("--keep-hours", type=float, default=168.0, metavar="H",
                         help="with --vacuum: keep every version younger than H hours readable (default: 168)")
    dataset.add_argument("--history", type=int, default=10, metavar="N", help="show the last N commits (default: 10)")
    cli.add_common_options(dataset)
    dataset.set_defaults(func=_cmd_dataset)


def main(argv: list[str] | None = None) -> int:
    """``lumoreq plan ...`` / ``lumoreq run ...``: the main command line, which holds both."""
    from . import cli

    return cli.main(argv)


if __name__ == "__main__":
    sys.exit(main())
