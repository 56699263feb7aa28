"""Local copy of the observation database's dictionary tables.

The metadata look-ups of ``lumoreq.fetching`` ask the database first and fall back to this
cache when it cannot be asked, so station, item and method names still resolve offline, and
the plotter can label its panels without a connection. The cache directory (default:
``~/.local/share/lumoreq/metadata``; on Windows ``%LOCALAPPDATA%\\lumoreq\\metadata``) is
written by :meth:`MetadataCache.refresh_cache`.

Layout: every refresh writes a complete generation folder ``gen-<time>-<pid>-<random>/`` with
one Parquet file per dictionary table (``stations.parquet``, ...), and only then switches the
pointer file ``CURRENT`` (one line: the generation's folder name) to it. A refresh that fails
or is killed leaves the previous generation in use; two refreshes at once both succeed (the
one that switches last is used). The two newest earlier generations are kept for readers
still on them; older ones are removed. A directory written by earlier versions (the tables
directly in it, no ``CURRENT``) is still read until the first refresh.

Each file is written with Parquet page checksums and carries a SHA-256 digest of its schema
and columns; reading verifies both, and a file that fails is reported with its path and how
to refresh the cache, never read as wrong names.

Identifier columns (``STATIONID``, ``POINTID``, ``ITEMID``, ``METHODID``) are text in every frame
returned here, as in the fetched time-series tables, so look-ups by identifier match.
"""

from __future__ import annotations

import os
import shutil
import time
from pathlib import Path

import pandas as pd

from .sources import SCHEMA

# short name -> dictionary table; the order is the order of refresh_cache
TABLES = {
    "stations": "QZ_DICT_STATIONS",
    "points": "QZ_DICT_POINTS",
    "items": "QZ_DICT_ITEMS",
    "methods": "QZ_DICT_METHODS",
    "stationitems": "QZ_DICT_STATIONITEMS",
}

ID_COLUMNS = ("STATIONID", "POINTID", "ITEMID", "METHODID")

POINTER = "CURRENT"
GENERATION_PREFIX = "gen-"
# Earlier generations kept beside the current one, for readers that are still on them.
KEEP_GENERATIONS = 2
# Schema metadata of a cache file: JSON {"format", "version", "table", "digest"}.
CACHE_KEY = b"lumoreq.metadata_cache"
CACHE_FORMAT = "lumoreq metadata cache"
CACHE_VERSION = 1

HOW_TO_REFRESH = (
    "refresh the cache from the database with lumoreq.fetching.refresh_metadata_cache(conn) "
    "(or MetadataCache.refresh_cache(conn=conn, cache_dir=...))"
)


def _default_root() -> Path:
    if os.name == "nt":
        base = os.environ.get("LOCALAPPDATA")
        root = Path(base) if base is not None else Path.home() / "AppData" / "Local"
        return root / "lumoreq"
    return Path.home() / ".local" / "share" / "lumoreq"


def _id_text(column: pd.Series) -> pd.Series:
    """Identifiers as text; whole numbers read as floats (a column with gaps) lose their ".0"."""
    if pd.api.types.is_float_dtype(column):
        whole = column.dropna()
        if (whole == whole.round()).all():
            column = column.astype("Int64")
    text = column.astype(str)
    return text.where(column.notna(), None) if column.isna().any() else text


def _normalise(frame: pd.DataFrame) -> pd.DataFrame:
    frame.columns = [str(c).upper() for c in frame.columns]
    for col in ID_COLUMNS:
        if col in frame.columns:
            frame[col] = _id_text(frame[col])
    return frame


def _read_table(conn, table: str) -> pd.DataFrame:
    import sqlalchemy

    return _normalise(pd.read_sql(sqlalchemy.text(f"SELECT * FROM {SCHEMA}.{table}"), con=conn))


def _rollback(conn) -> None:
    # A failed statement leaves some engines in an aborted transaction; this use is read-only.
    try:
        conn.rollback()
    except Exception:
        pass


def _first_line(error: BaseException) -> str:
    """The error's text on one line (at most 300 characters)."""
    text = " ".join(str(error).split())
    return text if len(text) <= 300 else text[:297] + "..."


def _root_cause(error: BaseException) -> str:
    """The innermost cause of a chained error (a driver's own error under pandas' wrapper), as
    "Type: text"."""
    while error.__cause__ is not None and error.__cause__ is not error:
        error = error.__cause__
    return f"{type(error).__name__}: {_first_line(error)}"


