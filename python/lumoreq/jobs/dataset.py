"""The dataset of a job: a Delta Lake table whose data files are the RUZI parts the tasks write,
with the job's lock and run record beside it.

    out/data/                  the table (Delta Lake: its log in out/data/_delta_log/)
    out/data/ITEMID=<id>/STATIONID=<id>/POINTID=<id>/<first>_<last>-<tag>.ruzi   its data files
    out/data/.../<first>_<last>-<tag>.m4     the web view's min/max summaries of that part
    out/figures/
    out/run.json               the plan, the options and one record per task of the current
                               version (and of parts written but not committed yet)
    out/.lock                  who holds the folder while a run works on it

A part is never written over once it may be committed: every task writes a file of its own (a
fresh tag), and one commit adds the new parts and removes the ones they replace. Readers read the
files of one committed version, never the folder: a stray, misplaced or half-written file is not
data, and a file of the version that cannot be read is an error naming it.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import shutil
import socket
import time
import uuid
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from ..sources import _public_source
from .planning import Plan, _day, _write_text

_RUN_FILE = "run.json"
_LOCK_FILE = ".lock"
_STAGING_PREFIX = ".figures-"  # a figure task's own folder while it draws
TABLE = "data"  # the table's folder inside the dataset folder
LAYOUT = 2  # 1: Hive folders of parts listed by run.json alone; 2: a Delta Lake table
_RUN_FORMAT = "lumoreq-run/2"


class JobError(RuntimeError):
    """A job that cannot start: an empty selection, a locked or foreign output folder, a
    scheduler that does not answer."""


# ---------------------------------------------------------------------------------------------
# The output folder: lock, run record, option check
# ---------------------------------------------------------------------------------------------


class _OutLock:
    """An exclusive lock on ``out``: a second driver on the same folder is refused. The operating
    system drops it when the driver dies, so a killed run never leaves the folder locked.

    On POSIX systems the folder itself is locked (deleting the lock file does not free it); on
    Windows the lock file is held open, and an open file cannot be deleted there. The lock file
    says who holds the folder."""

    def __init__(self, out: Path):
        self.out = Path(out)
        self.path = self.out / _LOCK_FILE
        self.handle = None
        self.folder: int | None = None

    def __enter__(self):
        try:
            if os.name == "nt":  # pragma: no cover
                import msvcrt

                self.handle = open(self.path, "a+")
                msvcrt.locking(self.handle.fileno(), msvcrt.LK_NBLCK, 1)
            else:
                import fcntl

                self.folder = os.open(self.out, os.O_RDONLY)
                fcntl.flock(self.folder, fcntl.LOCK_EX | fcntl.LOCK_NB)
                self.handle = open(self.path, "a+")
        except OSError as error:
            self._release()
            raise JobError(f"another run is using {self.out} (locked by {self.path})") from error
        self.handle.seek(0)
        self.handle.truncate()
        self.handle.write(f"{socket.gethostname()} {os.getpid()}\n")
        self.handle.flush()
        return self

    def _release(self) -> None:
        if self.handle is not None:
            self.handle.close()  # closing releases the lock
            self.handle = None
        if self.folder is not None:
            os.close(self.folder)
            self.folder = None

    def __exit__(self, *exc):
        self._release()
        return False


def _options_record(plan_: Plan, hampel, resample, figures, catalogue, stats, rainfall) -> dict[str, Any]:
    return {
        "plan": plan_.fingerprint(),
        "hampel": list(hampel) if hampel else None,
        "resample": list(resample) if resample else None,
        "figures": figures,
        "catalogue": None if catalogue is None else str(catalogue),
        "stats": bool(stats),
        "rainfall": bool(rainfall),
    }


_SPAN_KEYS = ("start", "end", "tables", "gzip_methods")  # what may change between runs of one job


def _identity(plan_: Plan, hampel, resample) -> dict[str, Any]:
    """What makes a dataset one job's: the source, the selection (without its span) and the
    processing. Runs of one job may differ in their span (updates) and in their figures."""
    selection = {k: v for k, v in plan_.selection.items() if k not in _SPAN_KEYS}
    return {"source": _public_source(plan_.source), "selection": selection,
            "hampel": list(hampel) if hampel else None, "resample": list(resample) if resample else None}


def _write_json(path: Path, data: dict[str, Any]) -> None:
    from ..export import jsonable

    # one line per task record: a dataset of thousands of tasks writes its record quickly and
    # still diffs and greps by task
    tasks = {name: data[name] for name in ("tasks", "written") if isinstance(data.get(name), dict)}
    head = {k: v for k, v in data.items() if k not in tasks}
    text = json.dumps(jsonable(head), ensure_ascii=False, indent=1)
    if tasks:
        blocks = []
        for name, records in tasks.items():
            rows = ",\n".join(f"  {json.dumps(k, ensure_ascii=False)}: "
                              f"{json.dumps(r, ensure_ascii=False, default=_plain)}" for k, r in records.items())
            blocks.append(f' {json.dumps(name)}: {{\n{rows}\n }}' if rows else f' {json.dumps(name)}: {{}}')
        text = (text[:-2] + ",\n" if head else "{\n") + ",\n".join(blocks) + "\n}"
    _write_text(path, text)


def _plain(value):
    """What json cannot write by itself in a task record (numbers of numpy and the like)."""
    from ..export import jsonable

    return jsonable(value)


def _read_run(out: Path) -> dict[str, Any] | None:
    """The run record of ``out``; None when there is none, {} when it cannot be read."""
    try:
        return json.loads((Path(out) / _RUN_FILE).read_text(encoding="utf-8"))
    except FileNotFoundError:
        return None
    except (ValueError, OSError):
        return {}


@dataclasses.dataclass
class _Previous:
    """What a run finds in its folder."""

    version: int | None = None  # the table's current version (None: no table yet)
    committed: dict[str, str] = dataclasses.field(default_factory=dict)  # task key -> part (inside out)
    records: dict[str, dict[str, Any]] = dataclasses.field(default_factory=dict)  # of the current version
    written: dict[str, dict[str, Any]] = dataclasses.field(default_factory=dict)  # written, not committed
    same_plan: bool = False  # the last run had this very plan (a resume)
    span: list[str] | None = None  # the days [first, end) of the current version
    replace_all: bool = False  # the next commit replaces the table (an overwrite)


def _prepare_out(out: Path, plan_: Plan, options: dict[str, Any], identity: dict[str, Any],
                 overwrite: bool) -> _Previous:
    """Check ``out`` against this job; returns what earlier runs of the same job left."""
    previous = _read_run(out)
    has_table = table_exists(out)
    legacy = not has_table and (out / TABLE).exists() and any((out / TABLE).iterdir())
    why = None
    if not previous and (has_table or legacy):
        why = "it holds a dataset without a readable run.json"
    elif previous:
        earlier = previous.get("identity")
        if earlier is None:  # a dataset of the first layout: only its own plan resumes it
            if previous.get("options", {}).get("plan") != options["plan"]:
                why = "it holds the dataset of another plan"
            elif previous.get("options", {}) != options:
                changed = sorted(k for k in options if previous.get("options", {}).get(k) != options[k])
                why = "it was made with other options (" + ", ".join(changed) + ")"
        elif earlier != identity:
            changed = sorted(k for k in ("hampel", "resample") if earlier.get(k) != identity[k])
            if earlier.get("source") != identity["source"] or earlier.get("selection") != identity["selection"]:
                why = "it holds the dataset of another plan"
            else:
                why = "it was made with other options (" + ", ".join(changed) + ")"
    if why and not overwrite:
        raise JobError(f"refusing to write into {out}: {why}; pass overwrite=True (--overwrite) to replace it")
    # Figure tasks of a run that was killed leave their staging folders.
    for stale in out.glob(f"{_STAGING_PREFIX}*"):
        shutil.rmtree(stale, ignore_errors=True)
    if why or overwrite:
        # The table stays until the next commit replaces it: readers keep the old version meanwhile.
        if legacy:
            shutil.rmtree(out / TABLE)
        if (out / "figures").exists():
            shutil.rmtree(out / "figures")
        with contextlib.suppress(FileNotFoundError):
            (out / _RUN_FILE).unlink()
        version = open_table(out).version() if has_table else None
        return _Previous(version=version, replace_all=has_table)
    # Temporary files of a run that was killed: no writer is active while we hold the lock.
    if (out / TABLE).exists():
        for tmp in (out / TABLE).rglob(".*"):
            if "_delta_log" not in tmp.parts:
                with contextlib.suppress(OSError):
                    tmp.unlink()
    found = _Previous(same_plan=bool(previous) and previous.get("options", {}).get("plan") == options["plan"])
    if has_table:
        found.version, found.committed = _table_parts(out)
    if previous and previous.get("identity") is None:
        # the first layout's parts were never committed: a resume of the same plan takes them
        found.written = dict(previous.get("tasks", {}))
    elif previous:
        found.records = dict(previous.get("tasks", {}))
        found.written = dict(previous.get("written", {}))
        found.span = previous.get("span")
        found.replace_all = bool(previous.get("replace_all"))  # an overwrite that did not finish
    # a run whose record was not saved after its commit: what it wrote is committed already
    in_table = set(found.committed.values())
    for key, record in list(found.written.items()):
        if record.get("part") in in_table:
            found.records[key] = found.written.pop(key)
    if previous is None or previous.get("identity") is not None:
        # parts a killed run wrote after its record was last saved: each says what it holds
        known = set(found.committed.values()) | {r.get("part") for r in found.written.values()}
        # only files written since the last commit: older ones belong to versions it replaced
        since = _last_commit_time(out, found.version) if has_table else 0.0
        for key, record in _found_parts(out, known, identity, since).items():
            found.written.setdefault(key, record)
    return found


def _last_commit_time(out: Path, version: int | None) -> float:
    """When the table's current version was committed (its log entry's time, in seconds)."""
    try:
        return os.stat(table_root(out) / "_delta_log" / f"{version:020d}.json").st_mtime
    except (OSError, TypeError):
        return open_table(out).history(1)[0].get("timestamp", 0) / 1000.0


def _found_parts(out: Path, known: set, identity: dict[str, Any], since: float) -> dict[str, dict[str, Any]]:
    """The records of parts in the table's folder that no version holds and no record lists,
    rebuilt from what each part records of itself, for those this job wrote."""
    import pyarrow.parquet as pq

    from ..export import METADATA_KEY

    found: dict[str, dict[str, Any]] = {}
    root = table_root(out)
    if not root.exists():
        return found
    for path in root.glob("ITEMID=*/STATIONID=*/POINTID=*/*.ruzi"):
        part = f"{TABLE}/{path.relative_to(root).as_posix()}"
        key = task_key(part)
        if part in known or key is None or path.name.startswith("."):
            continue
        try:
            if path.stat().st_mtime <= since:
                continue
            meta = pq.read_metadata(path)
            context = json.loads((meta.schema.to_arrow_schema().metadata or {})[METADATA_KEY])
            made = context["metadata"]["provenance"]
        except (OSError, ValueError, KeyError, TypeError):
            continue  # not one of ours, or damaged: never data
        item, station, point, days = key.split("/")
        if (made.get("source") != identity["source"]
                or made.get("processing") != {"hampel": identity["hampel"], "resample": identity["resample"]}
                or made.get("series") != [station, point, item] or made.get("chunk") != [days[:10], days[11:]]):
            continue  # another job's, or a part under another chunk's name
        found[key] = {"task": key, "part": part, "rows": int(meta.num_rows), "samples": made.get("samples"),
                      "nan": made.get("nan"), "replaced": made.get("replaced"), "bytes": path.stat().st_size,
                      "series": [station, point, item], "span": made.get("span"), "read": made.get("read"),
                      "interval": made.get("interval"), "error": None, "note": "found on disk"}
    return found


def _redo_days(redo) -> tuple[str, str] | None:
    """``redo=(first, last)`` (whole days, both included) as [first, end) day texts."""
    if redo is None:
        return None
    try:
        first, last = redo
    except (TypeError, ValueError):
        raise ValueError(f"redo must be (first day, last day), not {redo!r}") from None
    first, last = _day(first), _day(last)
    if last < first:
        raise ValueError(f"the redo window ends ({last:%Y-%m-%d}) before it starts ({first:%Y-%m-%d})")
    return f"{first:%Y-%m-%d}", f"{last + pd.Timedelta(days=1):%Y-%m-%d}"


def _new_part(task) -> str:
    """A new file for ``task``'s part: never the name of a file a version may hold."""
    return (f"{TABLE}/ITEMID={task.item}/STATIONID={task.station}/POINTID={task.point}/"
            f"{task.first}_{task.last}-{uuid.uuid4().hex[:12]}.ruzi")


