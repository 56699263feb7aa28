"""Running a plan: the data tasks in batches on Dask's local schedulers or a dask.distributed
cluster, then the figures; the progress line and the summary."""

from __future__ import annotations

import contextlib
import dataclasses
import datetime as _dt
import difflib
import logging
import math
import operator
import os
import socket
import sys
import threading
import time
import uuid
import warnings
from pathlib import Path
from typing import Any

import pandas as pd

from ..sources import _dispose_engines, checked_catalogue
from .dataset import (
    _RUN_FILE,
    _RUN_FORMAT,
    LAYOUT,
    JobError,
    _commit_run,
    _identity,
    _new_part,
    _options_record,
    _OutLock,
    _prepare_out,
    _redo_days,
    _sort_tasks,
    _write_json,
)
from .planning import Plan, _check_rule, _parse_resample, _timestamp
from .tasks import data_batch, figure_task

_log = logging.getLogger("lumoreq.jobs")
_BATCHES_PER_SLOT = 4  # graph tasks per worker thread, at least (see _batches)
_BATCH_LIMIT = 16  # data tasks per graph task, at most


class _Batch:
    """The data tasks of one graph task, handed to Dask whole: it does not look inside (a list
    of dicts it would walk, every key and value, looking for collections to compute first)."""

    __slots__ = ("specs",)

    def __init__(self, specs: list[dict[str, Any]]):
        self.specs = specs

    def __getstate__(self):
        return self.specs

    def __setstate__(self, specs):
        self.specs = specs


