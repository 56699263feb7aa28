"""The tasks of the Dask graph: data tasks (one dataset part each, and batches of them) and figure
tasks, each returning its record for run.json."""

from __future__ import annotations

import contextlib
import datetime as _dt
import os
import shutil
import socket
import sys
import threading
import time
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .._files import sync_folder
from ..sources import _connection, rainfall_by_station
from .chunk import _ONE_DAY, _fetch_chunk, _limited, _process_part, _Resampled
from .dataset import _STAGING_PREFIX, read
from .planning import Task, _timestamp

if TYPE_CHECKING:
    from .engine import _Batch

# ---------------------------------------------------------------------------------------------
# Data tasks
# ---------------------------------------------------------------------------------------------


# Parts at least this long get the web view's min/max summaries: a shorter part (a month of hourly
# or minute values) is read whole by the view faster than its summary is written.
_SUMMARY_ROWS = 100_000


def _part_context(spec: dict[str, Any], record: dict[str, Any]) -> dict[str, Any]:
    """What a part says of itself: the records of its station and item, its rate (the source's,
    or the resampling's), and where its samples come from and what was done to them."""
    from .. import __version__

    sel = spec["selection"]
    resample = spec["resample"]
    return {
        "station_info": spec["station_info"], "item_info": spec["item_info"],
        "sampling_rate": _stored_rate(sel["rate"], resample),
        "export_time": _dt.datetime.now().isoformat(),
        "provenance": {
            "layout": spec.get("layout"), "lumoreq": __version__, "plan": spec.get("plan"),
            "source": spec.get("public_source"), "kind": sel["kind"], "rate": sel["rate"],
            "processing": {"hampel": list(spec["hampel"]) if spec["hampel"] else None,
                           "resample": list(resample) if resample else None},
            "series": record["series"], "interval": record["interval"], "chunk": [spec["first"], spec["last"]],
            "span": record["span"],
            "read": record["read"], "samples": record["samples"], "nan": record["nan"],
            "replaced": record["replaced"],
        },
    }


_RATE_NAMES = {("h", "mean"): "小时值", ("D", "mean"): "日均值"}


def _stored_rate(rate: str, resample) -> str:
    """The rate of the stored values: the source's, or the resampling's (an hourly mean of minute
    values is 小时值; other rules and aggregations are named as given, with the source rate)."""
    if not resample:
        return rate
    rule, agg = resample
    return _RATE_NAMES.get((rule, agg)) or f"{rule} {agg} ({rate})"


def _day_text(stamp) -> str:
    return f"{stamp:%Y-%m-%d}"


def data_task(spec: dict[str, Any], limit=None) -> dict[str, Any]:
    """One dataset part: fetch, filter and resample one series over one chunk, then write it.
    Retried ``spec['retries']`` times; a final failure is returned as the record's error."""
    from .. import export

    task = Task(spec["item"], spec["station"], spec["point"], spec["first"], spec["last"])
    part = spec.get("part") or task.part
    path = os.path.join(spec["out"], *part.split("/"))
    sel = spec["selection"]
    record: dict[str, Any] = {"task": task.key, "part": None, "rows": 0, "samples": 0, "nan": 0, "replaced": 0,
                              "bytes": 0, "seconds": 0.0, "query_start": None, "query_end": None, "attempts": 0,
                              "error": None, "worker": f"{socket.gethostname()}:{os.getpid()}",
                              "series": [task.station, task.point, task.item],
                              "span": [sel["start"], _day_text(_timestamp(sel["end"]) + _ONE_DAY)],
                              "read": None, "interval": None, "resampled": bool(spec["resample"])}
    began = time.perf_counter()
    for attempt in range(int(spec.get("retries", 0)) + 1):
        record["attempts"] = attempt + 1
        queries: list[tuple[float, float]] = []
        reach: dict[str, Any] = {}
        try:
            fetched = _fetch_chunk(spec, limit, queries, reach)
            record["query_start"] = min(q[0] for q in queries) if queries else None
            record["query_end"] = max(q[1] for q in queries) if queries else None
            record["read"] = [_day_text(t) for t in reach["read"]] if "read" in reach else None
            record["around"] = [bool(fetched[1]), bool(fetched[2])]  # samples before the chunk, after it
            table, stats = _process_part(spec, fetched)
            del fetched
            record.update(stats)
            if len(table):
                times = table.labels if isinstance(table, _Resampled) else table.index.to_numpy()
                record["interval"] = [str(np.datetime_as_string(times[0], unit="us")),
                                      str(np.datetime_as_string(times[-1], unit="us"))]
                context = _part_context(spec, record)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                ruzi = table.ruzi(context) if isinstance(table, _Resampled) else export.to_ruzi(table, context)
                export.write_parquet(ruzi, path, **export._series_layout(ruzi))  # as write_ruzi, laid out for views
                record["part"] = part
                if spec.get("summaries") and len(table) >= _SUMMARY_ROWS:
                    from ..view.summaries import write_for_part

                    write_for_part(path)  # the web view's min/max levels of this part
                written = os.stat(path)
                record["bytes"] = written.st_size
                # the file as written: a later run that finds it so need not read it back whole
                record["stat"] = [written.st_size, written.st_mtime_ns]
            record["rows"] = int(len(table))
            record["error"] = None
            break
        except Exception as error:  # recorded, retried, then reported in the summary
            record["error"] = f"{type(error).__name__}: {error}".strip()[:2000]
            if queries:
                record["query_start"] = min(q[0] for q in queries)
                record["query_end"] = max(q[1] for q in queries)
            if attempt < int(spec.get("retries", 0)):
                time.sleep(min(2.0, 0.2 * 2**attempt))
    record["seconds"] = round(time.perf_counter() - began, 6)
    return record