def _write_table(frame: pd.DataFrame, path: Path, table_name: str) -> None:
    """One cache file: page checksums on, the digest of schema and columns in its metadata."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from . import _files, export

    table = pa.Table.from_pandas(frame, preserve_index=False)
    context = {"format": CACHE_FORMAT, "version": CACHE_VERSION, "table": table_name}
    # Written straight into the staging folder: the generation is published in one step later.
    pq.write_table(export.seal(table, CACHE_KEY, context), path, write_page_checksum=True)
    _files.sync_file(path)


def _read_file(path: Path) -> pd.DataFrame:
    """A cache file's frame, checksums and digest verified; ValueError naming it when damaged."""
    import json

    from . import export

    try:
        table = export.read_parquet(path)
    except Exception as error:
        if export.is_missing_file_error(error):
            raise
        raise _damaged(path, error) from error
    raw = (table.schema.metadata or {}).get(CACHE_KEY)
    try:
        if raw is not None:  # files of earlier versions carry no digest
            context = json.loads(raw)
            if context.get("format") != CACHE_FORMAT:
                raise ValueError("it is not a metadata cache file")
            export.check_digest(table, CACHE_KEY, context.get("digest"))
        return _normalise(table.to_pandas())
    except Exception as error:
        raise _damaged(path, error) from error


def _damaged(path: Path, error: BaseException) -> ValueError:
    return ValueError(f"metadata cache file {path} is damaged or unreadable ({type(error).__name__}: "
                      f"{_first_line(error)}); {HOW_TO_REFRESH}")


def _prune(root: Path, current: str) -> None:
    """Remove generations older than the current one and the KEEP_GENERATIONS newest others."""
    generations = sorted(p.name for p in root.iterdir() if p.name.startswith(GENERATION_PREFIX) and p.is_dir())
    others = [g for g in generations if g != current]
    for name in others[: max(0, len(others) - KEEP_GENERATIONS)]:
        if name < current:
            shutil.rmtree(root / name, ignore_errors=True)


