"""Network-scale jobs: the same per-series work a script does, over a whole network, on Dask.

    plan(source, start, end, ...)  -> Plan: one task per (STATIONID, POINTID, ITEMID) series and
                                      period chunk, found from the dictionary tables
    run(plan, out, ...)            -> fetch -> filter -> resample each series and chunk, one dataset
                                      part per task, then the figures; returns a RunSummary
    read(out, ...)                 -> the time-series table of a dataset (lazy=True: dask.dataframe)

Dataset layout::

    out/data/ITEMID=<id>/STATIONID=<id>/POINTID=<id>/<first day>_<last day>.ruzi
    out/figures/        the figures (when asked for)
    out/run.json        the plan, the options and one record per task
    out/.lock           held by the driver while it runs

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

import contextlib
import dataclasses
import datetime as _dt
import functools
import hashlib
import json
import math
import os
import shutil
import socket
import sys
import threading
import time
import uuid
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from ._files import sync_folder, write_bytes  # the package's crash-safe writer

__all__ = ["Plan", "Task", "RunSummary", "JobError", "plan", "run", "read", "CHUNKS"]

ALL = "全部"
CHUNKS = ("day", "month", "year")
AGGREGATIONS = ("mean", "sum", "median", "max", "min")
SCHEMA = "ZODUZA"
_RUN_FILE = "run.json"
_LOCK_FILE = ".lock"
_STAGING_PREFIX = ".figures-"  # a figure task's own folder while it draws
_FORMAT = "lumoreq-jobs/1"
_BATCHES_PER_SLOT = 4  # graph tasks per worker thread, at least (see _batches)
_BATCH_LIMIT = 16  # data tasks per graph task, at most


class JobError(RuntimeError):
    """A job that cannot start: an empty selection, a locked or foreign output folder, a
    scheduler that does not answer."""


# ---------------------------------------------------------------------------------------------
# Sources: what every worker can open by itself
# ---------------------------------------------------------------------------------------------


def _source_kind(source: Any) -> str:
    text = os.fspath(source) if isinstance(source, os.PathLike) else str(source)
    if "://" in text:
        return "url"
    if isinstance(source, os.PathLike) or text.endswith((".duckdb", ".db")) or os.sep in text or Path(text).is_file():
        return "sample"
    return "section"


def _public_source(source: str) -> str:
    """The source as it may be shown or written: a URL without its password."""
    if _source_kind(source) != "url":
        return str(source)
    try:
        from sqlalchemy.engine import make_url

        return make_url(source).render_as_string(hide_password=True)
    except Exception:  # an unparsable URL: keep the scheme only
        return str(source).split("://", 1)[0] + "://***"


def _new_engine(source: str):
    """An SQLAlchemy engine for ``source`` with a small pool (None when the settings section's
    connector hands back something that has no engine)."""
    import sqlalchemy

    kind = _source_kind(source)
    # The database semaphore, not the pool, caps the connections in use: the pool keeps five
    # for reuse and opens more when db_concurrency allows more (max_overflow=-1: no limit, no
    # task waiting on the pool).
    if kind == "sample":
        # read-only: any number of workers and processes read the file at once
        return sqlalchemy.create_engine(f"duckdb:///{source}", connect_args={"read_only": True}, max_overflow=-1)
    if kind == "url":
        # pre_ping: a pooled connection the server dropped (restart, terminated backend) is
        # replaced before a task gets it
        return sqlalchemy.create_engine(source, pool_pre_ping=True, max_overflow=-1)
    from . import fetching

    conn = fetching.conn_to_Oracle(source)
    if conn is None:
        raise ConnectionError(f"cannot connect to the database of settings section {source!r}")
    engine = getattr(conn, "engine", None)
    conn.close()
    return engine


# Each worker process keeps one engine per source for the length of a run: a task still gets a
# connection of its own (checked out of the pool for the task's duration, never shared), without
# paying for opening the database each time. run() disposes of them at its end.
_ENGINES: dict[tuple, Any] = {}
_ENGINES_LOCK = threading.Lock()


def _engine_key(source: str) -> tuple:
    if _source_kind(source) != "sample":
        return (source,)
    try:
        st = os.stat(source)
    except FileNotFoundError:
        raise ConnectionError(f"sample network not found: {source}") from None
    # a network rebuilt at the same path is a new file: its engine is a new one
    return (source, st.st_ino, st.st_mtime_ns, st.st_size)


def _open(source: str):
    """A connection to ``source`` of its own (no pool); the caller closes it."""
    kind = _source_kind(source)
    if kind == "sample":
        from . import sample

        path = Path(source)
        if not path.is_file():
            raise ConnectionError(f"sample network not found: {path}")
        return sample.connect(path, read_only=True)
    if kind == "url":
        import sqlalchemy

        return sqlalchemy.create_engine(source, poolclass=sqlalchemy.pool.NullPool).connect()
    from . import fetching

    conn = fetching.conn_to_Oracle(source)
    if conn is None:
        raise ConnectionError(f"cannot connect to the database of settings section {source!r}")
    return conn


def _connect(source: str):
    """A connection to ``source`` for one task; the caller closes it (back to the pool)."""
    key = _engine_key(source)
    with _ENGINES_LOCK:
        engine = _ENGINES.get(key)
        if engine is None:
            for old in [k for k in _ENGINES if k[0] == source]:
                _ENGINES.pop(old).dispose()
            engine = _new_engine(source)
            if engine is None:
                return _open(source)
            _ENGINES[key] = engine
    return engine.connect()


def _dispose_engines() -> None:
    """Close every pooled connection of this process (the files and sessions are released)."""
    with _ENGINES_LOCK:
        engines = list(_ENGINES.values())
        _ENGINES.clear()
    for engine in engines:
        with contextlib.suppress(Exception):
            engine.dispose()


@contextlib.contextmanager
def _connection(source: str, pooled: bool = True):
    conn = _connect(source) if pooled else _open(source)
    try:
        yield conn
    finally:
        with contextlib.suppress(Exception):
            conn.close()


# ---------------------------------------------------------------------------------------------
# The plan
# ---------------------------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True, order=True)
class Task:
    """One series over one period chunk (``first`` and ``last`` are whole days, inclusive)."""

    item: str
    station: str
    point: str
    first: str
    last: str

    @property
    def key(self) -> str:
        return f"{self.item}/{self.station}/{self.point}/{self.first}_{self.last}"

    @property
    def series(self) -> tuple[str, str, str]:
        return (self.station, self.point, self.item)

    @property
    def part(self) -> str:
        """The part's path inside the dataset folder (with "/")."""
        return f"data/ITEMID={self.item}/STATIONID={self.station}/POINTID={self.point}/{self.first}_{self.last}.ruzi"

    def part_path(self, out: Path) -> Path:
        return Path(out, *self.part.split("/"))


