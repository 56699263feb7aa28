"""Min/max summaries of dataset parts: what lets the web view show years without reading every sample.

Beside each part ``<first>_<last>.ruzi`` lies ``<first>_<last>.m4``, a Parquet file (page
checksums, written crash-safely) with one row group per level. A level cuts time into buckets of
one length (1 min, 10 min, 1 h, 6 h, 1 day, aligned to midnight); a bucket row holds the bucket's
start, its kept samples (first, smallest, largest, last finite sample, at most four, in time
order), bits saying where NaN samples lay between them, and the count, mean and sum of squared
deviations of its finite samples, plus its NaN count. Only levels whose buckets hold at least 16
samples of the part's usual step are written (the day level always: the overview reads it).

A summary records the part's file name, size and the digest the part carries; the view uses a
summary only when all three match the part as it is now, so a summary left over from an older
part is never used. Without a usable summary the view reads the part itself (slower, same
result).

    write_for_part(part)      after a part is written (the jobs layer calls it)
    build(out)                for every part of an existing dataset that lacks a valid summary
"""

from __future__ import annotations

import hashlib
import json
import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

SECOND = 1_000_000_000
LEVELS = (60 * SECOND, 600 * SECOND, 3600 * SECOND, 6 * 3600 * SECOND, 86400 * SECOND)
DAY = LEVELS[-1]
SAMPLES_PER_BUCKET = 16  # a level is written when its buckets hold at least this many samples
SUFFIX = ".m4"
METADATA_KEY = b"lumoreq.m4"
FORMAT = "lumoreq-m4"
VERSION = 1
COLUMNS = ("start", "t0", "t1", "t2", "t3", "v0", "v1", "v2", "v3", "corners", "gaps", "count", "nan", "mean", "m2")


def summary_path(part: str | os.PathLike[str]) -> Path:
    part = Path(part)
    return part.with_name(part.stem + SUFFIX)


def part_times_values(table) -> tuple[np.ndarray, np.ndarray]:
    """int64 nanoseconds and the values (float32 kept, anything else float64) of a part's table."""
    import pyarrow as pa

    names = table.column_names
    time_name = "STARTDATE" if "STARTDATE" in names else names[0]
    times = table.column(time_name)
    if not pa.types.is_timestamp(times.type):
        raise ValueError(f"the part has no time column (first column {time_name!r} is {times.type})")
    if "OBSVALUE" not in names:
        raise ValueError("the part has no OBSVALUE column")
    times = times.cast(pa.timestamp("ns", tz=times.type.tz)).combine_chunks()
    t = np.asarray(times.cast(pa.int64()).to_numpy(zero_copy_only=False), dtype=np.int64)
    values = table.column("OBSVALUE").combine_chunks()
    if pa.types.is_float32(values.type):
        v = values.to_numpy(zero_copy_only=False)
    elif pa.types.is_floating(values.type) or pa.types.is_integer(values.type):
        v = values.cast(pa.float64()).to_numpy(zero_copy_only=False)
    else:
        raise ValueError(f"OBSVALUE holds {values.type}, not numbers")
    if values.null_count:
        v = np.where(np.asarray(values.is_valid()), v, np.nan).astype(v.dtype)
    return t, np.ascontiguousarray(v)


def part_fingerprint(part: str | os.PathLike[str], metadata: Any | None = None) -> dict[str, Any]:
    """The part's name, size and the SHA-256 of the digest it records (from its footer alone)."""
    import pyarrow.parquet as pq

    from ..export import METADATA_KEY as RUZI_KEY

    part = Path(part)
    size = part.stat().st_size
    if metadata is None:
        metadata = pq.read_metadata(part)
    raw = (metadata.metadata or {}).get(RUZI_KEY)
    if raw is None:
        raise ValueError(f"not a RUZI file: {part}")
    recorded = json.loads(raw).get("digest")
    digest = hashlib.sha256(json.dumps(recorded, sort_keys=True).encode("utf-8")).hexdigest()
    return {"part": part.name, "size": size, "digest": digest}


def levels_for(step: int) -> list[int]:
    """The bucket lengths worth writing for samples `step` ns apart (the day level always)."""
    chosen = [b for b in LEVELS if step <= 0 or b >= SAMPLES_PER_BUCKET * step]
    return chosen if DAY in chosen else chosen + [DAY]