def _usable(record: dict[str, Any] | None, span: list[str], redo, same_plan: bool) -> bool:
    """Whether a chunk computed earlier is what this run would compute.

    A task reads the days [read[0], read[1]) around its chunk; what it makes of them depends only
    on those samples and on whether the read stopped at the period's first day or its end (see
    chunk._fetch_with_halo). So a chunk stays valid for a new span when the read did not stop
    at a bound that moved, and the days it read are not to be read again (``redo``)."""
    if not record or record.get("error") or record.get("rows") is None:
        return False
    read, was = record.get("read"), record.get("span")
    if read is None or was is None:
        return same_plan and redo is None  # a dataset of the first layout: only a resume
    if redo is not None and read[0] < redo[1] and read[1] > redo[0]:
        return False
    if (read[0] > was[0] or was[0] == span[0]) and (read[1] < was[1] or was[1] == span[1]):
        return True
    around = record.get("around")
    if record.get("rows") == 0 and not record.get("part") and around is not None:
        # A chunk without samples of its own gives rows only when resampling finds samples on
        # both sides of it (empty bins inside the series' span). A side that had none keeps
        # none while its bound stays where it was, so the chunk stays empty; without resampling
        # it stays empty whatever the bounds do. (Its own days lie in the old span: not redone.)
        days = record["task"].rpartition("/")[2]
        if redo is not None and days[:10] < redo[1] and days[11:21] >= redo[0]:
            return False
        return (not record.get("resampled", True) or (not around[0] and was[0] == span[0])
                or (not around[1] and was[1] == span[1]))
    return False