def _day(value: Any) -> pd.Timestamp:
    try:
        stamp = pd.Timestamp(str(value) if isinstance(value, int) else value)
    except (ValueError, TypeError) as error:
        raise ValueError(f"not a date: {value!r}") from error
    if stamp is pd.NaT:
        raise ValueError(f"not a date: {value!r}")
    return stamp.normalize()


def _chunk_starts(start: pd.Timestamp, end_exclusive: pd.Timestamp, chunk: str) -> list[pd.Timestamp]:
    """Chunk boundaries: the period start, every calendar day/month/year start inside, the end."""
    freq = {"day": "D", "month": "MS", "year": "YS"}[chunk]
    inner = [t for t in pd.date_range(start, end_exclusive, freq=freq) if start < t < end_exclusive]
    return [start, *inner, end_exclusive]


def _parse_resample(resample: Any) -> tuple[str, str] | None:
    if resample is None:
        return None
    if isinstance(resample, str):
        rule, _, agg = resample.partition(":")
        resample = (rule, agg or "mean")
    rule, agg = resample
    if agg not in AGGREGATIONS:
        raise ValueError(f"unsupported aggregation {agg!r}: choose one of {', '.join(AGGREGATIONS)}")
    from . import refinery

    # the spelling the resampler takes ("H" -> "h"), as resample_timeseries_data translates it
    return str(refinery._current_rule(str(rule))), str(agg)


def _check_rule(rule: str, boundaries: list[pd.Timestamp]) -> None:
    """Refuse a resampling rule whose bins do not all start on the chunk edges."""
    try:
        offset = pd.tseries.frequencies.to_offset(rule)
    except ValueError as error:
        raise ValueError(f"not a resampling rule: {rule!r}") from error
    if isinstance(offset, pd.offsets.Tick) and pd.Timedelta(days=1) % pd.Timedelta(offset):
        # the resampler starts such bins at the midnight of a series' first sample: chunked, a
        # series that starts on another day than its chunk would get other bins
        raise ValueError(f"the resampling rule {rule!r} does not divide a day: its bins would depend on the day "
                         "each series starts")
    origin = boundaries[0]
    for edge in boundaries[1:-1]:
        # Three marks: the period start fixes the bin grid as a whole-series run has it; the two
        # around the edge must fall into different bins.
        marks = pd.Series([1.0, 10.0, 100.0], index=[origin, edge - pd.Timedelta(1, "ns"), edge])
        sums = marks.resample(rule).sum()
        if ((sums == 110.0) | (sums == 111.0)).any():
            raise ValueError(
                f"the resampling rule {rule!r} does not divide the chunks: a bin spans the chunk edge {edge:%Y-%m-%d}"
            )


def _gzip_methods(conn, table_names: list[str], methods: list[str]) -> list[str]:
    """The methods whose data tables keep their values gzip-packed, seen from one stored value
    per table, so that each task can tell its fetch (the fetcher recognises packed values by
    itself too, but warns on every fetch it was not told about)."""
    import re

    import sqlalchemy

    packed = set()
    for name in table_names:
        if not re.fullmatch(r"[A-Z0-9_$#]+", name):
            continue
        method = next((m for m in methods if m in name), None)
        if method is None or method in packed:
            continue
        try:
            row = conn.execute(sqlalchemy.text(
                f"SELECT OBSVALUE FROM {SCHEMA}.{name} WHERE OBSVALUE IS NOT NULL FETCH FIRST 1 ROWS ONLY"
            )).fetchone()
        except Exception:  # a database without FETCH FIRST: the fetcher will recognise them
            with contextlib.suppress(Exception):
                conn.rollback()
            continue
        value = None if row is None else row[0]
        if hasattr(value, "read"):  # a LOB locator
            value = value.read()
        if isinstance(value, memoryview):
            value = value.tobytes()
        if isinstance(value, (bytes, bytearray)) and bytes(value[:2]) == b"\x1f\x8b":
            packed.add(method)
    return sorted(packed)


def _method_tables(conn, method: str, kind_id: str, rate_id: str) -> list[str]:
    """The data tables of one method, as the fetcher finds them for that method."""
    from . import fetching

    tables = fetching.MetadataFetcher.get_table_names(conn, pd.DataFrame({"methodid": [method]}), kind_id, rate_id)
    return [] if tables is None else [str(n) for n in tables["table_name"]]


def _read_dictionary(conn, table: str, columns: str) -> pd.DataFrame:
    frame = pd.read_sql(f"SELECT {columns} FROM {SCHEMA}.{table}", con=conn)
    frame.columns = [str(c).upper() for c in frame.columns]
    return frame


class Plan:
    """The tasks of a job and the selection they came from. ``print(plan)`` shows the tasks as a
    table; :meth:`save` / :meth:`load` keep it as JSON; the same inputs give the same plan."""

    def __init__(self, source: str, selection: dict[str, Any], tasks: list[Task], methods: dict[str, str],
                 stations: list[dict[str, Any]], items: list[dict[str, Any]]):
        self.source = source
        self.selection = dict(selection)
        self.tasks = tuple(sorted(tasks))
        self.methods = dict(sorted(methods.items()))
        self.stations = list(stations)
        self.items = list(items)

    # selection shortcuts
    start = property(lambda self: self.selection["start"])
    end = property(lambda self: self.selection["end"])
    chunk = property(lambda self: self.selection["chunk"])
    rate = property(lambda self: self.selection["rate"])
    kind = property(lambda self: self.selection["kind"])
    rate_seconds = property(lambda self: int(self.selection["rate_seconds"]))

    @property
    def series(self) -> list[tuple[str, str, str]]:
        return sorted({t.series for t in self.tasks})

    def __len__(self) -> int:
        return len(self.tasks)

    def __iter__(self):
        return iter(self.tasks)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Plan) and self.to_dict() == other.to_dict()

    def to_dict(self, public: bool = True) -> dict[str, Any]:
        return {
            "format": _FORMAT,
            "source": _public_source(self.source) if public else self.source,
            "selection": self.selection,
            "methods": self.methods,
            "stations": self.stations,
            "items": self.items,
            "tasks": [[t.item, t.station, t.point, t.first, t.last] for t in self.tasks],
        }

    @classmethod
    def from_dict(cls, data: dict[str, Any], source: str | None = None) -> Plan:
        if data.get("format") != _FORMAT:
            raise ValueError("not a lumoreq job plan")
        tasks = [Task(*map(str, row)) for row in data["tasks"]]
        return cls(source if source is not None else data["source"], data["selection"], tasks, data["methods"],
                   data["stations"], data["items"])

    def to_json(self) -> str:
        return json.dumps(self.to_dict(), ensure_ascii=False, indent=1, sort_keys=True)

    def save(self, path) -> None:
        """Write the plan as JSON (a URL source without its password)."""
        _write_text(path, self.to_json() + "\n")

    @classmethod
    def load(cls, path, source: str | None = None) -> Plan:
        """A saved plan; ``source`` replaces the saved one (a URL's password is not saved)."""
        return cls.from_dict(json.loads(Path(path).read_text(encoding="utf-8")), source)

    def fingerprint(self) -> str:
        return hashlib.sha256(self.to_json().encode("utf-8")).hexdigest()

    def _names(self) -> tuple[dict[str, str], dict[str, str]]:
        stations = {str(r.get("STATIONID")): str(r.get("STATIONNAME", "")) for r in self.stations}
        items = {str(r.get("ITEMID")): str(r.get("ITEMNAME", "")) for r in self.items}
        return stations, items

    def table(self) -> pd.DataFrame:
        """The tasks as a table, one row per task."""
        stations, items = self._names()
        rows = [(t.station, stations.get(t.station, ""), t.point, t.item, items.get(t.item, ""), t.first, t.last)
                for t in self.tasks]
        return pd.DataFrame(rows, columns=["STATIONID", "STATIONNAME", "POINTID", "ITEMID", "ITEMNAME", "FIRST", "LAST"])

    def __str__(self) -> str:
        s = self.selection
        head = (
            f"plan: {len(self.tasks)} tasks, {len(self.series)} series, {s['start']} .. {s['end']} by {s['chunk']}, "
            f"{s['rate']} {s['kind']}, source {_public_source(self.source)}"
        )
        if not self.tasks:
            return head
        return head + "\n" + self.table().to_string(index=False)

    def __repr__(self) -> str:
        return f"<Plan {len(self.tasks)} tasks, {len(self.series)} series, {self.start}..{self.end} by {self.chunk}>"


