"""Network-scale jobs: the same per-series work a script does, over a whole network, on Dask.

    plan(source, start, end, ...)  -> Plan: one task per (STATIONID, POINTID, ITEMID) series and
                                      period chunk, found from the dictionary tables
    run(plan, out, ...)            -> fetch -> filter -> resample each series and chunk, one dataset
                                      part per task, committed as one new version of the dataset;
                                      then the figures; returns a RunSummary
    update(out, end=None, ...)     -> the same job with a later end (yesterday by default): only the
                                      new chunks and those whose reads reach the old edge
    read(out, ..., version=None)   -> the time-series table of a dataset version (lazy=True:
                                      dask.dataframe); history(out), describe(out), maintain(out)

Dataset layout::

    out/data/           a Delta Lake table: its log in _delta_log/, its data files the parts
    out/data/ITEMID=<id>/STATIONID=<id>/POINTID=<id>/<first day>_<last day>-<tag>.ruzi
    out/figures/        the figures (when asked for)
    out/run.json        the plan, the options and one record per task
    out/.lock           says who holds the folder while a run works on it

Every task is a plain function of (source, series, period, options): it connects to the source
by itself (a connection of its own, checked out of a pool its worker process keeps for the length
of the run), so it runs on any thread, process or cluster worker. Dask does the scheduling: its
threaded scheduler by default (the kernels release the GIL), its process pool for figures
(matplotlib is not thread-safe), or a ``dask.distributed`` cluster. While data tasks run in a
process, its interpreter switch interval is at most 1 ms (threads coming back from native work
get the GIL sooner); it is put back when the last of them ends.

Results do not depend on the chunking. The Hampel filter reads a halo of neighbouring samples:
backwards until it holds a complete window of finite values (or reaches the start of the planned
period), forwards at least one window (and, when nothing complete lies before the chunk, until a
complete window). Resampling aligns the chunk edges to its bins: a rule whose bins do not
fall on the chunk edges is refused.
"""

from __future__ import annotations

# One module per job: planning (the plan), chunk (one chunk's read, filter and bins), tasks (the tasks
# of the graph), dataset (the output folder and its reader), engine (batching, the schedulers,
# run()); sources and connections are lumoreq.sources. Here: the public names, as before.
from ..sources import SCHEMA  # noqa: F401
from .dataset import JobError, describe, history, maintain, parts, read  # noqa: F401
from .engine import RunSummary, run, update

from .planning import AGGREGATIONS, ALL, CHUNKS, Plan, Task, plan  # noqa: F401
from .tasks import data_batch, data_task, figure_task  # noqa: F401

__all__ = ["Plan", "Task", "RunSummary", "JobError", "plan", "run", "update", "read", "history", "describe",
           "maintain", "CHUNKS"]
