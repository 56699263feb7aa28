"""RUZI (Rurerezu Arrow Data): a time-series table and its metadata in one Parquet file.

Layout of a RUZI table (and file):

- every column of the frame, in the frame's order, after the index column;
- the frame's index: a ``STARTDATE`` time index becomes the first column, an Arrow timestamp
  of the index's own resolution (and time zone, if it has one); a plain running index
  (0, 1, 2, ...) is not stored as a column, only described in the pandas metadata;
- ``OBSVALUE`` as float32, the type of the fetched series (a wider type, such as the float64 of
  a resampled mean, is kept as it is so that nothing is rounded away); as strings when it holds the
  packed text of an unsplit table; every text column as strings; other columns as pyarrow maps
  them (integers, floats, booleans, timestamps keep their types);
- schema metadata ``b"pandas"``: pyarrow's own description of the frame (index, dtypes), so the
  frame comes back as it went in;
- schema metadata ``b"lumoreq.ruzi"``: JSON ``{"format": "RUZI", "version": 2, "metadata": ...,
  "digest": ...}`` where ``metadata`` is the context handed to :func:`to_ruzi`, converted to what
  JSON can hold, and ``digest`` the SHA-256 of the schema and of every column (see below).

Damage is detected. Files are written with Parquet page checksums (CRC32) and read with their
verification, and version 2 records a SHA-256 digest of the schema (its fields and metadata) and
of every column's values, checked when the file is read: a damaged file raises ``ValueError``
naming the file instead of returning wrong values. Version 1 files (no digest) still read, with
the page checksums they have.

pyarrow is imported on first use so that importing this module (the data-access module does it
when it loads) stays cheap.
"""

import datetime as _dt
import decimal as _decimal
import hashlib as _hashlib
import json as _json
import math as _math
import os as _os
from collections.abc import Mapping as _Mapping
from typing import Any as _Any

import numpy as _np
import pandas as _pd

METADATA_KEY = b"lumoreq.ruzi"
FORMAT_NAME = "RUZI"
FORMAT_VERSION = 2
# Versions read_ruzi understands; 1 has no digest.
READABLE_VERSIONS = (1, 2)
DIGEST_ALGORITHM = "sha256"

__all__ = ["METADATA_KEY", "FORMAT_NAME", "FORMAT_VERSION", "to_ruzi", "read_ruzi", "write_ruzi", "jsonable"]


def jsonable(value: _Any) -> _Any:
    """``value`` made of what JSON holds: numpy scalars become numbers, timestamps and dates ISO
    text, NaN, infinities, ``NaT`` and missing values ``None``, tuples and arrays lists, mapping
    keys text. Anything else unknown to JSON becomes its text."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, _np.integer)):
        return int(value)
    if isinstance(value, _np.bool_):
        return bool(value)
    if isinstance(value, (float, _np.floating)):
        number = float(value)
        return number if _math.isfinite(number) else None
    if isinstance(value, _decimal.Decimal):
        if not value.is_finite():
            return None
        return int(value) if value == value.to_integral_value() else float(value)
    if value is _pd.NaT or value is _pd.NA:
        return None
    if isinstance(value, (_pd.Timestamp, _dt.datetime, _dt.date, _dt.time)):
        return value.isoformat()
    if isinstance(value, _np.datetime64):
        return None if _np.isnat(value) else _pd.Timestamp(value).isoformat()
    if isinstance(value, (_pd.Timedelta, _dt.timedelta, _np.timedelta64)):
        delta = _pd.Timedelta(value)
        return None if delta is _pd.NaT else delta.isoformat()
    if isinstance(value, _Mapping):
        return {str(k) if not isinstance(k, str) else k: jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset, _np.ndarray, _pd.Series, _pd.Index)):
        return [jsonable(v) for v in (value.tolist() if hasattr(value, "tolist") else value)]
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", errors="replace")
    return str(value)


def _is_text_column(values: _pd.Series) -> bool:
    """True for a column of text: pandas' string dtypes, or objects that are all str or missing."""
    if isinstance(values.dtype, _pd.StringDtype):
        return True
    if values.dtype != object:
        return False
    present = values[values.notna()]
    return all(isinstance(v, str) for v in present)