def plan(source, start, end, method: str = ALL, station: str = ALL, item: Any = ALL, rate: str = "分钟值",
         kind: str = "预处理库", point: str | None = None, chunk: str = "month", resample: Any = None) -> Plan:
    """The tasks of a job: one per (STATIONID, POINTID, ITEMID) series and period chunk.

    ``source``: a settings section name, the path of a sample network, or an SQLAlchemy URL.
    ``start`` and ``end`` are whole days (``end`` included). ``resample`` (optional here) is
    checked against the chunks as :func:`run` would."""
    from . import fetching

    if chunk not in CHUNKS:
        raise ValueError(f"chunk must be one of {', '.join(CHUNKS)}, not {chunk!r}")
    source = os.fspath(source) if isinstance(source, os.PathLike) else str(source)
    if _source_kind(source) == "sample":
        # every worker opens it, whatever its working directory
        source = str(Path(source).resolve())
    first, last = _day(start), _day(end)
    if last < first:
        raise ValueError(f"the end date {last:%Y-%m-%d} lies before the start date {first:%Y-%m-%d}")
    config = fetching.SampleRateType.get_config(rate)
    if config is None:
        raise ValueError(f"unknown sample rate {rate!r}")
    kind_id = fetching.DatabaseType.get_id(kind)
    if kind_id is None:
        raise ValueError(f"unknown database kind {kind!r}")
    boundaries = _chunk_starts(first, last + pd.Timedelta(days=1), chunk)
    parsed = _parse_resample(resample)
    if parsed is not None:
        _check_rule(parsed[0], boundaries)

    with _connection(source, pooled=False) as conn:
        method_ids = fetching.MetadataFetcher.get_method_ids(conn, method)
        tables = fetching.MetadataFetcher.get_table_names(conn, method_ids, kind_id, config["id"])
        table_names = [] if tables is None else [str(n).upper() for n in tables["table_name"]]
        with_tables = sorted({str(m) for m in method_ids["methodid"] if any(str(m) in n for n in table_names)})
        # each method's own tables: a task reads its series from these, without look-ups
        method_tables = {m: _method_tables(conn, m, kind_id, config["id"]) for m in with_tables}
        gzip_methods = _gzip_methods(conn, table_names, with_tables)
        station_ids = None
        if station != ALL:
            station_ids = {str(s) for s in fetching.MetadataFetcher.get_station_ids(conn, station)["stationid"]}
        item_frame = fetching.MetadataFetcher.get_item_ids(conn, item)
        item_ids = None if item_frame is None else {str(i) for i in item_frame["itemid"]}
        series = _read_dictionary(conn, "QZ_DICT_STATIONITEMS", "STATIONID, POINTID, ITEMID")
        station_rows = _read_dictionary(conn, "QZ_DICT_STATIONS", "*")
        item_rows = _read_dictionary(conn, "QZ_DICT_ITEMS", "*")
        method_rows = _read_dictionary(conn, "QZ_DICT_METHODS", "METHODID, METHODNAME")

    keys = set()
    for st, pt, it in zip(series["STATIONID"], series["POINTID"], series["ITEMID"]):
        if pd.isna(st) or pd.isna(pt) or pd.isna(it):
            continue
        st, pt, it = str(st), str(pt), str(it)
        if it[:3] not in with_tables:
            continue
        if station_ids is not None and st not in station_ids:
            continue
        if item_ids is not None and it not in item_ids:
            continue
        if point not in (None, "") and pt != str(point):
            continue
        keys.add((st, pt, it))
    tasks = [
        Task(it, st, pt, f"{a:%Y-%m-%d}", f"{b - pd.Timedelta(days=1):%Y-%m-%d}")
        for st, pt, it in keys
        for a, b in zip(boundaries[:-1], boundaries[1:])
    ]
    used_stations = {k[0] for k in keys}
    used_items = {k[2] for k in keys}
    methods = {str(m): str(n) for m, n in zip(method_rows["METHODID"], method_rows["METHODNAME"])
               if str(m) in {i[:3] for i in used_items}}
    from .export import jsonable

    stations = jsonable(station_rows[station_rows["STATIONID"].astype(str).isin(used_stations)].to_dict("records"))
    items = jsonable(item_rows[item_rows["ITEMID"].astype(str).isin(used_items)].to_dict("records"))
    selection = {
        "start": f"{first:%Y-%m-%d}", "end": f"{last:%Y-%m-%d}", "method": method, "station": station,
        "item": item if isinstance(item, str) else list(item), "rate": rate, "rate_seconds": int(config["rate"]),
        "kind": kind, "point": point or "", "chunk": chunk, "gzip_methods": gzip_methods,
        "tables": method_tables,
    }
    return Plan(source, selection, tasks, methods, stations, items)


# ---------------------------------------------------------------------------------------------
# Data tasks
# ---------------------------------------------------------------------------------------------


def _finite_run(values: np.ndarray, length: int) -> bool:
    """True when ``values`` holds ``length`` consecutive finite values."""
    if length <= 0:
        return True
    if values.size < length:
        return False
    # the gaps between missing (or infinite) values, counting the ends as missing
    gaps = np.diff(np.flatnonzero(~np.isfinite(values)), prepend=-1, append=values.size)
    return bool((gaps > length).any())


@functools.lru_cache(maxsize=4096)
def _timestamp(text: str) -> pd.Timestamp:
    """A plan's day (its text), parsed once per process."""
    return pd.Timestamp(text)