def _verified(out: Path, records: dict[str, dict[str, Any]], workers: int | None, full: bool = False) -> set[str]:
    """The keys of the records whose part reads back whole (page checksums and digest), or, unless
    ``full``, is as it was when written (size and modification time); a damaged, changed or
    missing part is logged and its chunk computed again."""
    import logging
    from concurrent.futures import ThreadPoolExecutor

    from ..export import read_ruzi

    def check(item):
        key, record = item
        if not record.get("part"):
            return key
        try:
            if not full and record.get("stat"):
                # unchanged since it was written and read back (truncating, emptying, flipping or
                # replacing it changes its size or time): its checksums are checked on every read
                found = os.stat(out / record["part"])
                if [found.st_size, found.st_mtime_ns] == list(record["stat"]):
                    return key
            _, meta = read_ruzi(out / record["part"])
            made = (meta or {}).get("provenance") if isinstance(meta, dict) else None
            series, _, days = key.rpartition("/")
            item_, station, point = series.split("/")
            if made is not None and (made.get("chunk") != [days[:10], days[11:]]
                                     or made.get("series", [station, point, item_]) != [station, point, item_]):
                raise ValueError("it holds another chunk")
            return key
        except (OSError, ValueError) as error:
            logging.getLogger("lumoreq.jobs").warning("part %s cannot be used, it is computed again: %s",
                                                     record["part"], error)
            return None

    with ThreadPoolExecutor(max(1, min(8, workers or os.cpu_count() or 1))) as pool:
        return {key for key in pool.map(check, records.items()) if key is not None}