def compute(times: np.ndarray, values: np.ndarray) -> tuple[int, list[dict[str, Any]]]:
    """(modal step, the levels) of one part's samples."""
    from .. import _view

    step = int(_view.modal_step(times))
    levels: list[dict[str, Any]] = []
    for bucket in levels_for(step):
        if levels:
            levels.append(_view.coarsen(levels[-1], bucket))
        else:
            levels.append(_view.summarize(times, values, bucket))
    return step, levels


def _level_table(level: dict[str, Any]):
    import pyarrow as pa

    columns = {"start": pa.array(level["start"], pa.int64())}
    for k in range(4):
        columns[f"t{k}"] = pa.array(np.ascontiguousarray(level["corner_time"][:, k]), pa.int64())
    for k in range(4):
        columns[f"v{k}"] = pa.array(np.ascontiguousarray(level["corner_value"][:, k]), pa.float64())
    columns["corners"] = pa.array(level["corners"], pa.uint8())
    columns["gaps"] = pa.array(level["gaps"], pa.uint8())
    for name in ("count", "nan"):
        columns[name] = pa.array(level[name], pa.int64())
    for name in ("mean", "m2"):
        columns[name] = pa.array(level[name], pa.float64())
    return pa.table(columns)


def write_for_part(part: str | os.PathLike[str]) -> Path:
    """Write the summary of one dataset part beside it (crash-safe) and return its path.

    The part is read whole and its page checksums and recorded digest verified first, so a
    summary is never made from a damaged part. ``ValueError`` for a part that is not a series
    (no time column, no OBSVALUE) or is damaged."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from .. import export

    part = Path(part)
    try:
        table = export.read_parquet(part)
    except Exception as error:
        if export.is_missing_file_error(error):
            raise
        raise ValueError(f"not a RUZI file or damaged: {part} ({error})") from error
    raw = (table.schema.metadata or {}).get(export.METADATA_KEY)
    if raw is None:
        raise ValueError(f"not a RUZI file: {part}")
    context = json.loads(raw)
    if context.get("version", 1) >= 2:
        try:
            export.check_digest(table, export.METADATA_KEY, context.get("digest"))
        except Exception as error:
            raise ValueError(f"damaged RUZI file: {part}: {error}") from error
    fingerprint = part_fingerprint(part)
    times, values = part_times_values(table)
    del table
    step, levels = compute(times, values)
    finite = ~np.isnan(values)
    record = {
        "format": FORMAT, "version": VERSION, **fingerprint, "step": step,
        "first": int(times[0]) if len(times) else None, "last": int(times[-1]) if len(times) else None,
        "levels": [[int(level["bucket"]), index, int(len(level["start"]))] for index, level in enumerate(levels)],
        "samples": int(len(times)), "finite": int(finite.sum()),
    }
    tables = [_level_table(level) for level in levels]
    schema = tables[0].schema.with_metadata({METADATA_KEY: json.dumps(record).encode("utf-8")})
    sink = pa.BufferOutputStream()
    with pq.ParquetWriter(sink, schema, write_page_checksum=True, compression="zstd",
                          use_dictionary=False,
                          column_encoding={f"t{k}": "DELTA_BINARY_PACKED" for k in range(4)}
                          | {"start": "DELTA_BINARY_PACKED"}) as writer:
        for level_table in tables:
            # one row group per level, however long (the reader picks a level by its row group)
            writer.write_table(level_table.replace_schema_metadata(schema.metadata), row_group_size=max(1, level_table.num_rows))
    from .._files import write_bytes

    target = summary_path(part)
    write_bytes(target, sink.getvalue().to_pybytes())
    return target


def build(out: str | os.PathLike[str], force: bool = False) -> dict[str, int]:
    """Write the summaries an existing dataset lacks (or all of them with ``force``).
    Returns counts: written, kept (already valid), failed."""
    from .data import dataset_parts

    counts = {"written": 0, "kept": 0, "failed": 0}
    for part in dataset_parts(out):
        if not force and Summary.open(part) is not None:
            counts["kept"] += 1
            continue
        try:
            write_for_part(part)
            counts["written"] += 1
        except (OSError, ValueError):
            counts["failed"] += 1
    return counts


@dataclass
class Summary:
    """A part's summary, checked against the part as it is now."""

    path: Path
    record: dict[str, Any]

    @classmethod
    def open(cls, part: str | os.PathLike[str], part_metadata: Any | None = None) -> "Summary | None":
        """The part's summary when it exists, is readable and belongs to the part as it is now;
        otherwise None (the caller reads the part)."""
        import pyarrow.parquet as pq

        path = summary_path(part)
        try:
            meta = pq.read_metadata(path)
            record = json.loads((meta.metadata or {})[METADATA_KEY])
            if record.get("format") != FORMAT or record.get("version") != VERSION:
                return None
            fingerprint = part_fingerprint(part, part_metadata)
        except (OSError, ValueError, KeyError, TypeError):
            return None
        if any(record.get(k) != v for k, v in fingerprint.items()):
            return None
        if len(record.get("levels", [])) != meta.num_row_groups:
            return None
        return cls(path, record)

    @property
    def buckets(self) -> list[int]:
        return [int(b) for b, _, _ in self.record["levels"]]

    def level(self, bucket: int, first: int | None = None, last: int | None = None) -> dict[str, Any]:
        """The level's columns (numpy), optionally only the buckets starting in [first, last)."""
        key = (str(self.path), self.record.get("digest"), self.record.get("size"), bucket)
        level = _LEVELS.get(key)
        if level is None:
            import pyarrow.parquet as pq

            index = next(i for b, i, _ in self.record["levels"] if b == bucket)
            with open(self.path, "rb") as handle:
                table = pq.ParquetFile(handle, page_checksum_verification=True).read_row_group(index)
            level = as_level({name: table.column(name).to_numpy() for name in table.column_names}, bucket)
            _LEVELS.put(key, level)
        if first is None and last is None:
            return level
        start = level["start"]
        a = int(np.searchsorted(start, first, "left")) if first is not None else 0
        b = int(np.searchsorted(start, last, "left")) if last is not None else len(start)
        return {k: v if k == "bucket" else v[a:b] for k, v in level.items()}  # views: rows stay contiguous