def _prepare(df: _pd.DataFrame) -> tuple[_pd.DataFrame, dict[str, _Any]]:
    """The frame with the column types of the layout, and the Arrow types to ask for."""
    import pyarrow as pa

    frame = df
    fields: dict[str, _Any] = {}
    for position, (name, dtype) in enumerate(df.dtypes.items()):
        if not isinstance(dtype, _pd.StringDtype) and dtype != object and not (
                name == "OBSVALUE" and dtype == _np.float16):
            continue  # numbers, times: nothing to ask for
        column = df.iloc[:, position]
        if _is_text_column(column):
            fields[name] = pa.string()
        elif name == "OBSVALUE" and column.dtype == _np.float16:
            # Half precision has no common Parquet reader; float32 holds every value exactly.
            if frame is df:
                frame = df.copy(deep=False)
            frame[name] = column.astype(_np.float32)
            fields[name] = pa.float32()
    return frame, fields


def to_ruzi(df: _pd.DataFrame, metadata: _Any = None):
    """The RUZI table of ``df`` (a pyarrow table) carrying ``metadata`` as JSON in its schema."""
    import pyarrow as pa

    if not isinstance(df, _pd.DataFrame):
        raise TypeError(f"to_ruzi expects a pandas DataFrame, got {type(df).__name__}")
    frame, text_and_values = _prepare(df)
    # A small table converts faster on this thread than through a pool started for it.
    table = pa.Table.from_pandas(frame, preserve_index=None, nthreads=1 if len(frame) < 1_000_000 else None)
    for name, arrow_type in text_and_values.items():
        position = table.schema.get_field_index(name)
        if position >= 0 and table.schema.field(position).type != arrow_type:
            table = table.set_column(
                position, table.schema.field(position).with_type(arrow_type), table.column(position).cast(arrow_type)
            )
    # The time index first: the file then reads naturally in any Parquet tool.
    index_columns = [c for c in _pandas_metadata(table).get("index_columns", []) if isinstance(c, str)]
    order = index_columns + [n for n in table.column_names if n not in index_columns]
    table = table.select(order)
    context = {"format": FORMAT_NAME, "version": FORMAT_VERSION, "metadata": jsonable(metadata)}
    return seal(table, METADATA_KEY, context)


# Schemas (with their pandas description) of the series tables _series_ruzi builds, by layout.
_SERIES_SCHEMAS: dict[tuple, _Any] = {}


def _series_ruzi(index_name: str, index: _np.ndarray, values_name: str, values: _np.ndarray,
                 keys: dict[str, str], metadata: _Any = None):
    """``to_ruzi`` of the frame ``{values_name: values, key: [text] * n for each key}`` indexed by
    ``index`` (a datetime64 array named ``index_name``), built straight from the arrays.

    The table is the one to_ruzi gives for that frame (schema, pandas description, values,
    missing values, digest), without the frame and its conversion: a job writes one such table
    per task. The schema comes from to_ruzi itself, run once per layout on a one-row frame.
    """
    import pyarrow as pa

    layout = (index_name, index.dtype.str, values_name, values.dtype.str, tuple(keys))
    schema = _SERIES_SCHEMAS.get(layout)
    if schema is None:
        probe = _pd.DataFrame({values_name: _np.zeros(1, dtype=values.dtype),
                               **{k: _pd.array(["0"], dtype="str") for k in keys}},
                              index=_pd.DatetimeIndex(_np.zeros(1, dtype=index.dtype), name=index_name))
        made = to_ruzi(probe).schema
        own = {k: v for k, v in (made.metadata or {}).items() if k != METADATA_KEY}
        schema = _SERIES_SCHEMAS.setdefault(layout, made.with_metadata(own))
    n = len(index)
    arrays = [pa.array(index, type=schema.field(0).type), pa.array(values, type=schema.field(1).type, from_pandas=True)]
    arrays += [pa.repeat(pa.scalar(text, type=schema.field(2 + i).type), n) for i, text in enumerate(keys.values())]
    table = pa.Table.from_arrays(arrays, schema=schema)
    context = {"format": FORMAT_NAME, "version": FORMAT_VERSION, "metadata": jsonable(metadata)}
    return seal(table, METADATA_KEY, context)


# ---------------------------------------------------------------------------------------------
# Digests: a file's schema and every column, as SHA-256, stored in its own schema metadata
# ---------------------------------------------------------------------------------------------