def _sort_tasks(out: Path, plan_: Plan, previous: _Previous, span: list[str], redo, workers
                ) -> tuple[dict[str, dict[str, Any]], dict[str, dict[str, Any]], list]:
    """(kept, written, pending): the plan's chunks whose committed result stays, those whose part
    an interrupted run wrote and this run takes, and those to compute."""
    kept, written = {}, {}
    for task in plan_.tasks:
        key = task.key
        earlier = previous.written.get(key)
        if _usable(earlier, span, redo, previous.same_plan) and (
                not earlier.get("part") or (out / earlier["part"]).exists()):
            written[key] = earlier
            continue
        record = previous.records.get(key)
        committed = previous.committed.get(key)
        if _usable(record, span, redo, previous.same_plan) and record.get("part") == committed:
            kept[key] = record
    good = _verified(out, {**kept, **written}, workers)
    kept = {k: r for k, r in kept.items() if k in good}
    written = {k: r for k, r in written.items() if k in good}
    pending = [task for task in plan_.tasks if task.key not in kept and task.key not in written]
    return kept, written, pending


def _overlaps(key: str, others: dict[str, Any]) -> bool:
    """Whether the chunk ``key`` shares a day with one of ``others`` (keys) of its series."""
    series, _, days = key.rpartition("/")
    first, last = days[:10], days[11:21]
    for other in others:
        other_series, _, other_days = other.rpartition("/")
        if other_series == series and other_days[:10] <= last and first <= other_days[11:21]:
            return True
    return False