def _batches(pending: list[dict[str, Any]], slots: int) -> list[list[dict[str, Any]]]:
    """The data tasks, in plan order, in graph tasks of several each, so that the scheduler's cost
    for each (well under a millisecond locally, more on a cluster) weighs little against tasks of
    a few milliseconds. The sizes shrink as the plan goes on (each about the remaining tasks over
    _BATCHES_PER_SLOT per worker thread, and never more than _BATCH_LIMIT, so that progress and a
    lost worker's work stay small), down to one task each at the end: every worker keeps something
    to take, and the workers finish together."""
    share = max(1, slots) * _BATCHES_PER_SLOT
    batches, i = [], 0
    while i < len(pending):
        size = min(_BATCH_LIMIT, -(-(len(pending) - i) // share))
        batches.append(pending[i:i + size])
        i += size
    return batches


_SWITCH_INTERVAL = 0.001  # seconds, while data tasks run in a process (see _prompt_switching)
_switching = {"runs": 0, "before": None}
_switching_lock = threading.Lock()


@contextlib.contextmanager
def _prompt_switching():
    """The interpreter's switch interval at most _SWITCH_INTERVAL while data tasks run in this
    process (on Dask's threads, or in a cluster worker beside its own threads), then as it was.

    A task alternates between native work without the GIL (reading, splitting, filtering,
    binning, writing) and short stretches of glue that hold it. A thread coming back from native
    work while another is in glue waits until that one lets go, or until the switch interval
    (5 ms by default) has passed. With tasks of about ten milliseconds those waits made every task
    a fifth slower on two threads; with 1 ms, a twentieth. Tasks side by side in one process
    share the setting: the last one to finish puts the interval back."""
    with _switching_lock:
        if _switching["runs"] == 0:
            _switching["before"] = sys.getswitchinterval()
            sys.setswitchinterval(min(_switching["before"], _SWITCH_INTERVAL))
        _switching["runs"] += 1
    try:
        yield
    finally:
        with _switching_lock:
            _switching["runs"] -= 1
            if _switching["runs"] == 0:
                sys.setswitchinterval(_switching["before"])


@dataclasses.dataclass
class RunSummary:
    """What a run did: counts, throughput and every failure."""

    out: str
    tasks: int = 0
    done: int = 0
    skipped: int = 0
    empty: int = 0
    failed: list[dict[str, Any]] = dataclasses.field(default_factory=list)
    figures: int = 0
    figure_failures: list[dict[str, Any]] = dataclasses.field(default_factory=list)
    samples: int = 0
    seconds: float = 0.0  # the whole run
    data_seconds: float = 0.0  # the data tasks: from the first started to the last done (figures apart)

    @property
    def ok(self) -> bool:
        return not self.failed and not self.figure_failures

    @property
    def rate(self) -> float:
        """Samples per second of the data tasks."""
        return self.samples / self.data_seconds if self.data_seconds > 0 else 0.0

    def __str__(self) -> str:
        lines = [
            f"{self.tasks} tasks: {self.done} written, {self.empty} without data, {self.skipped} already complete, "
            f"{len(self.failed)} failed; {self.samples} samples in {self.data_seconds:.1f} s of data tasks "
            f"({self.rate:,.0f} samples/s); {self.figures} figures; {self.seconds:.1f} s in all; dataset {self.out}"
        ]
        for record in self.failed:
            lines.append(f"failed: {record['task']}: {record['error']}")
        for record in self.figure_failures:
            lines.append(f"figure failed: {record['figure']}: {record['error']}")
        return "\n".join(lines)


class _Progress:
    """One status line: tasks done of all, samples per second, drawn only on a terminal. While the
    line is drawn, a log record or a warning written to the same stream starts on a line of its
    own. ``seconds``: from the start to the last task done."""

    def __init__(self, total: int, enabled: bool, stream=None):
        self.total = total
        self.stream = stream or sys.stderr
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = bool(enabled and isatty is not None and isatty())
        self.done = self.samples = 0
        self.seconds = 0.0
        self.began = time.perf_counter()
        self.lock = threading.RLock()
        self.partial = False  # the line is drawn and not ended
        self.guard: tuple | None = None  # while drawn: (the filter, its handlers, the warnings' printers)

    def add(self, samples: int) -> None:
        with self.lock:
            self.done += 1
            self.samples += samples
            self.seconds = time.perf_counter() - self.began
            if self.enabled:
                if self.guard is None:
                    self._guard()
                width = 30
                filled = int(width * self.done / max(1, self.total))
                self.stream.write(
                    f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} tasks "
                    f"{self.samples / max(1e-9, self.seconds):,.0f} samples/s"
                )
                self.partial = True
                if self.done == self.total:
                    self.stream.write("\n")
                    self.partial = False
                    self._unguard()
                self.stream.flush()

    def break_line(self) -> None:
        """End the drawn line, so that what comes next starts on a line of its own."""
        with self.lock:
            if self.partial:
                self.partial = False
                self.stream.write("\n")
                self.stream.flush()

    def _guard(self) -> None:
        """A filter on the log handlers that write to the stream, and a wrapper of the warnings'
        printer: each breaks the line first (a filter runs before its handler writes)."""
        line_break, handlers = _LineBreak(self), []
        for logger in [logging.getLogger()] + [lg for lg in logging.Logger.manager.loggerDict.values()
                                               if isinstance(lg, logging.Logger)]:
            for handler in logger.handlers:
                if getattr(handler, "stream", None) is self.stream and handler not in handlers:
                    handler.addFilter(line_break)
                    handlers.append(handler)
        shown, stream = warnings.showwarning, self.stream

        def showwarning(message, category, filename, lineno, file=None, line=None):
            if (sys.stderr if file is None else file) is stream:
                self.break_line()
            shown(message, category, filename, lineno, file, line)

        warnings.showwarning = showwarning
        self.guard = (line_break, handlers, shown, showwarning)

    def _unguard(self) -> None:
        line_break, handlers, shown, showwarning = self.guard
        for handler in handlers:
            handler.removeFilter(line_break)
        if warnings.showwarning is showwarning:  # (unless someone replaced it since)
            warnings.showwarning = shown
        self.guard = (line_break, [], shown, None)  # drawn once: not again


class _LineBreak(logging.Filter):
    def __init__(self, bar: _Progress):
        super().__init__()
        self.bar = bar

    def filter(self, record: logging.LogRecord) -> bool:
        self.bar.break_line()
        return True


_LOCAL_SCHEDULERS = ("threads", "threaded", "sync", "synchronous", "processes")
_CONNECT_TIMEOUT = "3s"  # a scheduler that answers does so well within it


def _check_scheduler(scheduler) -> None:
    """A local scheduler's name or a well-formed address (a malformed one fails inside Client,
    whose clean-up then hangs for seconds and prints a traceback)."""
    if scheduler is None or scheduler in _LOCAL_SCHEDULERS or not isinstance(scheduler, str):
        return
    if ":" not in scheduler:
        close = difflib.get_close_matches(scheduler, _LOCAL_SCHEDULERS, n=1, cutoff=0.6)
        raise ValueError(f"unknown scheduler {scheduler!r}" + (f"; did you mean {close[0]}?" if close else "")
                         + " (threads, processes, sync, or a Dask scheduler address such as tcp://host:8786)")
    from distributed.comm.addressing import get_address_host_port, parse_address

    try:
        if parse_address(scheduler)[0] != "inproc":  # (an in-process address has no port)
            get_address_host_port(scheduler)
    except ValueError as error:
        raise ValueError(f"not a Dask scheduler address: {scheduler!r} ({error})") from None


def _probe(address: str) -> None:
    """Connect to a TCP scheduler address once, handshake included, on a loop of our own: a Client
    that fails to start (another service on the port, a peer that never answers) hangs for
    seconds when it is collected and prints a traceback; this fails alone, within the timeout."""
    from distributed.comm.addressing import parse_address

    if parse_address(address)[0] != "tcp":  # (TLS needs the security settings the Client reads)
        return
    import asyncio
    import concurrent.futures

    from dask.utils import parse_timedelta
    from distributed.comm import connect

    seconds = parse_timedelta(_CONNECT_TIMEOUT)

    async def probe():
        comm = await asyncio.wait_for(connect(address, timeout=seconds), seconds + 1)
        await comm.close()

    # a thread of its own: the caller may be inside a running event loop (a notebook)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        pool.submit(lambda: asyncio.run(probe())).result()


def _client_for(scheduler):
    """A distributed client for a Client or an address; None for the local schedulers."""
    if scheduler is None or scheduler in _LOCAL_SCHEDULERS:
        return None, False
    from distributed import Client

    if isinstance(scheduler, Client):
        return scheduler, False
    if isinstance(scheduler, str):
        try:
            _probe(scheduler)
            return Client(scheduler, timeout=_CONNECT_TIMEOUT, set_as_default=False), True
        except Exception as error:  # refused, unknown host, no answer in time, not a Dask scheduler
            raise JobError(f"the Dask scheduler at {scheduler} does not answer: "
                           f"{type(error).__name__}: {error}".strip()) from error
    raise ValueError(f"unknown scheduler {scheduler!r}: None, 'processes', a distributed Client or an address")


def _whole(name: str, value, least: int) -> int:
    """A count option: a whole number of at least ``least`` (no fraction, no bool)."""
    try:
        number = None if isinstance(value, bool) else operator.index(value)
    except TypeError:
        number = None
    if number is None or number < least:
        raise ValueError(f"{name} must be a whole number of at least {least}, not {value!r}")
    return number


def _check_hampel(hampel) -> tuple[int, float]:
    """(window, threshold): a window of whole samples, a finite threshold above 0."""
    try:
        window, threshold = hampel
    except (TypeError, ValueError):
        raise ValueError(f"hampel must be a pair (window, threshold), not {hampel!r}") from None
    if isinstance(window, float) and window.is_integer():
        window = int(window)
    try:
        window = operator.index(window)
    except TypeError:
        raise ValueError(f"the Hampel window must be a whole number of samples, not {window!r}") from None
    if window < 1:
        raise ValueError("the Hampel window must hold at least one sample")
    try:
        factor = float(threshold)
    except (TypeError, ValueError):
        factor = math.nan
    if not (math.isfinite(factor) and factor > 0):
        raise ValueError(f"the Hampel threshold must be a finite number above 0, not {threshold!r}")
    return window, factor


def _check_catalogue(catalogue) -> str:
    """The catalogue's absolute path once it has been read whole (the figure tasks draw from
    inside out/, and an unreadable catalogue would give figures without their quakes)."""
    return checked_catalogue(catalogue)


def _check_run_options(plan, hampel, resample, figures, catalogue, scheduler, workers, db_concurrency, retries):
    """Every option of run() checked before anything touches the disk; (hampel, resample,
    catalogue) as the run uses them."""
    if not isinstance(plan, Plan):
        raise TypeError("run expects a Plan (from lumoreq.jobs.plan or Plan.load)")
    if not plan.tasks:
        raise JobError("the selection holds no series: nothing to do")
    if hampel is not None:
        hampel = _check_hampel(hampel)
    resample = _parse_resample(resample)
    boundaries = sorted({_timestamp(t.first) for t in plan.tasks} | {pd.Timestamp(plan.start)})
    boundaries.append(pd.Timestamp(plan.end) + pd.Timedelta(days=1))
    if resample is not None:
        _check_rule(resample[0], boundaries)
    if figures not in (None, "station", "item"):
        raise ValueError("figures must be None, 'station' or 'item'")
    if db_concurrency is None or int(db_concurrency) < 1:
        raise ValueError("db_concurrency must be at least 1")
    if workers is not None:
        _whole("workers", workers, 1)
    _whole("retries", retries, 0)
    _check_scheduler(scheduler)
    if catalogue is not None:
        catalogue = _check_catalogue(catalogue) if figures else str(Path(catalogue).resolve())
    return hampel, resample, catalogue


def run(plan: Plan, out, hampel=None, resample=None, figures=None, catalogue=None, stats: bool = False,
        rainfall: bool = False, scheduler=None, workers: int | None = None, db_concurrency: int = 4,
        retries: int = 2, progress: bool = True, overwrite: bool = False, redo=None,
        summaries: bool = True) -> RunSummary:
    """Run ``plan`` into the dataset folder ``out``; see the module documentation.

    On a dataset of the same job (source, selection and processing) this adds to it: only the
    chunks that are new, or that a moved start or end reaches, are computed (``redo=(first,
    last)`` computes every chunk that reads those days again), and the result equals one run
    over the whole span. ``summaries`` writes the web view's min/max levels beside each part of
    at least 100,000 samples (the view reads shorter parts whole)."""
    hampel, resample, catalogue = _check_run_options(plan, hampel, resample, figures, catalogue, scheduler,
                                                     workers, db_concurrency, retries)
    redo = _redo_days(redo)
    identity = _identity(plan, hampel, resample)
    client, own_client = _client_for(scheduler)  # an address that does not answer: before out/ exists
    out = Path(out).resolve()
    began = time.perf_counter()
    try:
        out.mkdir(parents=True, exist_ok=True)
        options = _options_record(plan, hampel, resample, figures, catalogue, stats, rainfall)
        with _OutLock(out):
            previous = _prepare_out(out, plan, options, identity, overwrite)
            summary = RunSummary(out=str(out), tasks=len(plan.tasks))
            span = [plan.start, f"{_timestamp(plan.end) + pd.Timedelta(days=1):%Y-%m-%d}"]
            kept, written, pending = _sort_tasks(out, plan, previous, span, redo, workers)
            summary.skipped = len(kept) + len(written)
            computed = {task.key for task in pending}
            task_specs: list[dict[str, Any]] = []
            failures: dict[str, dict[str, Any]] = {}
            station_info = {str(r["STATIONID"]): r for r in plan.stations}
            item_info = {str(r["ITEMID"]): r for r in plan.items}
            common = {"out": str(out), "source": plan.source, "selection": plan.selection,
                      "hampel": hampel, "resample": resample, "retries": int(retries), "layout": LAYOUT,
                      "plan": options["plan"], "public_source": identity["source"], "summaries": bool(summaries)}
            for task in pending:
                pending_spec = {
                    **common, "station": task.station, "point": task.point, "item": task.item,
                    "first": task.first, "last": task.last, "part": _new_part(task),
                    "station_info": [station_info[task.station]] if task.station in station_info else [],
                    "item_info": [item_info[task.item]] if task.item in item_info else [],
                }
                task_specs.append(pending_spec)
            state = {"format": _RUN_FORMAT, "layout": LAYOUT, "plan": plan.to_dict(), "options": options,
                     "identity": identity, "span": span, "version": previous.version, "replace_all": previous.replace_all,
                     "tasks": previous.records, "written": written, "todo": len(written) + len(task_specs),
                     "figures": {}, "started": _dt.datetime.now().isoformat(), "finished": None}
            saver = _Saver(out / _RUN_FILE, state)
            saver.flush()
            bar = _Progress(len(task_specs), progress and bool(task_specs))

            def finished(record: dict[str, Any]) -> None:
                if not record.get("error"):
                    written[record["task"]] = record
                else:
                    failures[record["task"]] = record
                bar.add(int(record.get("samples") or 0))
                saver.touch()

            def commit() -> None:
                state["version"], state["tasks"] = _commit_run(out, plan, previous, kept, written, failures,
                                                               identity, options, span, redo)
                state["written"], state["replace_all"] = {}, False
                if not figure_specs:
                    state["finished"] = _dt.datetime.now().isoformat()
                saver.flush()

            figure_specs = _figure_specs(plan, out, figures, catalogue, stats, rainfall) if figures else []
            if client is not None:
                _run_distributed(client, task_specs, figure_specs, int(db_concurrency), finished, state, saver,
                                 commit)
            else:
                _run_local(scheduler, workers, task_specs, figure_specs, int(db_concurrency), finished, state,
                           saver, commit)
            if figure_specs:
                state["finished"] = _dt.datetime.now().isoformat()
                saver.flush()
    finally:
        # pooled connections end with the run (the files and sessions are released)
        _dispose_engines()
        if client is not None:
            with contextlib.suppress(Exception):
                client.run(_dispose_engines)
        if own_client:
            client.close()
    summary.failed.extend(failures.values())
    for record in written.values():
        if record.get("task") in computed:
            if record.get("part"):
                summary.done += 1
            else:
                summary.empty += 1
            summary.samples += int(record.get("samples") or 0)
    for record in state["figures"].values():
        if record.get("error"):
            summary.figure_failures.append(record)
        summary.figures += len(record.get("files", []))
    summary.seconds = time.perf_counter() - began
    summary.data_seconds = bar.seconds
    if progress:
        print(str(summary), file=sys.stderr)
    return summary


def _spec_key(spec: dict[str, Any]) -> str:
    return f"{spec['item']}/{spec['station']}/{spec['point']}/{spec['first']}_{spec['last']}"


class _Saver:
    """Writes run.json every few seconds while tasks finish (a killed driver loses no part: the rerun
    finds the parts on disk), and at the end. A save that fails before the end (a full disk) is
    logged and tried again at the next save: it never stops tasks that can finish. Only the last
    save, once the record holds the run's end, raises."""

    def __init__(self, path: Path, state: dict[str, Any], every: float = 5.0):
        self.path, self.state, self.every = path, state, every
        self.last = 0.0
        self.lock = threading.Lock()

    def touch(self) -> None:
        if time.monotonic() - self.last >= self.every:
            self.flush()

    def flush(self) -> None:
        with self.lock:
            try:
                _write_json(self.path, self.state)
            except OSError as error:
                if self.state.get("finished"):
                    raise
                _log.warning("the run record %s could not be saved, trying again later: %s", self.path, error)
            self.last = time.monotonic()


def _figure_specs(plan_: Plan, out: Path, by: str, catalogue, stats: bool, rainfall: bool) -> list[dict[str, Any]]:
    stations, items = plan_._names()
    specs = []
    base = {"out": str(out), "source": plan_.source, "catalogue": None if catalogue is None else str(catalogue),
            "stats": bool(stats), "by": by, "kind": plan_.kind, "first": plan_.start, "last": plan_.end,
            "driver": f"{socket.gethostname()}:{os.getpid()}"}
    # the tasks of each figure, gathered in one pass over the plan
    keys: dict[Any, list[str]] = {}
    for t in plan_.tasks:
        keys.setdefault(t.item if by == "item" else (t.station, t.point), []).append(t.key)
    if by == "item":
        for item in sorted(keys):
            specs.append({**base, "name": f"item {item}", "select": {"item": item}, "prefix": "",
                          "keys": keys[item], "rainfall": False})
    else:
        for station, point in sorted(keys):
            specs.append({**base, "name": f"station {station} point {point}",
                          "select": {"station": station, "point": point}, "prefix": "",
                          "station_name": stations.get(station, station), "rainfall": bool(rainfall),
                          "keys": keys[(station, point)]})
    return specs


def _die_with_driver() -> None:
    """In a process a run starts (a pool worker, the semaphore's manager): end it as soon as the
    process that started it is gone, so a killed driver never leaves processes writing into the
    dataset. A thread waits on the parent's sentinel (a pipe, or a process handle on Windows)."""
    import multiprocessing
    import multiprocessing.connection

    parent = multiprocessing.parent_process()
    if parent is None or getattr(parent, "sentinel", None) is None:
        return

    def watch() -> None:
        multiprocessing.connection.wait([parent.sentinel])
        os._exit(1)

    threading.Thread(target=watch, name="lumoreq-driver-watch", daemon=True).start()


def _run_local(scheduler, workers, pending, figure_specs, db_concurrency, finished, state, saver, commit) -> None:
    """Dask's local schedulers: threads for the data tasks, a process pool for the figures; the
    data commits before the figures draw from it."""
    import dask
    from dask.callbacks import Callback

    if scheduler == "processes":
        import multiprocessing
        from multiprocessing.managers import SyncManager

        manager = SyncManager(ctx=multiprocessing.get_context("spawn"))
        manager.start(_die_with_driver)
        limit = manager.BoundedSemaphore(db_concurrency)
        data_scheduler = "processes"
    else:
        manager = None
        limit = threading.BoundedSemaphore(db_concurrency)
        data_scheduler = "sync" if scheduler in ("sync", "synchronous") else "threads"
    try:
        slots = 1 if data_scheduler == "sync" else (workers or os.cpu_count() or 1)
        # the local schedulers take independent tasks in descending order of their keys: the
        # first (largest) batch gets the largest key, so the small ones come last
        batches = _batches(pending, slots)
        graph = [dask.delayed(data_batch, pure=False)(_Batch(batch), limit,
                                                      dask_key_name=f"data-{len(batches) - i:06d}")
                 for i, batch in enumerate(batches)]

        def done(key, result, dsk, state_, worker_id):
            if isinstance(key, str) and key.startswith("data-"):
                for record in result:
                    finished(record)

        # Given to this compute alone: Dask's global callbacks (Callback.active) are one set for
        # the process, which each compute takes for its duration and puts back after, so two runs
        # in two threads would see each other's tasks, or lose their own. A caller's own global
        # callbacks (a progress bar) still see this compute.
        callbacks = [*Callback.active, Callback(posttask=done)._callback]
        pools = {"initializer": _die_with_driver} if data_scheduler == "processes" else {}
        if graph:
            dask.compute(*graph, scheduler=data_scheduler, num_workers=workers, callbacks=callbacks, **pools)
        commit()
        if figure_specs:
            figure_graph = [dask.delayed(figure_task, pure=False)(spec, dask_key_name=f"figure-{i}")
                            for i, spec in enumerate(figure_specs)]
            figure_scheduler = "sync" if data_scheduler == "sync" else "processes"
            results = dask.compute(*figure_graph, scheduler=figure_scheduler, num_workers=workers,
                                   **({"initializer": _die_with_driver} if figure_scheduler == "processes" else {}))
            for record in results:
                state["figures"][record["figure"]] = record
    finally:
        if manager is not None:
            manager.shutdown()


def _run_distributed(client, pending, figure_specs, db_concurrency, finished, state, saver, commit) -> None:
    """The same tasks on a dask.distributed cluster, the database capped by a cluster-wide
    semaphore; the data commits before the figures draw from it."""
    from distributed import Semaphore, as_completed

    limit = Semaphore(max_leases=db_concurrency, name=f"lumoreq-db-{uuid.uuid4().hex}")
    try:
        slots = sum(client.nthreads().values()) or 1
        batches = _batches(pending, slots)
        futures = [client.submit(data_batch, _Batch(batch), limit, pure=False, key=f"lumoreq-data-{uuid.uuid4().hex}")
                   for batch in batches]
        batch_of = {future.key: batch for batch, future in zip(batches, futures)}
        for future in as_completed(futures):
            try:
                records = future.result()
            except Exception as error:  # a task the cluster gave up on (its workers kept dying)
                records = [{"task": _spec_key(spec), "part": None, "rows": 0,
                            "error": f"{type(error).__name__}: {error}"} for spec in batch_of[future.key]]
            for record in records:
                finished(record)
        commit()
        figure_futures = [client.submit(figure_task, spec, limit=limit, pure=False,
                                        key=f"lumoreq-figure-{uuid.uuid4().hex}") for spec in figure_specs]
        for future in figure_futures:
            try:
                record = future.result()
            except Exception as error:
                record = {"figure": "?", "files": [], "error": f"{type(error).__name__}: {error}"}
            state["figures"][record["figure"]] = record
    finally:
        with contextlib.suppress(Exception):
            limit.close()


def update(out, end=None, redo=None, source=None, start=None, scheduler=None, workers: int | None = None,
           db_concurrency: int = 4, retries: int = 2, progress: bool = True) -> RunSummary:
    """Extend the dataset in ``out`` to the day ``end`` (yesterday by default) with the plan and
    options it records: the same selection (series that appeared in the source since are
    added), the same processing and figures. ``redo=(first, last)`` computes the chunks that
    read those days again (late or corrected data at the source). ``source`` replaces the
    recorded one (a URL's password is not recorded). Running the same update twice changes
    nothing the second time."""
    from .dataset import _read_run, table_exists
    from .planning import plan as make_plan

    out = Path(out).resolve()
    record = _read_run(out)
    if not table_exists(out) or not record or "identity" not in record:
        raise JobError(f"no dataset to update in {out}: run a job into it first (lumoreq run ... --out {out})")
    selection = record["plan"]["selection"]
    options = record["options"]
    last = _timestamp(selection["end"])
    end = (pd.Timestamp.now().normalize() - pd.Timedelta(days=1)) if end is None else _timestamp(str(end))
    start = _timestamp(selection["start"]) if start is None else _timestamp(str(start))
    if end < last:
        raise JobError(f"the dataset in {out} reaches {last:%Y-%m-%d} already: an update does not shorten it "
                       f"(redo=(first, last) computes days again)")
    plan_ = make_plan(source if source is not None else record["plan"]["source"], f"{start:%Y-%m-%d}",
                      f"{end:%Y-%m-%d}", method=selection["method"], station=selection["station"],
                      item=selection["item"], rate=selection["rate"], kind=selection["kind"],
                      point=selection["point"] or None, chunk=selection["chunk"], resample=options["resample"])
    return run(plan_, out, hampel=options["hampel"], resample=options["resample"], figures=options["figures"],
               catalogue=options["catalogue"], stats=options["stats"], rainfall=options["rainfall"],
               scheduler=scheduler, workers=workers, db_concurrency=db_concurrency, retries=retries,
               progress=progress, redo=redo)