def data_batch(specs: list[dict[str, Any]] | _Batch, limit=None) -> list[dict[str, Any]]:
    """Several data tasks one after another (consecutive chunks, mostly of one series) as one task
    of the Dask graph: each is still its own connection, read, part and record."""
    from .engine import _Batch, _prompt_switching  # here: the runner imports this module

    if isinstance(specs, _Batch):
        specs = specs.specs
    with _prompt_switching():
        return [data_task(spec, limit) for spec in specs]


# ---------------------------------------------------------------------------------------------
# Figure tasks
# ---------------------------------------------------------------------------------------------


_FIGURE_LOCK = threading.Lock()  # one figure at a time per process: matplotlib is not thread-safe


def figure_task(spec: dict[str, Any], *done: Any, limit=None) -> dict[str, Any]:
    """Draw one figure group (a station and point, or an item) from the dataset's parts."""
    record: dict[str, Any] = {"figure": spec["name"], "files": [], "seconds": 0.0, "error": None,
                              "worker": f"{socket.gethostname()}:{os.getpid()}"}
    began = time.perf_counter()
    out = Path(spec["out"]).resolve()
    quiet = _terminal_quiet() if spec.get("driver") != record["worker"] else contextlib.nullcontext()
    try:
        with quiet:
            return _draw(spec, out, record, limit, began)
    except Exception as error:
        record["error"] = f"{type(error).__name__}: {error}".strip()[:2000]
    record["seconds"] = round(time.perf_counter() - began, 6)
    return record


@contextlib.contextmanager
def _terminal_quiet():
    """In a worker process, the library's log records go to the log file only: on the terminal
    they would break into the driver's progress line. Errors still reach the run's summary."""
    import logging

    from .. import plotting  # noqa: F401 - sets up the library's logging first, so it is muted too

    muted = []
    for logger in [logging.getLogger()] + [lg for lg in logging.Logger.manager.loggerDict.values()
                                           if isinstance(lg, logging.Logger)]:
        for handler in logger.handlers:
            if type(handler) is logging.StreamHandler and handler.stream in (sys.stderr, sys.stdout):
                muted.append((handler, handler.level))
                handler.setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        for handler, level in muted:
            handler.setLevel(level)


def _draw(spec: dict[str, Any], out: Path, record: dict[str, Any], limit, began: float) -> dict[str, Any]:
    try:
        ts = read(out, **spec["select"])
        if len(ts) == 0:
            record["error"] = None
            return record
        with _FIGURE_LOCK:
            import matplotlib

            matplotlib.use("Agg", force=False)
            import matplotlib.pyplot as plt

            from .. import plotting

            rainfall = None
            with _limited(limit):
                with _connection(spec["source"], pooled=False) as conn:
                    if spec.get("rainfall"):
                        rainfall = _rainfall(conn, spec)
                    plotter = plotting.TSPlotter(conn=conn)
            keywords = dict(prefix=spec["prefix"], qcat_dir=spec.get("catalogue"), show_mean=spec["stats"],
                            show_std=spec["stats"])
            # Each figure task draws into a staging folder of its own (its name starts with ".",
            # so nothing that lists the dataset sees it): the files it made are exactly the ones
            # found there, whatever other tasks draw at the same time, and a rerun counts them
            # too. They are then moved into out/figures/ one by one (each move replaces a file
            # whole).
            staging = out / f"{_STAGING_PREFIX}{uuid.uuid4().hex[:12]}"
            staging.mkdir()
            previous = os.getcwd()
            try:
                os.chdir(staging)  # the builders save into ./figures/
                try:
                    if spec["by"] == "item":
                        plotter.plot_by_items(ts, **keywords)
                    else:
                        plotter.plot_by_stations(ts, rainfall=rainfall, **keywords)
                finally:
                    os.chdir(previous)
                    plt.close("all")
                drawn = sorted((staging / "figures").iterdir()) if (staging / "figures").is_dir() else []
                if drawn:
                    (out / "figures").mkdir(exist_ok=True)
                    for path in drawn:
                        os.replace(path, out / "figures" / path.name)
                    sync_folder(out / "figures")
                record["files"] = [f"figures/{path.name}" for path in drawn]
            finally:
                shutil.rmtree(staging, ignore_errors=True)
    except Exception as error:
        record["error"] = f"{type(error).__name__}: {error}".strip()[:2000]
    record["seconds"] = round(time.perf_counter() - began, 6)
    return record


def _rainfall(conn, spec):
    """The station's daily rainfall over the figure's period, as a series (None when absent), as
    the command line takes it (the station's first point that measures it)."""
    station = spec["select"]["station"]
    return rainfall_by_station(conn, spec["first"].replace("-", ""), spec["last"].replace("-", ""), kind=spec["kind"],
                               station=spec["station_name"], stations=[station], method="气象三要素",
                               item=["降雨量"]).get(station)
