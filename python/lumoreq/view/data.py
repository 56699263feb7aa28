"""What the web view reads: a dataset folder (through its list of parts) or one RUZI file.

Both answer the same questions: which series there are (with their station and item records),
the M4 reduction of one series over a range at a width, and the share of samples present per day.
Reading is bounded: parts are read one row group at a time and reduced at once, so what a view
holds in memory does not grow with the span it shows.
"""

from __future__ import annotations

import json
import math
import os
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from .summaries import DAY, Summary, part_times_values

SeriesKey = tuple[str, str, str]  # (ITEMID, STATIONID, POINTID)


class ViewError(Exception):
    """A dataset or file the view cannot show; the message says why."""


def dataset_parts(out: str | os.PathLike[str], station=None, item=None, point=None) -> list[Path]:
    """The data files (RUZI parts) of the dataset in ``out``, optionally narrowed to a series.

    The one place that knows how a dataset lists its files: today the Hive folders under
    ``out/data`` (the job's own listing); a table format's file list replaces it here alone."""
    from ..jobs.dataset import parts

    return parts(Path(out), station, item, point)


def series_key_of(part: Path) -> SeriesKey | None:
    """(ITEMID, STATIONID, POINTID) from the part's Hive folders."""
    keys = {}
    for folder in part.parents:
        name, sep, value = folder.name.partition("=")
        if sep and name in ("ITEMID", "STATIONID", "POINTID"):
            keys[name] = value
    if len(keys) != 3:
        return None
    return (keys["ITEMID"], keys["STATIONID"], keys["POINTID"])


def _first_record(value: Any) -> dict[str, Any]:
    if isinstance(value, list):
        value = value[0] if value else {}
    return value if isinstance(value, dict) else {}


@dataclass
class SeriesInfo:
    key: SeriesKey
    station_name: str = ""
    item_name: str = ""
    unit: str = ""
    latitude: float | None = None
    longitude: float | None = None
    first: int | None = None  # ns
    last: int | None = None
    step: int = 0
    levels: list[int] = field(default_factory=list)  # summary buckets every part has

    def public(self) -> dict[str, Any]:
        item, station, point = self.key
        return {"item": item, "station": station, "point": point, "station_name": self.station_name,
                "item_name": self.item_name, "unit": self.unit, "first": _ms(self.first), "last": _ms(self.last),
                "step_ms": self.step / 1e6, "levels_ms": [b / 1e6 for b in self.levels]}

    def describe(self, metadata: Any) -> None:
        if not isinstance(metadata, dict):
            return
        station = _first_record(metadata.get("station_info"))
        item = _first_record(metadata.get("item_info"))
        self.station_name = str(station.get("STATIONNAME") or self.station_name or "")
        self.item_name = str(item.get("ITEMNAME") or self.item_name or "")
        self.unit = str(item.get("UNIT") or self.unit or "")
        for name, attr in (("LATITUDE", "latitude"), ("LONGITUDE", "longitude")):
            try:
                number = float(station.get(name))
                if math.isfinite(number):
                    setattr(self, attr, number)
            except (TypeError, ValueError):
                pass


def _ms(ns: int | None) -> float | None:
    return None if ns is None else ns / 1e6


@dataclass
class Reduction:
    times: np.ndarray  # int64 ns
    values: np.ndarray  # float64, NaN = break
    count: int
    mean: float
    std: float
    source: str  # "raw" or "summary <bucket>"

    def public(self) -> dict[str, Any]:
        return {"t": (self.times / 1e6).tolist(),
                "v": [None if math.isnan(v) else v for v in self.values.tolist()],
                "count": self.count, "mean": _finite(self.mean), "std": _finite(self.std), "source": self.source}


def _finite(x: float) -> float | None:
    return x if math.isfinite(x) else None


def _finish(reducer, source: str) -> Reduction:
    times, values = reducer.finish()
    count, mean, m2 = reducer.moments()
    std = math.sqrt(m2 / (count - 1)) if count > 1 else math.nan
    return Reduction(times, values, int(count), mean if count else math.nan, std, source)


def aligned_bucket(levels: list[int], t0: int, t1: int, width: int) -> int | None:
    """The longest summary bucket whose grid holds every column edge of [t0, t1) / width."""
    span = t1 - t0
    if span % width:
        return None
    column = span // width
    usable = [b for b in levels if t0 % b == 0 and column % b == 0]
    return max(usable) if usable else None


# ---------------------------------------------------------------------------------------------
# A dataset folder
# ---------------------------------------------------------------------------------------------