class MetadataCache:
    """本地元数据缓存：数据库字典表的 Parquet 副本。"""

    TABLES = TABLES

    @classmethod
    def resolve_cache_dir(cls, cache_dir=None) -> Path:
        """The cache directory used for ``cache_dir`` (``None``: the per-user default)."""
        if cache_dir is None:
            return _default_root() / "metadata"
        return Path(cache_dir)

    @classmethod
    def _check_name(cls, name: str) -> None:
        if name not in TABLES:
            raise KeyError(f"unknown metadata table {name!r}; known: {', '.join(TABLES)}")

    @classmethod
    def current_generation(cls, cache_dir=None) -> Path | None:
        """The folder holding the cache's current tables; None when nothing was refreshed in the
        generation layout (an earlier version's files directly in the directory, or nothing)."""
        root = cls.resolve_cache_dir(cache_dir)
        pointer = root / POINTER
        try:
            text = pointer.read_text(encoding="utf-8").strip()
        except FileNotFoundError:
            return None
        except (OSError, UnicodeDecodeError) as error:
            raise ValueError(f"metadata cache pointer {pointer} cannot be read ({error}); {HOW_TO_REFRESH}") from error
        if not text.startswith(GENERATION_PREFIX) or os.sep in text or "/" in text or text in (".", ".."):
            raise ValueError(f"metadata cache pointer {pointer} is damaged (it holds {text[:60]!r}); {HOW_TO_REFRESH}")
        return root / text

    @classmethod
    def _folder(cls, cache_dir=None) -> Path:
        generation = cls.current_generation(cache_dir)
        return generation if generation is not None else cls.resolve_cache_dir(cache_dir)

    @classmethod
    def _file(cls, name: str, cache_dir=None) -> Path:
        cls._check_name(name)
        return cls._folder(cache_dir) / f"{name}.parquet"

    @classmethod
    def refresh_cache(cls, conn=None, cache_dir=None, tables=None) -> dict[str, Path]:
        """Read the dictionary tables from ``conn`` and store them; returns {name: file written}.

        ``tables``: short names (``"stations"``, ``"points"``, ``"items"``, ``"methods"``,
        ``"stationitems"``); ``None`` stores all of them. All or nothing: every table is read
        first, then a new generation folder is written and switched to in one step; the tables
        not asked for are carried over from the current generation. The files returned are in
        that generation folder (``<cache_dir>/gen-.../<name>.parquet``).
        """
        if conn is None:
            raise ValueError("refresh_cache needs a database connection")
        names = list(TABLES) if tables is None else [tables] if isinstance(tables, str) else list(tables)
        for name in names:
            cls._check_name(name)  # unknown names fail before anything is read or written
        frames = {name: _read_table(conn, TABLES[name]) for name in names}
        return cls._publish(frames, cache_dir)

    @classmethod
    def _publish(cls, frames: dict, cache_dir=None) -> dict[str, Path]:
        """Write ``frames`` as a new generation (the other tables carried over from the current
        one) and switch the pointer to it last; returns {name: file written}."""
        from . import _files

        root = cls.resolve_cache_dir(cache_dir)
        root.mkdir(parents=True, exist_ok=True)
        _files.sweep(root)  # generations a killed refresh left half-written
        try:
            previous = cls.current_generation(cache_dir)
        except ValueError:
            previous = None  # a damaged pointer: this refresh replaces it
        staging = Path(_files.temp_name(root / "gen"))
        staging.mkdir()
        try:
            for name, frame in frames.items():
                _write_table(frame, staging / f"{name}.parquet", TABLES[name])
            for name in TABLES:
                if name in frames:
                    continue
                # Not asked for: the current copy goes on into the new generation.
                source = (previous if previous is not None else root) / f"{name}.parquet"
                if source.is_file():
                    shutil.copyfile(source, staging / f"{name}.parquet")
                    _files.sync_file(staging / f"{name}.parquet")
            generation = root / f"{GENERATION_PREFIX}{time.time_ns():020d}-{os.getpid()}-{staging.name.split('.')[-2]}"
            _files.commit(staging, generation)  # the folder flushed, renamed, its parent flushed
        except BaseException:
            shutil.rmtree(staging, ignore_errors=True)
            raise
        _files.write_bytes(root / POINTER, (generation.name + "\n").encode("utf-8"))
        _prune(root, generation.name)
        return {name: generation / f"{name}.parquet" for name in frames}

    @classmethod
    def store_tables(cls, frames: dict, cache_dir=None) -> dict[str, Path]:
        """Store ready-made dictionary tables ``{short name: frame}``; returns {name: file written}.

        For tables that come from somewhere other than a database, such as the station and item
        records kept in a RUZI file. Unknown names fail before anything is written.
        """
        for name in frames:
            cls._check_name(name)
        return cls._publish({name: _normalise(pd.DataFrame(frame).copy()) for name, frame in frames.items()}, cache_dir)

    @classmethod
    def get_table(cls, name: str, cache_dir=None) -> pd.DataFrame:
        """One stored dictionary table; ``FileNotFoundError`` when it has not been stored,
        ``ValueError`` naming the file when it cannot be read (damaged)."""
        return cls.get_tables([name], cache_dir)[name]

    @classmethod
    def get_tables(cls, names, cache_dir=None) -> dict[str, pd.DataFrame]:
        """Several stored tables, all of one generation (never some from before a refresh and
        some from after it); errors as :meth:`get_table`."""
        names = list(names)
        for name in names:
            cls._check_name(name)
        for attempt in range(3):
            folder = cls._folder(cache_dir)
            try:
                return {name: _read_file(folder / f"{name}.parquet") for name in names}
            except FileNotFoundError as error:
                # A refresh may have switched generations and removed this one meanwhile.
                if attempt < 2 and cls._folder(cache_dir) != folder:
                    continue
                path = next((folder / f"{n}.parquet" for n in names if not (folder / f"{n}.parquet").is_file()),
                            folder / f"{names[0]}.parquet")
                # (no .filename: it would turn the message into "[Errno None] None: ...")
                missing = FileNotFoundError(f"metadata cache file not found: {path}")
                missing.add_note(HOW_TO_REFRESH)
                raise missing from error
        raise AssertionError("unreachable")

    @classmethod
    def get_timeseries_info(cls, conn=None, cache_dir=None, refresh=False):
        """(stations, points, items): from the database when ``conn`` is given, else from the files.

        ``refresh`` with a connection stores the tables first. A connection that fails is rolled
        back and the stored copy answers; ``FileNotFoundError`` when there is none.
        """
        names = ("stations", "points", "items")
        database_error = None
        if conn is not None:
            try:
                if refresh:
                    cls.refresh_cache(conn=conn, cache_dir=cache_dir)
                return tuple(_read_table(conn, TABLES[n]) for n in names)
            except Exception as error:
                database_error = error
                _rollback(conn)
        try:
            tables = cls.get_tables(names, cache_dir=cache_dir)
            return tuple(tables[n] for n in names)
        except Exception as error:
            if database_error is not None:
                cls._note_database_failure(error, database_error)
            raise

    @staticmethod
    def _note_database_failure(error: BaseException, database_error: BaseException) -> None:
        """The cache was only asked because the database failed: the cache's error says so, and
        its chain leads to the database's own error (the real cause)."""
        error.add_note(f"the database was asked first and failed: {_root_cause(database_error)}")
        error.__cause__ = error.__context__ = database_error