_ONE_DAY = pd.Timedelta(days=1)


def _series_tables(conn, spec: dict[str, Any]) -> list[str]:
    sel = spec["selection"]
    method = spec["item"][:3]
    if "tables" in sel:
        return sel["tables"].get(method, [])
    from . import fetching  # a plan saved without its tables: find them as the plan would

    return _method_tables(conn, method, fetching.DatabaseType.get_id(sel["kind"]),
                          fetching.SampleRateType.get_config(sel["rate"])["id"])


@dataclasses.dataclass
class _Samples:
    """One series' samples as arrays (what a resampling task reads): their times and values."""

    times: np.ndarray
    values: np.ndarray

    def __len__(self) -> int:
        return len(self.times)


_NO_SAMPLES = _Samples(np.empty(0, dtype="M8[ns]"), np.empty(0, dtype=np.float32))


def _times_values(rows: pd.DataFrame | _Samples) -> tuple[np.ndarray, np.ndarray]:
    """The samples' times and values, whichever way they were read."""
    if isinstance(rows, _Samples):
        return rows.times, rows.values
    if not len(rows):
        return _NO_SAMPLES.times, _NO_SAMPLES.values
    return rows.index.to_numpy(), rows["OBSVALUE"].to_numpy()


def _instant(when: pd.Timestamp, times: np.ndarray) -> np.datetime64:
    """``when`` in the unit of ``times`` (chunk edges are midnights: exact in every unit)."""
    return np.datetime64(when.to_datetime64(), np.datetime_data(times.dtype)[0])


def _join(pieces: list) -> pd.DataFrame | _Samples:
    pieces = [p for p in pieces if len(p)]
    if not pieces:
        return pd.DataFrame()
    if len(pieces) == 1:
        return pieces[0]
    if all(isinstance(p, _Samples) for p in pieces):
        return _Samples(np.concatenate([p.times for p in pieces]), np.concatenate([p.values for p in pieces]))
    return pd.concat(pieces)


def _in_order(rows: pd.DataFrame | _Samples) -> bool:
    if isinstance(rows, _Samples):
        return bool((rows.times[1:] >= rows.times[:-1]).all())
    return rows.index.is_monotonic_increasing


def _fetch_series(conn, spec: dict[str, Any], first: pd.Timestamp, last: pd.Timestamp) -> pd.DataFrame | _Samples:
    """The series of ``spec`` from ``first`` to ``last`` (whole days, inclusive), one row per
    sample, as fetching_data gives it for that series. When the task resamples, only the samples'
    times and values are kept (the key columns are the task's own), as arrays."""
    from . import fetching

    sel = spec["selection"]
    df = fetching._fetch_series(
        conn, _series_tables(conn, spec), f"{first:%Y%m%d}", f"{last:%Y%m%d}", spec["station"], spec["item"],
        spec["point"], sel["rate"], gzip_flag=spec["item"][:3] in sel.get("gzip_methods", ()),
        values_only=bool(spec["resample"]), arrays=bool(spec["resample"]),
    )
    if isinstance(df, tuple):
        return _Samples(*df) if len(df[0]) else pd.DataFrame()
    return df if df is not None and len(df) else pd.DataFrame()