def _fallback_schema(resample):
    """The table's schema when no part has been written yet."""
    from .. import export

    times = np.empty(0, dtype="M8[us]")
    keys = {"STATIONID": "", "POINTID": "", "ITEMID": ""}
    if resample:
        return export._series_ruzi("STARTDATE", times, "OBSVALUE", np.empty(0, np.float32), keys).schema.remove_metadata()
    frame = pd.DataFrame({**{k: pd.array([], dtype="str") for k in (*keys, "SAMPLERATE")},
                          "OBSVALUE": np.empty(0, np.float32)}, index=pd.DatetimeIndex(times, name="STARTDATE"))
    return export.to_ruzi(frame).schema.remove_metadata()


def _commit_run(out: Path, plan_: Plan, previous: _Previous, kept: dict[str, dict[str, Any]],
                written: dict[str, dict[str, Any]], failures: dict[str, dict[str, Any]], identity: dict[str, Any],
                options: dict[str, Any], span: list[str], redo) -> tuple[int, dict[str, dict[str, Any]]]:
    """Commit what a run made: its new parts in, the parts they replace out, in one version.
    The part of a chunk whose new computation failed stays (the data it held remains readable);
    a rerun replaces it. Returns (version, the records of that version's tasks)."""
    from .. import __version__

    current = {**kept, **written}
    added = [r for r in written.values() if r.get("part")]
    carried = {r["part"] for r in kept.values() if r.get("part")}
    removed = []
    for key, part in previous.committed.items():
        if part in carried:
            continue
        if _overlaps(key, failures):
            current[key] = previous.records.get(key) or {"task": key, "part": part, "rows": None}
            continue
        removed.append(part)
    if previous.replace_all:
        operation = "overwrite"
    elif previous.version is None:
        operation = "create"
    elif redo is not None:
        operation = "redo"
    elif previous.span is not None and previous.span != span:
        operation = "update"
    else:
        operation = "resume"
    info = {"layout": LAYOUT, "lumoreq": __version__, "operation": operation, "source": identity["source"],
            "kind": plan_.kind, "rate": plan_.rate,
            "processing": {"hampel": identity["hampel"], "resample": identity["resample"]},
            "span": span, "plan": options["plan"], "redo": list(redo) if redo else None,
            "tasks": {"computed": len([k for k in written if k not in previous.written]),
                      "taken": len([k for k in written if k in previous.written]),
                      "kept": len(kept), "removed": len(removed), "failed": len(failures)}}
    if added or removed or previous.version is None or previous.replace_all:
        version = _commit(out, added, removed, info, _fallback_schema(identity["resample"]), previous.replace_all)
    else:
        version = previous.version  # nothing changed: no new version
    # parts an interrupted run wrote and this one did not take were never committed
    committed_now = {r["part"] for r in current.values() if r.get("part")}
    for record in previous.written.values():
        part = record.get("part")
        if part and part not in committed_now and part not in previous.committed.values():
            for leftover in (out / part, (out / part).with_suffix(".m4")):
                with contextlib.suppress(OSError):
                    leftover.unlink()
    return version, {**current, **failures}


# ---------------------------------------------------------------------------------------------
# The table
# ---------------------------------------------------------------------------------------------


def table_root(out) -> Path:
    return Path(out) / TABLE


def table_exists(out) -> bool:
    return (table_root(out) / "_delta_log").is_dir()


def open_table(out, version: int | None = None):
    """The Delta table of ``out`` at ``version`` (the current one by default); None without one."""
    if not table_exists(out):
        return None
    from deltalake import DeltaTable

    try:
        return DeltaTable(str(table_root(out)), version=version)
    except Exception as error:
        if version is not None:
            raise ValueError(f"the dataset in {out} has no version {version}: {error}") from error
        raise


def task_key(part: str) -> str | None:
    """The task a part belongs to, from its path inside the table or the dataset folder
    ("[data/]ITEMID=i/STATIONID=s/POINTID=p/<first>_<last>[-tag].ruzi"); None for another shape."""
    pieces = part.replace("\\", "/").split("/")
    if pieces and pieces[0] == TABLE:
        pieces = pieces[1:]
    if len(pieces) != 4 or not pieces[3].endswith(".ruzi"):
        return None
    values = []
    for piece, name in zip(pieces[:3], ("ITEMID", "STATIONID", "POINTID")):
        if not piece.startswith(name + "="):
            return None
        values.append(piece[len(name) + 1:])
    days = pieces[3][: -len(".ruzi")]
    if len(days) < 21 or days[10] != "_" or (len(days) > 21 and days[21] != "-"):
        return None
    return "/".join(values) + "/" + days[:21]


