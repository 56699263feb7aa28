"""One chunk of one series: its read with the halo around it, the filter and the resampling bins.

Dask is never imported here: this is what a task does wherever it runs."""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import math
import time
from typing import Any

import numpy as np
import pandas as pd

from ..sources import _connection
from .planning import _method_tables, _timestamp


def _finite_run(values: np.ndarray, length: int) -> bool:
    """True when ``values`` holds ``length`` consecutive finite values."""
    if length <= 0:
        return True
    if values.size < length:
        return False
    # the gaps between missing (or infinite) values, counting the ends as missing
    gaps = np.diff(np.flatnonzero(~np.isfinite(values)), prepend=-1, append=values.size)
    return bool((gaps > length).any())


_ONE_DAY = pd.Timedelta(days=1)


def _series_tables(conn, spec: dict[str, Any]) -> list[str]:
    sel = spec["selection"]
    method = spec["item"][:3]
    if "tables" in sel:
        return sel["tables"].get(method, [])
    from .. import fetching  # a plan saved without its tables: find them as the plan would

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
    from .. import fetching

    sel = spec["selection"]
    df = fetching._fetch_series(
        conn, _series_tables(conn, spec), f"{first:%Y%m%d}", f"{last:%Y%m%d}", spec["station"], spec["item"],
        spec["point"], sel["rate"], gzip_flag=spec["item"][:3] in sel.get("gzip_methods", ()),
        values_only=bool(spec["resample"]), arrays=bool(spec["resample"]),
    )
    if isinstance(df, tuple):
        return _Samples(*df) if len(df[0]) else pd.DataFrame()
    return df if df is not None and len(df) else pd.DataFrame()


def _fetch_with_halo(conn, spec, a: pd.Timestamp, b: pd.Timestamp, queries: list, reach: dict | None = None
                     ) -> tuple[pd.DataFrame | _Samples, bool, bool]:
    """The series around the chunk [a, b): enough samples either side that filtering and
    resampling the chunk give what the whole series gives. Returns (rows, rows exist before a,
    rows exist from b on); ``reach["read"]`` is set to the days read, [first, end).

    What the chunk becomes depends only on the samples in those days and on whether they
    reach the period's first day or its end: a later end (or an earlier start) that the read
    did not reach leaves the chunk as it is."""
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
            if reach is not None:
                reach["read"] = (lo, hi)
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
            if reach is not None:
                reach["read"] = (lo, hi)
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
        from .. import export

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
    from .. import refinery

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


def _fetch_chunk(spec: dict[str, Any], limit, queries: list, reach: dict | None = None
                 ) -> tuple[pd.DataFrame, bool, bool]:
    """The chunk and its halo, read on a connection of its own while holding the database
    semaphore (only while reading: the filter and the resampling run outside it)."""
    a, b = _chunk_edges(spec)
    with _limited(limit):
        with _connection(spec["source"]) as conn:
            return _fetch_with_halo(conn, spec, a, b, queries, reach)


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
    from .. import refinery

    window, threshold = int(hampel[0]), float(hampel[1])
    filtered = refinery._filter_values(values, window, threshold)
    if filtered is None:
        filtered = refinery.filter_with_fast_mad(pd.Series(values, name="OBSVALUE"), window, threshold).to_numpy()
    return filtered


def _limited(limit):
    """The database semaphore as a context manager (threading, multiprocessing or distributed)."""
    return limit if limit is not None and hasattr(limit, "__enter__") else contextlib.nullcontext()
