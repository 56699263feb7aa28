"""Network-scale jobs: the whole sample network (every series, three months of minute data,
monthly chunks, Hampel 15/5 and hourly means) run serially (one task after another in one
process) against Dask's local scheduler with two workers and a LocalCluster of two worker
processes; the same job in year chunks on one thread against two; and the figures (one per
station and point) drawn by one process against two.

Rows: ``reference`` is the one-worker side, ``native`` the two-worker side; the ratio is the
speedup. The notes give the scheduling overhead (the scheduled time of a one-worker run, from
its run record, above the sum of its task times) and the memory of a worker above its level
once every worker has finished its first task, against the size of one chunk's table.
"""

from __future__ import annotations

import gc
import itertools
import json
import shutil
import tempfile
import time
from functools import cache
from pathlib import Path

from run import Case, peak_extra_rss

RESULTS = Path(__file__).resolve().parent / "results"
HAMPEL = (15, 5.0)
RESAMPLE = ("h", "mean")


@cache
def network(minute_days: int) -> Path:
    """The sample network with ``minute_days`` of minute data for every series, built once."""
    from lumoreq import sample

    path = RESULTS / f"jobs_minute_{minute_days}d.duckdb"
    if not path.exists():
        sample.build(path, days=minute_days, minute_days=minute_days, second_days=0, catalogue=False)
    return path


_ROOT = Path(tempfile.gettempdir()) / "lumoreq-bench-jobs"
_runs = itertools.count()


def _fresh(name: str) -> Path:
    """A new output folder for one timed run. Earlier runs' folders stay until the next bench
    starts: removing them is no part of a job, and would be timed with it."""
    return _ROOT / f"{name}-{next(_runs)}"


def _task_seconds(out: Path) -> float:
    state = json.loads((out / "run.json").read_text(encoding="utf-8"))
    return sum(r.get("seconds") or 0.0 for r in state["tasks"].values())


def _scheduled_seconds(out: Path) -> float:
    """From the run's start of scheduling to its end, as run.json records them (without the
    lock, the option check and the closing of the pooled connections)."""
    import datetime as dt

    state = json.loads((out / "run.json").read_text(encoding="utf-8"))
    started, finished = (dt.datetime.fromisoformat(state[k]) for k in ("started", "finished"))
    return (finished - started).total_seconds()


def _after_warm_up(fn, workers: int) -> tuple[int, object]:
    """Peak resident memory of ``fn`` (a run on Dask's threads) above the level at the moment every
    worker has finished its first task, sampled every millisecond."""
    import threading

    from dask.callbacks import Callback
    from run import _rss_bytes

    state = {"seen": set(), "base": None, "peak": 0}
    lock = threading.Lock()

    class Warm(Callback):
        def _posttask(self, key, result, dsk, _state, worker_id):
            with lock:
                state["seen"].add(worker_id)
                if state["base"] is None and len(state["seen"]) >= workers:
                    state["base"] = _rss_bytes()
                    state["peak"] = state["base"]

    done = threading.Event()

    def sample():
        while not done.is_set():
            if state["base"] is not None:
                state["peak"] = max(state["peak"], _rss_bytes())
            time.sleep(0.001)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    try:
        with Warm():
            result = fn()
    finally:
        done.set()
        sampler.join()
    return (state["peak"] - state["base"] if state["base"] is not None else 0), result