def _table_parts(out, version: int | None = None) -> tuple[int | None, dict[str, str]]:
    """(version, {task key: part path inside out}) of the table's files at ``version``."""
    import pyarrow as pa

    table = open_table(out, version)
    if table is None:
        return None, {}
    actions = pa.table(table.get_add_actions(flatten=True))
    files = {}
    for path in actions.column("path").to_pylist():
        files[task_key(path) or path] = f"{TABLE}/{path}"
    return table.version(), files


def _stats(record: dict[str, Any]) -> str:
    """The statistics a commit records of a part: readers skip files by them."""
    station, point, item = record["series"]
    keys = {"STATIONID": station, "POINTID": point, "ITEMID": item}
    low, high = dict(keys), dict(keys)
    if record.get("interval"):
        low["STARTDATE"], high["STARTDATE"] = record["interval"]
    return json.dumps({"numRecords": int(record["rows"]), "minValues": low, "maxValues": high,
                       "nullCount": {k: 0 for k in keys}}, ensure_ascii=False)


def _schema(out: Path, records: list[dict[str, Any]]):
    """The table's schema: that of its parts (without their own metadata)."""
    import pyarrow.parquet as pq

    for record in records:
        if record.get("part"):
            return pq.read_schema(out / record["part"]).remove_metadata()
    return None


def _commit(out: Path, added: list[dict[str, Any]], removed: list[str], info: dict[str, Any],
            fallback_schema=None, replace_all: bool = False) -> int:
    """One commit: the parts of ``added`` (task records) in, the parts ``removed`` (paths inside
    out) out, ``info`` in the commit's record. The first commit creates the table; one with
    ``replace_all`` replaces it whole (schema included). Returns the new version."""
    from deltalake import DeltaTable, Schema
    from deltalake.transaction import AddAction, CommitProperties, RemoveAction, create_table_with_add_actions

    root = table_root(out)
    now = int(time.time() * 1000)
    adds = [AddAction(r["part"][len(TABLE) + 1:], int(r["bytes"]), {}, now, True, _stats(r)) for r in added]
    properties = CommitProperties(custom_metadata={"lumoreq": json.dumps(info, ensure_ascii=False, sort_keys=True)})
    if not table_exists(out) or replace_all:
        schema = _schema(out, added) or fallback_schema
        described = {k: info[k] for k in ("layout", "source", "kind", "rate", "processing") if k in info}
        create_table_with_add_actions(
            str(root), Schema.from_arrow(schema), adds, mode="overwrite" if table_exists(out) else "error",
            name="lumoreq dataset", description=json.dumps(described, ensure_ascii=False, sort_keys=True),
            commit_properties=properties)
    else:
        table = DeltaTable(str(root))
        removes = [RemoveAction(p[len(TABLE) + 1:], True, now) for p in removed]
        table.create_write_transaction(adds + removes, mode="append", schema=table.schema(),
                                       commit_properties=properties)
        table.update_incremental()  # only the new log entry is read
        return table.version()
    return DeltaTable(str(root)).version()


def history(out, limit: int | None = None) -> list[dict[str, Any]]:
    """The dataset's commits, newest first: version, time and what lumoreq recorded of each
    (operation, span, processing, tasks computed, kept and removed, ...)."""
    table = open_table(out)
    if table is None:
        raise FileNotFoundError(f"no dataset in {out}")
    rows = []
    for entry in table.history(limit):
        info = entry.get("lumoreq")
        try:
            info = json.loads(info) if isinstance(info, str) else {}
        except ValueError:
            info = {}
        rows.append({"version": entry.get("version"), "timestamp": entry.get("timestamp"), **info})
    return rows


def maintain(out, keep_hours: float = 168.0) -> dict[str, Any]:
    """Delete the files that no version younger than ``keep_hours`` reads (and their summaries),
    checkpoint the log and drop the log files the checkpoint makes unnecessary. Versions older
    than ``keep_hours`` may no longer be readable afterwards."""
    out = Path(out)
    if not table_exists(out):
        raise FileNotFoundError(f"no dataset in {out}")
    with _OutLock(out):
        before = _sizes(out)
        table = open_table(out)
        # the log keeps entries as long as the files: versions younger than keep_hours stay readable
        hours = max(0, int(keep_hours))
        if table.metadata().configuration.get("delta.logRetentionDuration") != f"interval {hours} hours":
            table.alter.set_table_properties({"delta.logRetentionDuration": f"interval {hours} hours"})
        removed = table.vacuum(retention_hours=hours, dry_run=False, enforce_retention_duration=False)
        table.create_checkpoint()
        table.cleanup_metadata()
        # the view's summaries of parts that are gone
        for summary in table_root(out).rglob("*.m4"):
            if not summary.with_suffix(".ruzi").exists():
                with contextlib.suppress(OSError):
                    summary.unlink()
        return {"removed": len(removed), "before": before, "after": _sizes(out), "version": table.version()}


