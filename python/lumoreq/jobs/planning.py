"""The plan of a job: one task per (STATIONID, POINTID, ITEMID) series and period chunk, found from
the dictionary tables; the parsing of its days, chunks and resampling rule."""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import hashlib
import json
import os
from pathlib import Path
from typing import Any

import pandas as pd

from .._files import write_bytes  # the package's crash-safe writer
from ..sources import (
    METHOD_CATEGORIES,
    SCHEMA,
    _connection,
    _names_hint,
    _public_source,
    _read_dictionary,
    _source_kind,
)

ALL = "全部"
CHUNKS = ("day", "month", "year")
AGGREGATIONS = ("mean", "sum", "median", "max", "min")
_FORMAT = "lumoreq-jobs/1"


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


@functools.lru_cache(maxsize=4096)
def _timestamp(text: str) -> pd.Timestamp:
    """A plan's day (its text), parsed once per process."""
    return pd.Timestamp(text)


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
    from .. import refinery

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
    if isinstance(offset, pd.offsets.Tick) and all(edge == edge.normalize() for edge in boundaries):
        return  # bins that divide a day, from a midnight: every midnight is a bin edge
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
    from .. import fetching

    tables = fetching.MetadataFetcher.get_table_names(conn, pd.DataFrame({"methodid": [method]}), kind_id, rate_id)
    return [] if tables is None else [str(n) for n in tables["table_name"]]


def _write_text(path, text: str) -> None:
    """A whole text file through the crash-safe writer."""
    write_bytes(path, text.encode("utf-8"))


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


def _why_no_series(method, station, item, point, rate, kind, method_ids, station_ids, item_ids, method_rows,
                   station_rows, item_rows) -> str:
    """The name that matches nothing, with a "did you mean" as `lumoreq fetch` gives it; else what
    was asked for."""
    if method != ALL and len(method_ids) == 0:
        also = f"categories: {', '.join(METHOD_CATEGORIES)}; "
        return f"no method matches '{method}'" + _names_hint(
            "method names", method, list(method_rows["METHODNAME"]), "methods", also)
    if station_ids is not None and not station_ids:
        return f"no station matches '{station}'" + _names_hint(
            "stations", station, list(station_rows.get("STATIONNAME", [])), "stations")
    item_names = [str(n) for n in item_rows.get("ITEMNAME", [])]
    missing = [] if item == ALL else [item] if isinstance(item, str) else [i for i in item if i not in item_names]
    if missing and (not isinstance(item, str) or item_ids is not None and not item_ids):
        return f"no item matches '{missing[0]}'" + _names_hint("items", str(missing[0]), item_names, "items")
    asked = [f"{what} '{name}'" for what, name in (("method", method), ("station", station), ("point", point))
             if name not in (None, "", ALL)]
    if item != ALL:
        asked.append(f"item '{item}'" if isinstance(item, str) else f"items {', '.join(map(str, item))}")
    return f"{' and '.join(asked) or 'the source'}: no series in the {kind} {rate} tables"


def plan(source, start, end, method: str = ALL, station: str = ALL, item: Any = ALL, rate: str = "分钟值",
         kind: str = "预处理库", point: str | None = None, chunk: str = "month", resample: Any = None) -> Plan:
    """The tasks of a job: one per (STATIONID, POINTID, ITEMID) series and period chunk.

    ``source``: a settings section name, the path of a sample network, or an SQLAlchemy URL.
    ``start`` and ``end`` are whole days (``end`` included). ``resample`` (optional here) is
    checked against the chunks as :func:`run` would. A selection that holds no series raises
    :class:`JobError`, naming the method, station or item that matches nothing."""
    from .. import fetching

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
    # a list names items exactly: each must be one, even when the others hold series
    item_names = set(map(str, item_rows.get("ITEMNAME", [])))
    unknown = not isinstance(item, str) and not set(map(str, item)) <= item_names
    if not keys or unknown:
        from .dataset import JobError  # (the dataset module imports this one)

        why = _why_no_series(method, station, item, point, rate, kind, method_ids, station_ids, item_ids,
                             method_rows, station_rows, item_rows)
        raise JobError(why if keys else "the selection holds no series: " + why)
    tasks = [
        Task(it, st, pt, f"{a:%Y-%m-%d}", f"{b - pd.Timedelta(days=1):%Y-%m-%d}")
        for st, pt, it in keys
        for a, b in zip(boundaries[:-1], boundaries[1:])
    ]
    used_stations = {k[0] for k in keys}
    used_items = {k[2] for k in keys}
    methods = {str(m): str(n) for m, n in zip(method_rows["METHODID"], method_rows["METHODNAME"])
               if str(m) in {i[:3] for i in used_items}}
    from ..export import jsonable

    stations = jsonable(station_rows[station_rows["STATIONID"].astype(str).isin(used_stations)].to_dict("records"))
    items = jsonable(item_rows[item_rows["ITEMID"].astype(str).isin(used_items)].to_dict("records"))
    selection = {
        "start": f"{first:%Y-%m-%d}", "end": f"{last:%Y-%m-%d}", "method": method, "station": station,
        "item": item if isinstance(item, str) else list(item), "rate": rate, "rate_seconds": int(config["rate"]),
        "kind": kind, "point": point or "", "chunk": chunk, "gzip_methods": gzip_methods,
        "tables": method_tables,
    }
    return Plan(source, selection, tasks, methods, stations, items)