class _LevelCache:
    """The levels read last, up to a fixed number of bytes: a zoom near the previous one reads
    no file. Keyed by the summary's path and the part it belongs to, so a rewritten summary is
    read anew."""

    def __init__(self, limit: int):
        from collections import OrderedDict

        self.limit = limit
        self._levels: OrderedDict[tuple, dict[str, Any]] = OrderedDict()
        self._bytes = 0
        self._lock = threading.Lock()

    def get(self, key):
        with self._lock:
            level = self._levels.get(key)
            if level is not None:
                self._levels.move_to_end(key)
            return level

    def put(self, key, level) -> None:
        size = sum(v.nbytes for v in level.values() if isinstance(v, np.ndarray))
        if size > self.limit:
            return
        with self._lock:
            if key in self._levels:
                return
            self._levels[key] = level
            self._bytes += size
            while self._bytes > self.limit:
                _, dropped = self._levels.popitem(last=False)
                self._bytes -= sum(v.nbytes for v in dropped.values() if isinstance(v, np.ndarray))


LEVEL_CACHE_BYTES = 64 * 2**20
_LEVELS = _LevelCache(LEVEL_CACHE_BYTES)


def as_level(columns: dict[str, np.ndarray], bucket: int) -> dict[str, Any]:
    """A level dict (as the native code takes it) from stored columns."""
    return {
        "bucket": bucket,
        "start": np.ascontiguousarray(columns["start"], dtype=np.int64),
        "corner_time": np.ascontiguousarray(np.stack([columns[f"t{k}"] for k in range(4)], axis=1), dtype=np.int64),
        "corner_value": np.ascontiguousarray(np.stack([columns[f"v{k}"] for k in range(4)], axis=1), dtype=np.float64),
        "corners": np.ascontiguousarray(columns["corners"], dtype=np.uint8),
        "gaps": np.ascontiguousarray(columns["gaps"], dtype=np.uint8),
        "count": np.ascontiguousarray(columns["count"], dtype=np.int64),
        "nan": np.ascontiguousarray(columns["nan"], dtype=np.int64),
        "mean": np.ascontiguousarray(columns["mean"], dtype=np.float64),
        "m2": np.ascontiguousarray(columns["m2"], dtype=np.float64),
    }