def _sizes(out: Path) -> dict[str, int]:
    data = log = files = 0
    for folder, _, names in os.walk(table_root(out)):
        in_log = "_delta_log" in Path(folder).parts
        for name in names:
            size = os.path.getsize(os.path.join(folder, name))
            if in_log:
                log += size
            elif name.endswith(".ruzi"):
                data += size
                files += 1
    return {"data_files": files, "data_bytes": data, "log_bytes": log}


def describe(out) -> dict[str, Any]:
    """What the dataset in ``out`` holds: its version, files, rows, provenance and the state of
    its last run."""
    out = Path(out)
    table = open_table(out)
    if table is None:
        raise FileNotFoundError(f"no dataset in {out}")
    import pyarrow as pa

    actions = pa.table(table.get_add_actions(flatten=True))
    try:
        provenance = json.loads(table.metadata().description or "{}")
    except ValueError:
        provenance = {}
    run = _read_run(out) or {}
    last = history(out, 1)
    return {"version": table.version(), "files": actions.num_rows,
            "rows": int(pa.compute.sum(actions.column("num_records")).as_py() or 0),
            "provenance": provenance, "last_commit": last[0] if last else None,
            "span": run.get("span"), "run_finished": run.get("finished"), **_sizes(out)}


# ---------------------------------------------------------------------------------------------
# Reading a dataset
# ---------------------------------------------------------------------------------------------


def _listed(value) -> list:
    return list(value) if isinstance(value, (list, tuple, set, frozenset)) else [value]


def _legacy_parts(out: Path) -> list[Path]:
    """The parts of a dataset of the first layout (Hive folders listed by run.json alone)."""
    data = Path(out) / TABLE
    if not data.exists():
        return []
    return sorted(p for p in data.glob("ITEMID=*/STATIONID=*/POINTID=*/*.ruzi") if not p.name.startswith("."))


def parts(out, station=None, item=None, point=None, version: int | None = None) -> list[Path]:
    """The part files of the dataset in ``out`` (the table's files at ``version``, the current
    one by default), in the order of their series and days, optionally only those of some
    stations, items and points (one value or a list each)."""
    out = Path(out)
    if table_exists(out):
        _, files = _table_parts(out, version)
        paths = [out / p for p in files.values()]
    else:
        paths = _legacy_parts(out)
    wanted = {name: None if value is None else {str(v) for v in _listed(value)}
              for name, value in (("ITEMID", item), ("STATIONID", station), ("POINTID", point))}
    chosen = []
    for path in paths:
        keys = dict(folder.name.split("=", 1) for folder in (path.parent.parent.parent, path.parent.parent,
                                                              path.parent) if "=" in folder.name)
        if all(w is None or keys.get(name) in w for name, w in wanted.items()):
            chosen.append(path)
    return sorted(chosen, key=lambda p: (p.parent.parent.parent.name, p.parent.parent.name, p.parent.name, p.name))


def _listed_part(reader, path, version):
    """``reader(path)`` of a file the table lists: a missing one is named as a part of the version."""
    try:
        return reader(path)
    except FileNotFoundError as error:
        at = "" if version is None else f" (version {version})"
        raise FileNotFoundError(f"a part of the dataset{at} is missing: {path}") from error


def _within_days(frame: pd.DataFrame, start, end) -> pd.DataFrame:
    """The rows of ``frame`` from the day ``start`` to the day ``end`` (both whole, either open)."""
    if start is not None or end is not None:
        keep = np.ones(len(frame), dtype=bool)
        if start is not None:
            keep &= frame.index >= _day(start)
        if end is not None:
            keep &= frame.index < _day(end) + pd.Timedelta(days=1)
        frame = frame[keep]
    return frame