def _feed_column(digest, column) -> None:
    """Feed one column's values into `digest` in a form that does not depend on how the values
    are laid out in memory (chunks, offsets, what sits under a missing value)."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    kind = column.type
    stored = _stored_type(kind)
    if stored != kind:
        column, kind = column.cast(stored), stored
    digest.update(str(kind).encode("utf-8"))
    digest.update(len(column).to_bytes(8, "little"))
    if column.null_count:
        digest.update(np.ascontiguousarray(pc.is_valid(column).to_numpy(zero_copy_only=False)).tobytes())
    if pa.types.is_dictionary(kind):
        _feed_column(digest, column.cast(kind.value_type))
    elif pa.types.is_null(kind) or len(column) == 0:
        return
    elif (pa.types.is_string(kind) or pa.types.is_binary(kind)) and _plain(column):
        # one chunk, nothing missing: its own offsets give the lengths (the wide cast below
        # gives the same lengths and bytes)
        array = _only_chunk(column)
        offsets = np.frombuffer(array.buffers()[1], dtype=np.int32)[array.offset : array.offset + len(array) + 1]
        digest.update(np.diff(offsets).astype(np.int64).tobytes())
        data = array.buffers()[2]
        if data is not None:
            digest.update(memoryview(data)[int(offsets[0]) : int(offsets[-1])])
    elif pa.types.is_string(kind) or pa.types.is_binary(kind) or pa.types.is_large_string(kind) \
            or pa.types.is_large_binary(kind):
        wide = pa.large_binary()
        array = pc.fill_null(column.cast(wide), b"").combine_chunks()
        offsets = np.frombuffer(array.buffers()[1], dtype=np.int64)[array.offset : array.offset + len(array) + 1]
        digest.update(np.ascontiguousarray(np.diff(offsets)).tobytes())
        data = array.buffers()[2]
        if data is not None:
            digest.update(memoryview(data)[int(offsets[0]) : int(offsets[-1])])
    elif pa.types.is_boolean(kind):
        digest.update(np.ascontiguousarray(pc.fill_null(column, False).to_numpy(zero_copy_only=False)).tobytes())
    elif pa.types.is_integer(kind) or pa.types.is_floating(kind):
        if column.null_count:
            column = pc.fill_null(column, pa.scalar(0, kind))
        digest.update(np.ascontiguousarray(column.to_numpy(zero_copy_only=False)).tobytes())
    elif pa.types.is_temporal(kind) and kind.bit_width in (32, 64):
        whole = column.cast(pa.int64() if kind.bit_width == 64 else pa.int32())
        if whole.null_count:
            whole = pc.fill_null(whole, 0)
        digest.update(np.ascontiguousarray(whole.to_numpy(zero_copy_only=False)).tobytes())
    else:  # nested and rarer types: their values as JSON text
        digest.update(_json.dumps(column.to_pylist(), default=str, ensure_ascii=False).encode("utf-8"))


def _only_chunk(column):
    """The one array of a column (an array, or a chunked array of one chunk)."""
    return column.chunk(0) if hasattr(column, "num_chunks") else column


def _plain(column) -> bool:
    """A column of one chunk without missing values."""
    return not column.null_count and getattr(column, "num_chunks", 1) == 1


def _stored_type(kind):
    """The type a column of `kind` has when read back from Parquet: seconds are kept as
    milliseconds there (and read_ruzi puts the unit back only in the frame)."""
    import pyarrow as pa

    if pa.types.is_timestamp(kind) and kind.unit == "s":
        return pa.timestamp("ms", tz=kind.tz)
    return kind


def _schema_text(schema, key: bytes) -> bytes:
    """The schema as text: fields, types, and its metadata without the digest itself."""
    own = dict(schema.metadata or {})
    context = _json.loads(own.pop(key)) if key in own else {}
    context.pop("digest", None)
    described = {
        "fields": [[f.name, str(_stored_type(f.type)), f.nullable] for f in schema],
        "metadata": {k.decode("utf-8", "replace"): v.decode("utf-8", "replace") for k, v in sorted(own.items())},
        "context": context,
    }
    return _json.dumps(described, sort_keys=True, ensure_ascii=False).encode("utf-8")


def table_digest(table, key: bytes) -> dict[str, _Any]:
    """{"algorithm", "schema", "columns"}: SHA-256 of the schema and of each column, as hex."""
    columns = []
    for column in table.columns:
        digest = _hashlib.sha256()
        _feed_column(digest, column)
        columns.append(digest.hexdigest())
    return {
        "algorithm": DIGEST_ALGORITHM,
        "schema": _hashlib.sha256(_schema_text(table.schema, key)).hexdigest(),
        "columns": columns,
    }


def seal(table, key: bytes, context: dict[str, _Any]):
    """`table` with `context` (JSON) under `key` in its schema metadata, plus the table's digest."""
    schema_metadata = dict(table.schema.metadata or {})
    schema_metadata[key] = _json.dumps(context, ensure_ascii=False, allow_nan=False).encode("utf-8")
    table = table.replace_schema_metadata(schema_metadata)
    context = dict(context, digest=table_digest(table, key))
    schema_metadata[key] = _json.dumps(context, ensure_ascii=False, allow_nan=False).encode("utf-8")
    return table.replace_schema_metadata(schema_metadata)