@dataclass
class PartInfo:
    path: Path
    stamp: tuple[int, int]  # size, mtime_ns
    first: int
    last: int
    row_groups: list[tuple[int, int]]  # (first, last) time of each row group, ns ((0, -1): none)
    metadata: Any
    summary: Summary | None
    samples: int
    group_rows: list[int] = field(default_factory=list)  # rows of each row group


def _stat_ns(value: Any) -> int | None:
    import pandas as pd

    if value is None:
        return None
    stamp = pd.Timestamp(value)
    if stamp is pd.NaT:
        return None
    return int(stamp.as_unit("ns").value) if stamp.tzinfo is None else int(stamp.tz_convert(None).as_unit("ns").value)


def _part_info(path: Path, stamp: tuple[int, int]) -> PartInfo:
    """A part's extent, row-group extents and metadata from its footer alone."""
    import pyarrow.parquet as pq

    from ..export import METADATA_KEY

    meta = pq.read_metadata(path)
    schema = meta.schema.to_arrow_schema()
    if "STARTDATE" not in schema.names or "OBSVALUE" not in schema.names:
        raise ValueError(f"{path} is not a series part (no STARTDATE or OBSVALUE)")
    column = schema.names.index("STARTDATE")
    groups, rows = [], []
    for i in range(meta.num_row_groups):
        stats = meta.row_group(i).column(column).statistics
        if stats is None or not stats.has_min_max:
            raise ValueError(f"{path}: row group {i} has no time statistics")
        a, b = _stat_ns(stats.min), _stat_ns(stats.max)
        # a row group without times (all NaT) keeps its place, as an empty range
        groups.append((a, b) if a is not None and b is not None else (0, -1))
        rows.append(meta.row_group(i).num_rows)
    raw = (meta.metadata or {}).get(METADATA_KEY)
    context = json.loads(raw) if raw else {}
    timed = [g for g in groups if g[1] >= g[0]]
    first = min((g[0] for g in timed), default=0)
    last = max((g[1] for g in timed), default=-1)
    return PartInfo(path, stamp, first, last, groups, context.get("metadata"), Summary.open(path, meta),
                    meta.num_rows, rows)


# Rows decoded at a time from a row group: reading stops at the first batch past the range, so
# a narrow view decodes its row group only up to the view's end (a row group cannot be entered
# part way: the parts have no page index the reader could use).
BATCH_ROWS = 65536