def _part_frame(path, start=None, end=None, version=None) -> pd.DataFrame:
    from ..export import read_ruzi

    frame, _ = _listed_part(read_ruzi, path, version)
    return _within_days(frame, start, end)


def _joined_frame(paths: list[Path], start, end, version) -> pd.DataFrame | None:
    """The parts' frames as one: each part read and verified, then one conversion of all of them
    (the parts of a dataset share their layout); None when they do not."""
    import pyarrow as pa

    from ..export import _decode, _read_ruzi_table

    tables, context = [], None
    for path in paths:
        table, own = _listed_part(_read_ruzi_table, path, version)
        if tables and table.schema.remove_metadata() != tables[0].schema.remove_metadata():
            return None
        if context is None:
            context = own
        tables.append(table.replace_schema_metadata(None) if tables else table)
    first = tables[0]
    joined = pa.concat_tables([first.replace_schema_metadata(None), *tables[1:]])
    frame, _ = _decode(joined.replace_schema_metadata(first.schema.metadata), context)
    if not isinstance(frame.index, pd.DatetimeIndex):
        return None
    return _within_days(frame, start, end)


def _in_range(path: Path, start, end) -> bool:
    first, last = path.name[:10], path.name[11:21]
    if start is not None and last < f"{_day(start):%Y-%m-%d}":
        return False
    return not (end is not None and first > f"{_day(end):%Y-%m-%d}")


def _empty_frame(out: Path, version: int | None) -> pd.DataFrame:
    """A table of no rows with the dataset's columns and types."""
    every = parts(out, version=version)
    if every:
        return _part_frame(every[0]).iloc[0:0]
    table = open_table(out, version)
    if table is not None:
        import pyarrow as pa

        schema = pa.schema(table.schema())
        frame = schema.empty_table().to_pandas()
        if "STARTDATE" in frame.columns:
            frame = frame.set_index("STARTDATE")
            frame.index = frame.index.as_unit("us") if hasattr(frame.index, "as_unit") else frame.index
        return frame
    return pd.DataFrame({"OBSVALUE": np.empty(0, np.float32),
                         **{k: pd.array([], dtype="str") for k in ("STATIONID", "POINTID", "ITEMID")}},
                        index=pd.DatetimeIndex(np.empty(0, "M8[us]"), name="STARTDATE"))


def _warn_unfinished(out: Path, version: int | None) -> None:
    run = _read_run(out)
    if not run or run.get("finished") is not None or "todo" not in run:
        return
    missing = max(0, int(run.get("todo", 0)) - len(run.get("written", {})))
    which = "the current version" if version is None else f"version {version}"
    warnings.warn(f"the last run into {out} has not finished (it is running, or it was interrupted: run it again "
                  f"to complete it); {missing} of its {run.get('todo')} tasks were not recorded as done and nothing "
                  f"of it is committed: reading {which}, the last complete one", stacklevel=3)


def read(out, station=None, item=None, point=None, start=None, end=None, lazy: bool = False,
         version: int | None = None):
    """The time-series table of the dataset in ``out`` (indexed by ``STARTDATE``, identifiers as
    text), optionally narrowed to stations, items, points (one value or a list) and whole days.
    ``version`` reads an earlier version of the table (the current one by default); ``lazy=True``
    returns a ``dask.dataframe`` with one partition per part."""
    out = Path(out)
    if not table_exists(out) and not _legacy_parts(out):
        raise FileNotFoundError(f"no dataset in {out} (a folder lumoreq run wrote holds {out / TABLE})")
    if version is None:
        _warn_unfinished(out, version)
    paths = [p for p in parts(out, station, item, point, version) if _in_range(p, start, end)]
    if lazy:
        import dask
        import dask.dataframe as dd

        meta = _part_frame(paths[0], version=version).iloc[0:0] if paths else _empty_frame(out, version)
        # the frames keep the table library's own text type, as read() gives them
        with dask.config.set({"dataframe.convert-string": False}):
            if not paths:
                return dd.from_pandas(meta, npartitions=1)
            return dd.from_map(_part_frame, paths, start=start, end=end, version=version, meta=meta,
                               enforce_metadata=False)
    if len(paths) > 1:
        joined = _joined_frame(paths, start, end, version)
        if joined is not None:
            return joined
    frames = [_part_frame(p, start, end, version) for p in paths]
    if not frames:
        return _empty_frame(out, version)
    frames = [f for f in frames if len(f)] or frames[:1]
    return pd.concat(frames) if len(frames) > 1 else frames[0]