def cases(scale: float):
    import pandas as pd

    from lumoreq import fetching, jobs, sample

    days = max(31, int(91 * scale))
    db = network(days)
    shutil.rmtree(_ROOT, ignore_errors=True)
    end = pd.Timestamp("2024-01-01") + pd.Timedelta(days=days - 1)
    plan = jobs.plan(db, "2024-01-01", f"{end:%Y-%m-%d}", chunk="month")
    n_series = len(plan.series)
    size = f"{len(plan)} tasks, {n_series} series x {days} d min"

    def serial():
        out = _fresh("serial")
        jobs.run(plan, out, hampel=HAMPEL, resample=RESAMPLE, scheduler="sync", progress=False)
        return out

    def threads(workers):
        def go():
            out = _fresh(f"threads{workers}")
            began = time.perf_counter()
            summary = jobs.run(plan, out, hampel=HAMPEL, resample=RESAMPLE, workers=workers, db_concurrency=workers,
                               progress=False)
            go.wall = time.perf_counter() - began  # the run alone, not the clearing of the last one
            assert summary.ok, str(summary)
            return out

        return go

    def same(a, b):
        pd.testing.assert_frame_equal(jobs.read(a), jobs.read(b), check_exact=True)

    def measured_notes() -> list[str]:
        """Scheduling overhead and memory, measured on the side (only when the row runs)."""
        notes = []
        import dask.threaded  # noqa: F401 - imported before the timing: an import is no scheduling

        scheduling, whole, per_task = [], [], []
        for _ in range(3):
            one = threads(1)
            out = one()
            busy = _task_seconds(out)
            scheduling.append((_scheduled_seconds(out) - busy) / busy)
            whole.append((one.wall - busy) / busy)
            per_task.append(busy / len(plan))
        notes.append(f"scheduling overhead, 1 worker: {100 * sorted(scheduling)[1]:+.1f} % of task time (median "
                     f"of 3 runs, goal < 5 %; runs {', '.join(f'{100 * x:+.1f}' for x in scheduling)} %); the whole call "
                     f"with its lock, option check and run record: {100 * sorted(whole)[1]:+.1f} %; "
                     f"{sorted(per_task)[1] * 1000:.0f} ms per task")
        conn = sample.connect(db, read_only=True)
        try:
            chunk = fetching.fetching_data(conn, "20240101", "20240131", "全部", plan.stations[0]["STATIONNAME"],
                                           "分钟值", "预处理库", itemname=[plan.items[0]["ITEMNAME"]], gzip_flag=True)
        finally:
            conn.close()
        chunk_bytes = int(chunk.memory_usage(deep=True).sum())
        del chunk
        threads(2)()  # warm-up: imports, caches, the thread pool's first tasks
        gc.collect()
        extra, _ = peak_extra_rss(threads(2))
        warm, _ = _after_warm_up(threads(2), 2)
        notes.append(f"memory per worker above its level after a warm-up task (2 workers, within one run): "
                     f"{warm / 2 / 2**20:.1f} MiB; one chunk's table {chunk_bytes / 2**20:.1f} MiB "
                     f"(ratio {warm / 2 / max(1, chunk_bytes):.2f}, goal < 3). A whole run above the level before "
                     f"it, which includes opening the database in the run: {extra / 2 / 2**20:.1f} MiB per worker")
        return notes

    yield Case("jobs: serial -> threads x2", size, serial, threads(2), check=same, repeat=7, notes=measured_notes)

    # The same job in year chunks (one task per series): the glue each task pays once weighs less.
    year_plan = jobs.plan(db, "2024-01-01", f"{end:%Y-%m-%d}", chunk="year")

    def year(workers):
        def go():
            out = _fresh(f"year{workers}")
            summary = jobs.run(year_plan, out, hampel=HAMPEL, resample=RESAMPLE, workers=workers,
                               db_concurrency=workers, progress=False)
            assert summary.ok, str(summary)
            return out

        return go

    yield Case("jobs: threads x1 -> x2, year chunks", f"{len(year_plan)} tasks, {n_series} series x {days} d min",
               year(1), year(2), check=same, repeat=5)

    # The cluster is started by the first (untimed) run of its side, and its start-up reported on
    # its own; it is started only when the row runs.
    started: dict = {}

    def cluster_client():
        if not started:
            import logging

            from distributed import Client, LocalCluster

            logging.getLogger("distributed").setLevel(logging.ERROR)  # no start and stop chatter in the table
            began = time.perf_counter()
            cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                   silence_logs=40)
            client = Client(cluster)
            client.run(lambda: __import__("lumoreq.jobs"))  # the workers' imports
            started.update(cluster=cluster, client=client, start_up=time.perf_counter() - began)
        return started["client"]

    def cluster_run():
        client = cluster_client()
        out = _fresh("cluster")
        summary = jobs.run(plan, out, hampel=HAMPEL, resample=RESAMPLE, scheduler=client, db_concurrency=2,
                           progress=False)
        assert summary.ok, str(summary)
        return out

    try:
        yield Case("jobs: serial -> LocalCluster 2 procs", size, serial, cluster_run, check=same, repeat=5,
                   notes=lambda: [f"cluster start-up (not in the row): {started['start_up']:.1f} s"])
    finally:
        if started:
            import logging

            logging.getLogger("distributed").setLevel(logging.CRITICAL)  # workers closing mid-message
            started["client"].close()
            started["cluster"].close()

    # Figures: one process against two, from the finished dataset.
    source = serial()

    def figures(workers):
        def go():
            out = _fresh(f"fig{workers}")
            shutil.copytree(source, out)
            return _draw(out, workers)

        return go

    def _draw(out, workers):
        import dask

        specs = jobs.engine._figure_specs(plan, out, "station", None, False, False)
        graph = [dask.delayed(jobs.figure_task, pure=False)(s) for s in specs]
        results = dask.compute(*graph, scheduler="processes", num_workers=workers)
        assert all(r["error"] is None for r in results), results
        return sum(len(r["files"]) for r in results)

    yield Case("jobs: figures 1 -> 2 processes", f"{len({(t.station, t.point) for t in plan})} figures",
               figures(1), figures(2), repeat=1)