def _range_chunks(part: PartInfo, t0: int, t1: int, neighbours: bool):
    """(times, values) of the part's samples in [t0, t1) in time order, a batch at a time; with
    `neighbours`, also the sample before and the one after the range within each row group
    (M4 joins its line to the points outside)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    wanted = [i for i, (a, b) in enumerate(part.row_groups) if a <= b and b >= t0 and a < t1]
    if not wanted:
        return
    with open(part.path, "rb") as handle:
        reader = pq.ParquetFile(handle, page_checksum_verification=True)
        for i in wanted:
            before = None  # the last sample of the batches wholly before the range
            started = False
            try:
                batches = reader.iter_batches(batch_size=BATCH_ROWS, row_groups=[i], columns=["STARTDATE", "OBSVALUE"],
                                              use_threads=False)
                for batch in batches:
                    times, values = part_times_values(pa.Table.from_batches([batch]))
                    if not len(times):
                        continue
                    if times[-1] < t0:
                        before = (times[-1:], values[-1:])
                        continue
                    a = int(np.searchsorted(times, t0, "left")) if not started else 0
                    b = int(np.searchsorted(times, t1, "left"))
                    if neighbours:
                        if a == 0 and not started and before is not None:
                            yield before
                        a, b = max(a - 1, 0) if not started else a, min(b + 1, len(times))
                    started = True
                    if b > a:
                        yield times[a:b], values[a:b]
                    if b < len(times) or (b == len(times) and times[-1] >= t1):
                        break  # the range (and its neighbour) ends in this batch
            except (OSError, ValueError, pa.ArrowException) as error:
                raise ValueError(f"damaged part {part.path.name}: {error}") from error


class DatasetSource:
    """A dataset folder: its series, their parts and summaries (listed again when it changes)."""

    kind = "dataset"

    def __init__(self, out: str | os.PathLike[str], refresh_seconds: float = 2.0):
        self.root = Path(out).resolve()
        if not self.root.exists():
            raise ViewError(f"no such dataset: {self.root} does not exist")
        if not self.root.is_dir():
            raise ViewError(f"{self.root} is neither a dataset folder nor a .ruzi file")
        if not (self.root / "data").is_dir():
            raise ViewError(f"{self.root} is not a dataset: it has no data/ folder (made by lumoreq run)")
        self.refresh_seconds = refresh_seconds
        self._lock = threading.Lock()
        self._parts: dict[Path, PartInfo] = {}
        self._series: dict[SeriesKey, list[PartInfo]] = {}
        self._info: dict[SeriesKey, SeriesInfo] = {}
        self.damaged: dict[str, str] = {}
        self._listed_at = -math.inf
        self._day_cache: dict[tuple[Path, tuple[int, int]], tuple[np.ndarray, ...]] = {}
        self.refresh(force=True)
        if not self._series:
            raise ViewError(f"the dataset {self.root} holds no series parts"
                            + (f" ({len(self.damaged)} unreadable)" if self.damaged else ""))

    @property
    def title(self) -> str:
        return str(self.root)

    def updating(self) -> bool:
        """True while a job on this machine holds the dataset: its lock file names a live
        process here. (Never locked from here: a job starting meanwhile must not be refused.)"""
        import socket

        from .._files import process_alive

        try:
            host, _, pid = (self.root / ".lock").read_text(encoding="utf-8").strip().rpartition(" ")
            return host == socket.gethostname() and int(pid) != os.getpid() and process_alive(int(pid))
        except (OSError, ValueError):
            return False

    def refresh(self, force: bool = False) -> None:
        with self._lock:
            now = time.monotonic()
            if not force and now - self._listed_at < self.refresh_seconds:
                return
            self._listed_at = now
            parts: dict[Path, PartInfo] = {}
            damaged: dict[str, str] = {}
            for path in dataset_parts(self.root):
                try:
                    st = path.stat()
                    stamp = (st.st_size, st.st_mtime_ns)
                    known = self._parts.get(path)
                    info = known if known is not None and known.stamp == stamp else _part_info(path, stamp)
                    if known is not None and known.stamp == stamp and known.summary is None:
                        info.summary = Summary.open(path)  # written since
                except FileNotFoundError:
                    continue  # replaced while listed: the next listing has it
                except Exception as error:  # a damaged footer: shown, not fatal
                    damaged[str(path.relative_to(self.root))] = f"{type(error).__name__}: {error}"
                    continue
                parts[path] = info
            series: dict[SeriesKey, list[PartInfo]] = {}
            for path, info in parts.items():
                key = series_key_of(path)
                if key is not None and info.samples > 0:
                    series.setdefault(key, []).append(info)
            infos = {}
            for key, members in series.items():
                members.sort(key=lambda p: (p.first, p.last))
                info = self._info.get(key) or SeriesInfo(key)
                for p in members[:1]:
                    info.describe(p.metadata)
                info.first = members[0].first
                info.last = max(p.last for p in members)
                summaries = [p.summary for p in members]
                if all(s is not None for s in summaries):
                    common = set(summaries[0].buckets)
                    for s in summaries[1:]:
                        common &= set(s.buckets)
                    info.levels = sorted(common)
                    info.step = int(summaries[0].record.get("step") or 0)
                else:
                    info.levels = []
                infos[key] = info
            self._parts, self._series, self._info, self.damaged = parts, series, infos, damaged

    def series(self) -> list[SeriesInfo]:
        self.refresh()
        return [self._info[k] for k in sorted(self._info)]

    def info(self, key: SeriesKey) -> SeriesInfo | None:
        self.refresh()
        return self._info.get(key)

    # -- the M4 reduction of a range ----------------------------------------------------------

    def reduce(self, key: SeriesKey, t0: int, t1: int, width: int) -> Reduction:
        from .. import _view

        self.refresh()
        parts = self._series.get(key)
        if parts is None:
            raise KeyError(key)
        reducer = _view.RangeReducer(t0, t1, width)
        levels = self._info[key].levels
        bucket = aligned_bucket(levels, t0, t1, width)
        used = set()
        for part in parts:
            if part.last < t0 or part.first >= t1:
                continue
            if bucket is not None and part.summary is not None:
                level = part.summary.level(bucket, t0 - bucket, t1 + bucket)
                reducer.feed_buckets(level)
                used.add(f"summary {bucket // 10**9} s")
            else:
                self._feed_raw(reducer, part, t0, t1)
                used.add("raw")
        return _finish(reducer, ", ".join(sorted(used)) or "none")

    @staticmethod
    def _feed_raw(reducer, part: PartInfo, t0: int, t1: int) -> None:
        # one row group at a time: memory stays that of one row group
        for times, values in _range_chunks(part, t0, t1, neighbours=True):
            reducer.feed(times, values)

    # -- the samples of a range (the downloads) ---------------------------------------------------

    def estimate(self, key: SeriesKey, t0: int, t1: int) -> int:
        """About how many samples [t0, t1) holds (from the row groups' extents; no data read)."""
        self.refresh()
        total = 0.0
        for part in self._series.get(key, []):
            for (a, b), rows in zip(part.row_groups, part.group_rows or [0] * len(part.row_groups)):
                if a > b or b < t0 or a >= t1:
                    continue
                total += rows if b == a else rows * (min(b + 1, t1) - max(a, t0)) / (b + 1 - a)
        return int(math.ceil(total))

    def samples(self, key: SeriesKey, t0: int, t1: int) -> tuple[np.ndarray, np.ndarray]:
        """(int64 ns, values) of the series' samples in [t0, t1), in time order."""
        self.refresh()
        times, values = [], []
        for part in self._series.get(key, []):
            if part.last < t0 or part.first >= t1:
                continue
            for t, v in _range_chunks(part, t0, t1, neighbours=False):
                times.append(t)
                values.append(v)
        if not times:
            return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.float32)
        return np.concatenate(times), np.concatenate(values)

    def context(self, key: SeriesKey) -> Any:
        """The metadata the series' (latest) part carries: its station and item records."""
        self.refresh()
        parts = self._series.get(key) or []
        return parts[-1].metadata if parts else None

    # -- samples present per day ---------------------------------------------------------------

    def day_counts(self, key: SeriesKey) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, int]:
        """(day starts ns, finite samples, NaN samples, sums, step ns) of one series."""
        from .. import _view

        self.refresh()
        starts, finite, nans, sums = [], [], [], []
        step = self._info[key].step
        for part in self._series.get(key, []):
            if part.summary is not None and DAY in part.summary.buckets:
                level = part.summary.level(DAY)
                starts.append(level["start"])
                finite.append(level["count"])
                nans.append(level["nan"])
                sums.append(level["count"] * level["mean"])
                step = step or int(part.summary.record.get("step") or 0)
                continue
            cache_key = (part.path, part.stamp)
            cached = self._day_cache.get(cache_key)
            if cached is None:
                # no usable summary: the part is read once and only its day counts are kept
                from .. import export

                table = export.read_parquet(part.path)
                times, values = part_times_values(table)
                del table
                level = _view.summarize(times, values, DAY)
                step = step or int(_view.modal_step(times))
                cached = (level["start"], level["count"], level["nan"], level["count"] * level["mean"])
                self._day_cache[cache_key] = cached
            starts.append(cached[0])
            finite.append(cached[1])
            nans.append(cached[2])
            sums.append(cached[3])
        if not starts:
            empty = np.empty(0, dtype=np.int64)
            return empty, empty, empty, np.empty(0), step
        return np.concatenate(starts), np.concatenate(finite), np.concatenate(nans), np.concatenate(sums), step

    def replaced_by_part(self) -> dict[SeriesKey, list[tuple[int, int, float]]]:
        """(first, last, share of samples the job's filter replaced) of each part, from run.json."""
        try:
            run = json.loads((self.root / "run.json").read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return {}
        records = run.get("records") or run.get("tasks") or {}
        if isinstance(records, dict):
            records = list(records.values())
        shares: dict[SeriesKey, list[tuple[int, int, float]]] = {}
        for record in records if isinstance(records, list) else []:
            if not isinstance(record, dict) or not record.get("part"):
                continue
            samples = record.get("samples") or 0
            replaced = record.get("replaced") or 0
            path = (self.root / record["part"]).resolve()
            part = self._parts.get(path)
            key = series_key_of(path)
            if part is None or key is None or samples <= 0:
                continue
            shares.setdefault(key, []).append((part.first, part.last, replaced / samples))
        return shares


# ---------------------------------------------------------------------------------------------
# One RUZI file
# ---------------------------------------------------------------------------------------------


class FileSource:
    """One RUZI file (as lumoreq fetch writes it), held in memory: a series per
    (ITEMID, STATIONID, POINTID), or the whole file as one series when it has no such columns."""

    kind = "file"

    def __init__(self, path: str | os.PathLike[str]):
        import pandas as pd

        from .. import _view
        from ..export import read_ruzi

        self.root = Path(path).resolve()
        if not self.root.is_file():
            raise ViewError(f"no such file: {self.root}")
        try:
            frame, metadata = read_ruzi(self.root)
        except (OSError, ValueError) as error:
            raise ViewError(str(error)) from error
        if not isinstance(frame.index, pd.DatetimeIndex) or "OBSVALUE" not in frame.columns:
            raise ViewError(f"{self.root} holds no series: it needs a STARTDATE time index and an OBSVALUE column")
        values = pd.to_numeric(frame["OBSVALUE"], errors="coerce")
        if len(frame) == 0 or values.isna().all() and frame["OBSVALUE"].dtype == object:
            raise ViewError(f"{self.root} holds no series: "
                            + ("it has no rows" if len(frame) == 0 else "OBSVALUE is packed text (fetch without --packed)"))
        names = [c for c in ("ITEMID", "STATIONID", "POINTID") if c in frame.columns]
        keys = frame[names].astype(str).agg("|".join, axis=1) if len(names) == 3 else pd.Series("", index=frame.index)
        times_all = frame.index.as_unit("ns").asi8
        stations = {str(r.get("STATIONID")): r for r in (metadata or {}).get("station_info", []) if isinstance(r, dict)} \
            if isinstance(metadata, dict) else {}
        items = {str(r.get("ITEMID")): r for r in (metadata or {}).get("item_info", []) if isinstance(r, dict)} \
            if isinstance(metadata, dict) else {}
        self._metadata = metadata
        self._arrays: dict[SeriesKey, tuple[np.ndarray, np.ndarray]] = {}
        self._info: dict[SeriesKey, SeriesInfo] = {}
        self._days: dict[SeriesKey, dict[str, np.ndarray]] = {}
        dtype = np.float32 if frame["OBSVALUE"].dtype == np.float32 else np.float64
        all_values = values.to_numpy(dtype=dtype, na_value=np.nan)
        for text in pd.unique(keys):
            mask = (keys == text).to_numpy()
            key: SeriesKey = tuple(text.split("|")) if text else ("", "", "")  # type: ignore[assignment]
            t = times_all[mask]
            v = all_values[mask]
            if len(t) > 1 and np.any(np.diff(t) < 0):
                order = np.argsort(t, kind="stable")
                t, v = t[order], v[order]
            t, v = np.ascontiguousarray(t), np.ascontiguousarray(v)
            self._arrays[key] = (t, v)
            info = SeriesInfo(key, first=int(t[0]), last=int(t[-1]), step=int(_view.modal_step(t)))
            info.describe({"station_info": stations.get(key[1], {}), "item_info": items.get(key[0], {})})
            self._info[key] = info
            self._days[key] = _view.summarize(t, v, DAY)
        self.damaged: dict[str, str] = {}

    @property
    def title(self) -> str:
        return str(self.root)

    def updating(self) -> bool:
        return False

    def series(self) -> list[SeriesInfo]:
        return [self._info[k] for k in sorted(self._info)]

    def info(self, key: SeriesKey) -> SeriesInfo | None:
        return self._info.get(key)

    def reduce(self, key: SeriesKey, t0: int, t1: int, width: int) -> Reduction:
        from .. import _view

        t, v = self._arrays[key]
        reducer = _view.RangeReducer(t0, t1, width)
        a = max(int(np.searchsorted(t, t0, "left")) - 1, 0)
        b = min(int(np.searchsorted(t, t1, "left")) + 1, len(t))
        reducer.feed(t[a:b], v[a:b])
        return _finish(reducer, "memory")

    def estimate(self, key: SeriesKey, t0: int, t1: int) -> int:
        t, _ = self._arrays[key]
        return int(np.searchsorted(t, t1, "left") - np.searchsorted(t, t0, "left"))

    def samples(self, key: SeriesKey, t0: int, t1: int) -> tuple[np.ndarray, np.ndarray]:
        t, v = self._arrays[key]
        a, b = int(np.searchsorted(t, t0, "left")), int(np.searchsorted(t, t1, "left"))
        return t[a:b], v[a:b]

    def context(self, key: SeriesKey) -> Any:
        return self._metadata

    def day_counts(self, key: SeriesKey):
        level = self._days[key]
        return level["start"], level["count"], level["nan"], level["count"] * level["mean"], self._info[key].step

    def replaced_by_part(self):
        return {}


def open_source(target: str | os.PathLike[str]) -> DatasetSource | FileSource:
    path = Path(target)
    if path.suffix.lower() == ".ruzi" or path.is_file():
        return FileSource(path)
    return DatasetSource(path)