def check_digest(table, key: bytes, recorded: _Any) -> None:
    """Raises ValueError (saying what differs) unless `table` matches its recorded digest."""
    if not isinstance(recorded, dict) or recorded.get("algorithm") != DIGEST_ALGORITHM:
        raise ValueError("its digest record is unreadable")
    actual = table_digest(table, key)
    if recorded.get("schema") != actual["schema"]:
        raise ValueError("the schema does not match its digest")
    if not isinstance(recorded.get("columns"), list) or len(recorded["columns"]) != len(actual["columns"]):
        raise ValueError("the number of columns does not match its digest")
    for name, want, got in zip(table.column_names, recorded["columns"], actual["columns"]):
        if want != got:
            raise ValueError(f"column {name!r} does not match its digest")


# Tables up to this size are written to memory first, then to the file in one go.
_IN_MEMORY_BYTES = 16 * 2**20


def write_parquet(table, path, **layout) -> None:
    """Write `table` to `path` crash-safely (temporary sibling, renamed over it) with page checksums.
    ``layout``: the Parquet writer's row group size and encodings (see _series_layout)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from ._files import atomic_path, write_bytes

    if table.nbytes <= _IN_MEMORY_BYTES:
        # The same bytes, built in memory, then handed to the crash-safe writer in one piece: a
        # small file costs less so than through the file system layer's many small writes (which
        # hold the GIL in between).
        sink = pa.BufferOutputStream()
        pq.write_table(table, sink, write_page_checksum=True, **layout)  # into memory, not a file
        write_bytes(path, sink.getvalue().to_pybytes())  # temporary sibling, flushed, renamed over path
        return
    with atomic_path(path) as temp:
        pq.write_table(table, temp, write_page_checksum=True, **layout)


def _series_layout(table) -> dict[str, _Any]:
    """The layout of a dataset part (one series' samples in time order): row groups of 65,536 rows,
    so that a narrow view reads little; times as deltas and values split by byte, which a series
    compresses to about a third. The values and the digest do not depend on it."""
    names = set(table.column_names)
    encodings = {name: encoding for name, encoding in (("STARTDATE", "DELTA_BINARY_PACKED"),
                                                         ("OBSVALUE", "BYTE_STREAM_SPLIT")) if name in names}
    kinds = {"STARTDATE": ("timestamp",), "OBSVALUE": ("float", "double")}
    encodings = {n: e for n, e in encodings.items()
                 if str(table.schema.field(n).type).startswith(kinds[n])}
    return {"row_group_size": 65_536, "column_encoding": encodings,
            "use_dictionary": [n for n in table.column_names if n not in encodings]}


def read_parquet(path):
    """A Parquet file's table, every page checksum verified. Errors are the reader's own.

    The file is opened once and read through that one handle: a writer that renames a new file
    over it meanwhile cannot mix the old file's footer with the new file's pages.
    """
    import pyarrow as pa
    import pyarrow.parquet as pq

    name = _os.fspath(path)
    if _os.path.isdir(name):
        raise IsADirectoryError(21, "Is a directory", name)
    with pa.OSFile(name, "rb") as source:
        return pq.read_table(source, page_checksum_verification=True)


def is_missing_file_error(error: BaseException) -> bool:
    """True for errors that say the file is not there (or not a readable file), not damaged."""
    return isinstance(error, (FileNotFoundError, IsADirectoryError, NotADirectoryError, PermissionError))


def _datetime_unit(numpy_type: _Any) -> "str | None":
    """"s" for "datetime64[s]" (also with a time zone: "datetime64[s, UTC]"); None otherwise."""
    if not isinstance(numpy_type, str) or not numpy_type.startswith("datetime64["):
        return None
    unit = numpy_type[len("datetime64[") :].split(",")[0].rstrip("]").strip()
    return unit if unit in ("s", "ms", "us", "ns") else None


def _pandas_metadata(table) -> dict[str, _Any]:
    raw = (table.schema.metadata or {}).get(b"pandas")
    return _json.loads(raw) if raw else {}


def write_ruzi(table, path: str | _os.PathLike[str]) -> None:
    """Write a RUZI table (from :func:`to_ruzi`) to ``path``: page checksums on, and crash-safe,
    so a reader or a crash sees the earlier file or the new one, never a part."""
    write_parquet(table, path)


def read_ruzi(path: str | _os.PathLike[str]) -> tuple[_pd.DataFrame, _Any]:
    """Read a RUZI file back: the frame as it was exported and its metadata context.

    ``ValueError`` naming the file when it is not a RUZI file or is damaged (a page checksum or
    the recorded digest does not match, or the file cannot be decoded).
    """
    table, context = _read_ruzi_table(path)
    try:
        return _decode(table, context)
    except Exception as error:
        raise ValueError(f"damaged RUZI file: {_os.fspath(path)}: it cannot be decoded ({error})") from error


def _read_ruzi_table(path: str | _os.PathLike[str]):
    """The Arrow table of a RUZI file, its checksums and digest verified, and its RUZI context
    (read_ruzi without the conversion to a frame)."""
    name = _os.fspath(path)
    try:
        table = read_parquet(path)
    except Exception as error:
        if is_missing_file_error(error):
            raise
        raise ValueError(f"not a RUZI file or damaged: {name} ({error})") from error
    raw = (table.schema.metadata or {}).get(METADATA_KEY)
    if raw is None:
        raise ValueError(
            f"not a RUZI file: {name} is a Parquet file without the {METADATA_KEY.decode()} metadata"
        )
    try:
        context = _json.loads(raw)
        if context.get("format") != FORMAT_NAME:
            raise ValueError("unknown format")
    except (ValueError, AttributeError) as error:
        raise ValueError(f"not a RUZI file: {name} has unreadable RUZI metadata") from error
    version = context.get("version")
    if version not in READABLE_VERSIONS:
        raise ValueError(f"unsupported RUZI version {version!r} in {name}; this lumoreq reads "
                         f"versions {', '.join(map(str, READABLE_VERSIONS))}")
    if version >= 2:
        try:
            check_digest(table, METADATA_KEY, context.get("digest"))
        except Exception as error:
            raise ValueError(f"damaged RUZI file: {name}: {error}") from error
    return table, context


def _decode(table, context) -> tuple[_pd.DataFrame, _Any]:
    frame = table.to_pandas()
    described_columns = _pandas_metadata(table).get("columns", [])
    # Parquet keeps time in milli-, micro- or nanoseconds only: a seconds column or index comes
    # back in milliseconds unless its unit is put back.
    index_names = [c for c in _pandas_metadata(table).get("index_columns", []) if isinstance(c, str)]
    for described in described_columns:
        unit = _datetime_unit(described.get("numpy_type"))
        name = described.get("field_name")
        if unit is None:
            continue
        if name in index_names and len(index_names) == 1 and isinstance(frame.index, _pd.DatetimeIndex):
            if frame.index.unit != unit:
                frame.index = frame.index.as_unit(unit)
        elif name in frame.columns and list(frame.columns).count(name) == 1:
            column = frame[name]
            if hasattr(column, "dt") and getattr(column.dt, "unit", unit) != unit:
                frame[name] = column.dt.as_unit(unit)
    # Text columns that were plain Python objects come back as pandas' text dtype; give them
    # back their object dtype (missing values as None) so the frame is the one exported.
    for described in described_columns:
        name = described.get("field_name")
        if (
            described.get("numpy_type") == "object"
            and described.get("pandas_type") in ("unicode", "empty")
            and name in frame.columns
            and list(frame.columns).count(name) == 1
            and frame[name].dtype != object
        ):
            frame[name] = _pd.Series(table.column(name).to_pylist(), index=frame.index, dtype=object)
    return frame, context.get("metadata")