def _fetch_with_halo(conn, spec, a: pd.Timestamp, b: pd.Timestamp, queries: list
                     ) -> tuple[pd.DataFrame | _Samples, bool, bool]:
    """The series around the chunk [a, b): enough samples either side that filtering and
    resampling the chunk give what the whole series gives. Returns (rows, rows exist before a,
    rows exist from b on)."""
    sel = spec["selection"]
    period_first = _timestamp(sel["start"])
    period_end = _timestamp(sel["end"]) + _ONE_DAY
    window = int(spec["hampel"][0]) if spec["hampel"] else 0
    day_samples = max(1, 86400 // max(1, int(sel["rate_seconds"])))
    margin = max(1, math.ceil(window / day_samples) + 1) if window else 1

    def fetch(first, end):
        started = time.time()
        rows = _fetch_series(conn, spec, first, end - _ONE_DAY)
        queries.append((started, time.time()))
        return rows

    lead = trail = margin
    lo = max(period_first, a - pd.Timedelta(days=lead))
    hi = min(period_end, b + pd.Timedelta(days=trail))
    rows = fetch(lo, hi)
    while True:
        times, values = _times_values(rows)  # the rows are in time order
        n_before = int(np.searchsorted(times, _instant(a, times), side="left"))
        n_after = len(times) - int(np.searchsorted(times, _instant(b, times), side="left"))
        grow_lead = grow_trail = False
        inside = len(times) - n_before - n_after
        if inside == 0 and (not spec["resample"] or (lo <= period_first and n_before == 0)
                            or (hi >= period_end and n_after == 0)):
            # nothing in the chunk, and no bins to carry across it
            return rows, n_before > 0, n_after > 0
        if lo > period_first and n_before == 0:
            grow_lead = True  # is there anything earlier at all?
        if hi < period_end and n_after == 0:
            grow_trail = True
        if window and len(times):
            if lo > period_first and not _finite_run(values[:n_before], window):
                grow_lead = True
            if hi < period_end and n_after < window:
                grow_trail = True
            if lo <= period_first and hi < period_end and not _finite_run(values[: len(values) - n_after], window) \
                    and not _finite_run(values[len(values) - n_after:], window):
                # nothing complete before the chunk's end: its first positions take the first
                # complete window after it, wherever that lies
                grow_trail = True
        if not (grow_lead or grow_trail):
            return rows, n_before > 0, n_after > 0
        lead = lead * 2 if grow_lead else lead
        trail = trail * 2 if grow_trail else trail
        # only the new days are read; they join the rows already read
        new_lo = max(period_first, a - pd.Timedelta(days=lead))
        new_hi = min(period_end, b + pd.Timedelta(days=trail))
        pieces = [fetch(new_lo, lo)] if new_lo < lo else []
        pieces.append(rows)
        if new_hi > hi:
            pieces.append(fetch(hi, new_hi))
        rows = _join(pieces)
        if not _in_order(rows):
            # day rows whose samples reach past their day: the range is read in one piece
            rows = fetch(new_lo, new_hi)
        lo, hi = new_lo, new_hi


def _resample_chunk(starts: np.ndarray, values: np.ndarray, spec, a: pd.Timestamp, b: pd.Timestamp,
                    more_before: bool, more_after: bool) -> _Resampled:
    """Resample one chunk of one series (its sample times and values, in time order) so that its
    bins are those of the whole series.

    resample_timeseries_data resamples each series as ``values.resample(rule).<agg>()`` on its
    time index; a task holds one series, so it makes that one reduction itself, without grouping."""
    rule, agg = spec["resample"]
    n = len(starts)
    if not n:  # nothing was read at all around this chunk
        starts, values = _NO_SAMPLES.times, _NO_SAMPLES.values
    # Two empty marks pin the grid to the chunk's edges (an empty mark changes no aggregate, so
    # their place among rows of the same time does not matter); the bins outside the series'
    # own span are cut away again below. They also keep every part's means in the series' own
    # float32: the resampler gives float64 means only for an input without a single missing
    # value, and a dataset's parts must not differ in type.
    marks = np.array([a.to_datetime64(), (b - pd.Timedelta(1, "ns")).to_datetime64()]).astype(starts.dtype)
    nan = np.full(1, np.nan, dtype=values.dtype)
    stamps = np.concatenate([marks[:1], starts, marks[1:]])
    labels, reduced = _bin_arrays(stamps, np.concatenate([nan, values, nan]), rule, agg, a, b)
    keep = slice(None)
    if not n:
        keep = slice(None) if more_before and more_after else slice(0, 0)
    elif not (more_before and more_after):
        # the bins of the series' first and last rows, where it has nothing beyond the chunk
        ends = _bin_labels(starts[[0, n - 1]], rule, a, b)
        low = labels[0] if more_before else ends[0]
        high = labels[-1] if more_after else ends[-1]
        keep = (labels >= low) & (labels <= high)
    return _Resampled(labels[keep], reduced[keep], spec["station"], spec["point"], spec["item"])


@dataclasses.dataclass
class _Resampled:
    """One resampled part: its bins' labels and values, and the series it belongs to."""

    labels: np.ndarray
    values: np.ndarray
    station: str
    point: str
    item: str

    def __len__(self) -> int:
        return len(self.labels)

    def _keys(self) -> dict[str, str]:
        return {"STATIONID": self.station, "POINTID": self.point, "ITEMID": self.item}

    def frame(self) -> pd.DataFrame:
        """The table resample_timeseries_data gives for these bins."""
        count = len(self.labels)
        return pd.DataFrame({"OBSVALUE": self.values, **{k: pd.array([v] * count, dtype="str")
                                                          for k, v in self._keys().items()}},
                            index=pd.DatetimeIndex(self.labels, name="STARTDATE"))

    def ruzi(self, metadata: Any):
        """The RUZI table of frame(), built without the frame."""
        from . import export

        return export._series_ruzi("STARTDATE", self.labels, "OBSVALUE", self.values, self._keys(), metadata)


@functools.lru_cache(maxsize=1024)
def _fixed_width(rule: str, unit: str, a: pd.Timestamp) -> int | None:
    """The width of a fixed-width rule (hours, minutes, seconds) in ``unit``, when the grid of its
    bins starts at ``a`` (a midnight: the resampler's origin); None for any other rule."""
    offset = pd.tseries.frequencies.to_offset(rule)
    if not isinstance(offset, pd.offsets.Tick) or a != a.normalize():
        return None
    return int(pd.Timedelta(offset).as_unit(unit)._value)


def _bin_labels(times: np.ndarray, rule: str, a: pd.Timestamp, b: pd.Timestamp) -> np.ndarray:
    """The labels of the bins that hold ``times`` (a chunk's samples), as the resampler finds them."""
    unit = np.datetime_data(times.dtype)[0]
    width = _fixed_width(rule, unit, a)
    if width is None:
        return pd.Series(0, index=pd.DatetimeIndex(times)).resample(rule).size().index.to_numpy()[[0, -1]]
    origin = int(a.as_unit(unit)._value)
    ticks = times.view("i8")
    return (origin + (ticks - origin) // width * width).view(times.dtype)


def _bins(series: pd.Series, rule: str, agg: str, a: pd.Timestamp, b: pd.Timestamp,
          native: bool = True) -> tuple[np.ndarray, np.ndarray]:
    """The labels and values of ``getattr(series.resample(rule), agg)()`` for a series whose
    samples lie in [a, b) and which has a sample at a and one in the last bin (see _bin_arrays)."""
    return _bin_arrays(series.index.to_numpy(), series.to_numpy(), rule, agg, a, b, native)


def _bin_arrays(stamps: np.ndarray, values: np.ndarray, rule: str, agg: str, a: pd.Timestamp, b: pd.Timestamp,
                native: bool = True) -> tuple[np.ndarray, np.ndarray]:
    """_bins of the series with these times and values. A fixed-width rule (hours, minutes,
    seconds) with mean, sum, max or min is reduced natively without the GIL, bit for bit as the
    resampler reduces it (bins from a, the midnight the resampler takes as its origin); anything
    else ("D", "W", calendar rules, the median) is the resampler's."""
    from . import refinery

    unit = np.datetime_data(stamps.dtype)[0]
    width = _fixed_width(rule, unit, a)
    # (without a single NaN the resampler takes another way, numpy's reduceat in float64 for
    # means: a chunk always holds its two empty marks)
    if not (native and width is not None and agg in ("mean", "sum", "max", "min")
            and values.dtype in (np.float32, np.float64) and np.isnan(values).any()):
        series = pd.Series(values, index=pd.DatetimeIndex(stamps, name="STARTDATE"), name="OBSVALUE")
        result = getattr(series.resample(rule), agg)()
        return result.index.to_numpy(), result.to_numpy()
    origin = int(a.as_unit(unit)._value)
    end = int(b.as_unit(unit)._value)
    count = -((origin - end) // width)  # bins up to the one holding the last instant before b
    ticks = stamps.view(np.int64)
    if not (ticks[1:] >= ticks[:-1]).all():  # the resampler sorts first (stably): sums add in time order
        order = np.argsort(ticks, kind="stable")
        ticks, values = ticks[order], values[order]
    reduced = refinery._bin_reduce(ticks, values, origin, width, count, agg)
    labels = (origin + width * np.arange(count, dtype=np.int64)).view(f"M8[{unit}]")
    return labels, reduced


def _chunk_edges(spec: dict[str, Any]) -> tuple[pd.Timestamp, pd.Timestamp]:
    return _timestamp(spec["first"]), _timestamp(spec["last"]) + _ONE_DAY


def _fetch_chunk(spec: dict[str, Any], limit, queries: list) -> tuple[pd.DataFrame, bool, bool]:
    """The chunk and its halo, read on a connection of its own while holding the database
    semaphore (only while reading: the filter and the resampling run outside it)."""
    a, b = _chunk_edges(spec)
    with _limited(limit):
        with _connection(spec["source"]) as conn:
            return _fetch_with_halo(conn, spec, a, b, queries)


def _process(spec: dict[str, Any], fetched: tuple[pd.DataFrame, bool, bool]) -> tuple[pd.DataFrame, dict[str, Any]]:
    """Filter and resample one series over one chunk, from the rows read around it."""
    part, stats = _process_part(spec, fetched)
    return (part.frame() if isinstance(part, _Resampled) else part), stats


def _process_part(spec: dict[str, Any], fetched: tuple[pd.DataFrame, bool, bool]
                  ) -> tuple[pd.DataFrame | _Resampled, dict[str, Any]]:
    """_process, with a resampled part left as its arrays (see _Resampled)."""
    a, b = _chunk_edges(spec)
    rows, more_before, more_after = fetched
    stats = {"samples": 0, "nan": 0, "replaced": 0}
    if not len(rows):
        if spec["resample"]:
            return _resample_chunk(_NO_SAMPLES.times, _NO_SAMPLES.values, spec, a, b, more_before, more_after), stats
        return rows, stats
    # Only the values go through the filter (the same values as filtering the frame, without
    # copying its text columns); the chunk is cut out of the halo afterwards.
    times, raw = _times_values(rows)
    inside = (times >= _instant(a, times)) & (times < _instant(b, times))
    new = _filtered(raw, spec["hampel"]) if spec["hampel"] else raw
    raw, new = raw[inside], new[inside]
    stats["samples"] = int(inside.sum())
    stats["nan"] = int(np.isnan(new).sum())
    stats["replaced"] = int((~((raw == new) | (np.isnan(raw) & np.isnan(new)))).sum())
    if spec["resample"]:
        times = times[inside]
        del rows, raw
        return _resample_chunk(times, new, spec, a, b, more_before, more_after), stats
    chunk = rows[inside]
    chunk["OBSVALUE"] = new
    return chunk, stats


def _filtered(values: np.ndarray, hampel) -> np.ndarray:
    """filter_with_fast_mad of the series holding ``values``, as an array."""
    from . import refinery

    window, threshold = int(hampel[0]), float(hampel[1])
    filtered = refinery._filter_values(values, window, threshold)
    if filtered is None:
        filtered = refinery.filter_with_fast_mad(pd.Series(values, name="OBSVALUE"), window, threshold).to_numpy()
    return filtered


def _limited(limit):
    """The database semaphore as a context manager (threading, multiprocessing or distributed)."""
    return limit if limit is not None and hasattr(limit, "__enter__") else contextlib.nullcontext()


def data_task(spec: dict[str, Any], limit=None) -> dict[str, Any]:
    """One dataset part: fetch, filter and resample one series over one chunk, then write it.
    Retried ``spec['retries']`` times; a final failure is returned as the record's error."""
    from . import export

    task = Task(spec["item"], spec["station"], spec["point"], spec["first"], spec["last"])
    path = os.path.join(spec["out"], *task.part.split("/"))
    record: dict[str, Any] = {"task": task.key, "part": None, "rows": 0, "samples": 0, "nan": 0, "replaced": 0,
                              "bytes": 0, "seconds": 0.0, "query_start": None, "query_end": None, "attempts": 0,
                              "error": None, "worker": f"{socket.gethostname()}:{os.getpid()}"}
    began = time.perf_counter()
    for attempt in range(int(spec.get("retries", 0)) + 1):
        record["attempts"] = attempt + 1
        queries: list[tuple[float, float]] = []
        try:
            fetched = _fetch_chunk(spec, limit, queries)
            record["query_start"] = min(q[0] for q in queries) if queries else None
            record["query_end"] = max(q[1] for q in queries) if queries else None
            table, stats = _process_part(spec, fetched)
            del fetched
            record.update(stats)
            if len(table):
                context = {"station_info": spec["station_info"], "item_info": spec["item_info"],
                           "sampling_rate": spec["selection"]["rate"],
                           "export_time": _dt.datetime.now().isoformat()}
                os.makedirs(os.path.dirname(path), exist_ok=True)
                ruzi = table.ruzi(context) if isinstance(table, _Resampled) else export.to_ruzi(table, context)
                export.write_ruzi(ruzi, path)  # crash-safe, page checksums
                record["part"] = task.part
                record["bytes"] = os.stat(path).st_size
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


def data_batch(specs: list[dict[str, Any]] | _Batch, limit=None) -> list[dict[str, Any]]:
    """Several data tasks one after another (consecutive chunks, mostly of one series) as one task
    of the Dask graph: each is still its own connection, read, part and record."""
    if isinstance(specs, _Batch):
        specs = specs.specs
    with _prompt_switching():
        return [data_task(spec, limit) for spec in specs]


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

    from . import plotting  # noqa: F401 - sets up the library's logging first, so it is muted too

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

            from . import plotting

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
    from .cli import rainfall_by_station

    station = spec["select"]["station"]
    return rainfall_by_station(conn, spec["first"].replace("-", ""), spec["last"].replace("-", ""), kind=spec["kind"],
                               station=spec["station_name"], stations=[station], method="气象三要素",
                               item=["降雨量"]).get(station)


# ---------------------------------------------------------------------------------------------
# The output folder: lock, run record, option check
# ---------------------------------------------------------------------------------------------


class _OutLock:
    """An exclusive lock on ``out``: a second driver on the same folder is refused. The operating
    system drops it when the driver dies, so a killed run never leaves the folder locked."""

    def __init__(self, out: Path):
        self.path = out / _LOCK_FILE
        self.handle = None

    def __enter__(self):
        self.handle = open(self.path, "a+")
        try:
            if os.name == "nt":  # pragma: no cover
                import msvcrt

                msvcrt.locking(self.handle.fileno(), msvcrt.LK_NBLCK, 1)
            else:
                import fcntl

                fcntl.flock(self.handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            self.handle.close()
            self.handle = None
            raise JobError(f"another run is using {self.path.parent} (locked by {self.path})") from error
        self.handle.seek(0)
        self.handle.truncate()
        self.handle.write(f"{socket.gethostname()} {os.getpid()}\n")
        self.handle.flush()
        return self

    def __exit__(self, *exc):
        if self.handle is not None:
            self.handle.close()  # closing releases the lock
            self.handle = None
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


def _write_json(path: Path, data: dict[str, Any]) -> None:
    from .export import jsonable

    _write_text(path, json.dumps(jsonable(data), ensure_ascii=False, indent=1))


def _write_text(path, text: str) -> None:
    """A whole text file through the crash-safe writer."""
    write_bytes(path, text.encode("utf-8"))


def _prepare_out(out: Path, options: dict[str, Any], overwrite: bool) -> dict[str, Any]:
    """Check ``out`` against this job; returns the records of an earlier run of the same job."""
    run_file = out / _RUN_FILE
    previous: dict[str, Any] | None = None
    if run_file.exists():
        try:
            previous = json.loads(run_file.read_text(encoding="utf-8"))
        except ValueError:
            previous = {}
    foreign = (previous is None and (out / "data").exists() and any((out / "data").iterdir())) or (
        previous is not None and previous.get("options") != options
    )
    if foreign and not overwrite:
        if previous is None or not previous:
            why = "it holds a dataset without a readable run.json"
        elif previous.get("options", {}).get("plan") != options["plan"]:
            why = "it holds the dataset of another plan"
        else:
            changed = sorted(k for k in options if previous.get("options", {}).get(k) != options[k])
            why = "it was made with other options (" + ", ".join(changed) + ")"
        raise JobError(f"refusing to write into {out}: {why}; pass overwrite=True (--overwrite) to replace it")
    # Figure tasks of a run that was killed leave their staging folders.
    for stale in out.glob(f"{_STAGING_PREFIX}*"):
        shutil.rmtree(stale, ignore_errors=True)
    if foreign or overwrite:
        for name in ("data", "figures"):
            if (out / name).exists():
                shutil.rmtree(out / name)
        with contextlib.suppress(FileNotFoundError):
            run_file.unlink()
        return {}
    # Temporary files of a run that was killed: no writer is active while we hold the lock.
    if (out / "data").exists():
        for tmp in (out / "data").rglob(".*"):
            with contextlib.suppress(OSError):
                tmp.unlink()
    return dict((previous or {}).get("tasks", {}))


# ---------------------------------------------------------------------------------------------
# Running
# ---------------------------------------------------------------------------------------------


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
    seconds: float = 0.0

    @property
    def ok(self) -> bool:
        return not self.failed and not self.figure_failures

    def __str__(self) -> str:
        rate = self.samples / self.seconds if self.seconds > 0 else 0.0
        lines = [
            f"{self.tasks} tasks: {self.done} written, {self.empty} without data, {self.skipped} already complete, "
            f"{len(self.failed)} failed; {self.samples} samples in {self.seconds:.1f} s ({rate:,.0f} samples/s); "
            f"{self.figures} figures; dataset {self.out}"
        ]
        for record in self.failed:
            lines.append(f"failed: {record['task']}: {record['error']}")
        for record in self.figure_failures:
            lines.append(f"figure failed: {record['figure']}: {record['error']}")
        return "\n".join(lines)


class _Progress:
    """One status line: tasks done of all, samples per second."""

    def __init__(self, total: int, enabled: bool, stream=None):
        self.total, self.enabled = total, enabled
        self.stream = stream or sys.stderr
        self.done = self.samples = 0
        self.began = time.perf_counter()
        self.lock = threading.Lock()

    def add(self, samples: int) -> None:
        with self.lock:
            self.done += 1
            self.samples += samples
            if self.enabled:
                seconds = max(1e-9, time.perf_counter() - self.began)
                width = 30
                filled = int(width * self.done / max(1, self.total))
                self.stream.write(
                    f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} tasks "
                    f"{self.samples / seconds:,.0f} samples/s"
                )
                if self.done == self.total:
                    self.stream.write("\n")
                self.stream.flush()


def _client_for(scheduler):
    """A distributed client for a Client or an address; None for the local schedulers."""
    if scheduler is None or scheduler in ("threads", "threaded", "sync", "synchronous", "processes"):
        return None, False
    from distributed import Client

    if isinstance(scheduler, Client):
        return scheduler, False
    if isinstance(scheduler, str):
        try:
            return Client(scheduler, timeout="5s", set_as_default=False), True
        except (OSError, TimeoutError) as error:
            raise JobError(f"the Dask scheduler at {scheduler} does not answer: {error}") from error
    raise ValueError(f"unknown scheduler {scheduler!r}: None, 'processes', a distributed Client or an address")


def run(plan: Plan, out, hampel=None, resample=None, figures=None, catalogue=None, stats: bool = False,
        rainfall: bool = False, scheduler=None, workers: int | None = None, db_concurrency: int = 4,
        retries: int = 2, progress: bool = True, overwrite: bool = False) -> RunSummary:
    """Run ``plan`` into the dataset folder ``out``; see the module documentation."""
    if not isinstance(plan, Plan):
        raise TypeError("run expects a Plan (from lumoreq.jobs.plan or Plan.load)")
    if not plan.tasks:
        raise JobError("the selection holds no series: nothing to do")
    if hampel is not None:
        window, threshold = hampel
        if int(window) < 1:
            raise ValueError("the Hampel window must hold at least one sample")
        hampel = (int(window), float(threshold))
    resample = _parse_resample(resample)
    boundaries = sorted({_timestamp(t.first) for t in plan.tasks} | {pd.Timestamp(plan.start)})
    boundaries.append(pd.Timestamp(plan.end) + pd.Timedelta(days=1))
    if resample is not None:
        _check_rule(resample[0], boundaries)
    if figures not in (None, "station", "item"):
        raise ValueError("figures must be None, 'station' or 'item'")
    if db_concurrency is None or int(db_concurrency) < 1:
        raise ValueError("db_concurrency must be at least 1")
    out = Path(out).resolve()
    if catalogue is not None:
        catalogue = str(Path(catalogue).resolve())  # figure tasks draw from inside out/
    out.mkdir(parents=True, exist_ok=True)
    options = _options_record(plan, hampel, resample, figures, catalogue, stats, rainfall)
    client, own_client = _client_for(scheduler)
    began = time.perf_counter()
    try:
        with _OutLock(out):
            previous = _prepare_out(out, options, overwrite)
            station_info = {str(r["STATIONID"]): r for r in plan.stations}
            item_info = {str(r["ITEMID"]): r for r in plan.items}
            records: dict[str, Any] = {}
            pending: list[dict[str, Any]] = []
            summary = RunSummary(out=str(out), tasks=len(plan.tasks))
            for task in plan.tasks:
                old = previous.get(task.key)
                there = os.path.exists(os.path.join(out, *task.part.split("/")))
                complete = old is not None and not old.get("error") and (
                    (old.get("part") and there) or (not old.get("part") and old.get("rows") == 0)
                )
                if not complete and old is None and there:
                    complete, old = True, {"task": task.key, "part": task.part, "rows": None, "note": "found complete"}
                if complete:
                    records[task.key] = old
                    summary.skipped += 1
                    continue
                pending.append({
                    "out": str(out), "source": plan.source, "selection": plan.selection,
                    "station": task.station, "point": task.point, "item": task.item,
                    "first": task.first, "last": task.last,
                    "station_info": [station_info[task.station]] if task.station in station_info else [],
                    "item_info": [item_info[task.item]] if task.item in item_info else [],
                    "hampel": hampel, "resample": resample, "retries": int(retries),
                })
            state = {"plan": plan.to_dict(), "options": options, "tasks": records, "figures": {},
                     "started": _dt.datetime.now().isoformat(), "finished": None}
            _write_json(out / _RUN_FILE, state)
            bar = _Progress(len(pending), progress and bool(pending))
            saver = _Saver(out / _RUN_FILE, state)

            def finished(record: dict[str, Any]) -> None:
                records[record["task"]] = record
                bar.add(int(record.get("samples") or 0))
                saver.touch()

            figure_specs = _figure_specs(plan, out, figures, catalogue, stats, rainfall) if figures else []
            if client is not None:
                _run_distributed(client, pending, figure_specs, int(db_concurrency), finished, state, saver)
            else:
                _run_local(scheduler, workers, pending, figure_specs, int(db_concurrency), finished, state, saver)
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
    pending_keys = {_spec_key(p) for p in pending}
    for task in plan.tasks:
        record = records.get(task.key) or {}
        if record.get("error"):
            summary.failed.append(record)
        elif task.key in pending_keys:
            if record.get("part"):
                summary.done += 1
            else:
                summary.empty += 1
        if task.key in pending_keys and record.get("samples"):
            summary.samples += int(record["samples"])
    for record in state["figures"].values():
        if record.get("error"):
            summary.figure_failures.append(record)
        summary.figures += len(record.get("files", []))
    summary.seconds = time.perf_counter() - began
    if progress:
        print(str(summary), file=sys.stderr)
    return summary


def _spec_key(spec: dict[str, Any]) -> str:
    return f"{spec['item']}/{spec['station']}/{spec['point']}/{spec['first']}_{spec['last']}"


class _Saver:
    """Writes run.json every few seconds while tasks finish (a killed driver loses no part: the rerun
    finds the parts on disk), and at the end."""

    def __init__(self, path: Path, state: dict[str, Any], every: float = 5.0):
        self.path, self.state, self.every = path, state, every
        self.last = 0.0
        self.lock = threading.Lock()

    def touch(self) -> None:
        if time.monotonic() - self.last >= self.every:
            self.flush()

    def flush(self) -> None:
        with self.lock:
            _write_json(self.path, self.state)
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


def _run_local(scheduler, workers, pending, figure_specs, db_concurrency, finished, state, saver) -> None:
    """Dask's local schedulers: threads for the data tasks, a process pool for the figures."""
    import dask
    from dask.callbacks import Callback

    if scheduler == "processes":
        import multiprocessing

        manager = multiprocessing.Manager()
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

        class _Done(Callback):
            def _posttask(self, key, result, dsk, state_, worker_id):
                if isinstance(key, str) and key.startswith("data-"):
                    for record in result:
                        finished(record)

        if graph:
            with _Done():
                dask.compute(*graph, scheduler=data_scheduler, num_workers=workers)
        if figure_specs:
            saver.flush()
            figure_graph = [dask.delayed(figure_task, pure=False)(spec, dask_key_name=f"figure-{i}")
                            for i, spec in enumerate(figure_specs)]
            results = dask.compute(*figure_graph, scheduler="sync" if data_scheduler == "sync" else "processes",
                                   num_workers=workers)
            for record in results:
                state["figures"][record["figure"]] = record
    finally:
        if manager is not None:
            manager.shutdown()


def _run_distributed(client, pending, figure_specs, db_concurrency, finished, state, saver) -> None:
    """The same tasks on a dask.distributed cluster, the database capped by a cluster-wide semaphore."""
    from distributed import Semaphore, as_completed

    limit = Semaphore(max_leases=db_concurrency, name=f"lumoreq-db-{uuid.uuid4().hex}")
    try:
        slots = sum(client.nthreads().values()) or 1
        batches = _batches(pending, slots)
        futures = [client.submit(data_batch, _Batch(batch), limit, pure=False, key=f"lumoreq-data-{uuid.uuid4().hex}")
                   for batch in batches]
        batch_of = {future.key: batch for batch, future in zip(batches, futures)}
        by_key = {_spec_key(spec): future for batch, future in zip(batches, futures) for spec in batch}
        figure_futures = []
        for spec in figure_specs:
            needs = list({f.key: f for f in (by_key[k] for k in spec["keys"] if k in by_key)}.values())
            figure_futures.append(client.submit(figure_task, spec, *needs, limit=limit, pure=False,
                                                key=f"lumoreq-figure-{uuid.uuid4().hex}"))
        for future in as_completed(futures):
            try:
                records = future.result()
            except Exception as error:  # a task the cluster gave up on (its workers kept dying)
                records = [{"task": _spec_key(spec), "part": None, "rows": 0,
                            "error": f"{type(error).__name__}: {error}"} for spec in batch_of[future.key]]
            for record in records:
                finished(record)
        for future in figure_futures:
            try:
                record = future.result()
            except Exception as error:
                record = {"figure": "?", "files": [], "error": f"{type(error).__name__}: {error}"}
            state["figures"][record["figure"]] = record
    finally:
        with contextlib.suppress(Exception):
            limit.close()


# ---------------------------------------------------------------------------------------------
# Reading a dataset
# ---------------------------------------------------------------------------------------------


def _parts(out: Path, station=None, item=None, point=None) -> list[Path]:
    data = Path(out) / "data"
    if not data.exists():
        return []

    def level(base: list[Path], name: str, wanted) -> list[Path]:
        chosen = []
        for folder in base:
            for child in sorted(folder.iterdir()):
                if not child.is_dir() or not child.name.startswith(name + "="):
                    continue
                if wanted is not None and child.name[len(name) + 1:] not in {str(w) for w in _listed(wanted)}:
                    continue
                chosen.append(child)
        return chosen

    folders = level(level(level([data], "ITEMID", item), "STATIONID", station), "POINTID", point)
    return [p for f in folders for p in sorted(f.glob("*.ruzi")) if not p.name.startswith(".")]


def _listed(value) -> list:
    return list(value) if isinstance(value, (list, tuple, set, frozenset)) else [value]


def _part_frame(path, start=None, end=None) -> pd.DataFrame:
    from .export import read_ruzi

    frame, _ = read_ruzi(path)
    if start is not None or end is not None:
        index = frame.index
        keep = np.ones(len(frame), dtype=bool)
        if start is not None:
            keep &= index >= _day(start)
        if end is not None:
            keep &= index < _day(end) + pd.Timedelta(days=1)
        frame = frame[keep]
    return frame


def _in_range(path: Path, start, end) -> bool:
    first, _, last = path.stem.partition("_")
    if start is not None and last < f"{_day(start):%Y-%m-%d}":
        return False
    return not (end is not None and first > f"{_day(end):%Y-%m-%d}")


def read(out, station=None, item=None, point=None, start=None, end=None, lazy: bool = False):
    """The time-series table of the dataset in ``out`` (indexed by ``STARTDATE``, identifiers as
    text), optionally narrowed to stations, items, points (one value or a list) and whole days.
    ``lazy=True`` returns a ``dask.dataframe`` with one partition per part."""
    paths = [p for p in _parts(Path(out), station, item, point) if _in_range(p, start, end)]
    if lazy:
        import dask.dataframe as dd

        if not paths:
            raise FileNotFoundError(f"no dataset parts in {Path(out) / 'data'} for this selection")
        meta = _part_frame(paths[0]).iloc[0:0]
        return dd.from_map(_part_frame, paths, start=start, end=end, meta=meta, enforce_metadata=False)
    frames = [_part_frame(p, start, end) for p in paths]
    frames = [f for f in frames if len(f)] or frames[:1]
    if not frames:
        return pd.DataFrame(columns=["OBSVALUE", "STATIONID", "POINTID", "ITEMID"],
                            index=pd.DatetimeIndex([], name="STARTDATE"))
    return pd.concat(frames) if len(frames) > 1 else frames[0]
