"""Local copy of the observation database's dictionary tables.

The metadata look-ups of ``lumoreq.fetching`` ask the database first and fall back to this
cache when it cannot be asked, so station, item and method names still resolve offline, and
the plotter can label its panels without a connection. Each dictionary table is one Parquet
file in the cache directory (default: ``~/.local/share/lumoreq/metadata``; on Windows
``%LOCALAPPDATA%\\lumoreq\\metadata``), written by :meth:`MetadataCache.refresh_cache`.

Identifier columns (``STATIONID``, ``POINTID``, ``ITEMID``, ``METHODID``) are text in every frame
returned here, as in the fetched time-series tables, so look-ups by identifier match.
"""

from __future__ import annotations

import os
from pathlib import Path

import pandas as pd

SCHEMA = "ZODUZA"

# short name -> dictionary table; the order is the order of refresh_cache
TABLES = {
    "stations": "QZ_DICT_STATIONS",
    "points": "QZ_DICT_POINTS",
    "items": "QZ_DICT_ITEMS",
    "methods": "QZ_DICT_METHODS",
    "stationitems": "QZ_DICT_STATIONITEMS",
}

ID_COLUMNS = ("STATIONID", "POINTID", "ITEMID", "METHODID")


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
    def _file(cls, name: str, cache_dir=None) -> Path:
        if name not in TABLES:
            raise KeyError(f"unknown metadata table {name!r}; known: {', '.join(TABLES)}")
        return cls.resolve_cache_dir(cache_dir) / f"{name}.parquet"

    @classmethod
    def refresh_cache(cls, conn=None, cache_dir=None, tables=None) -> dict[str, Path]:
        """Read the dictionary tables from ``conn`` and store them; returns {name: file written}.

        ``tables``: short names (``"stations"``, ``"points"``, ``"items"``, ``"methods"``,
        ``"stationitems"``); ``None`` stores all of them.
        """
        if conn is None:
            raise ValueError("refresh_cache needs a database connection")
        names = list(TABLES) if tables is None else [tables] if isinstance(tables, str) else list(tables)
        for name in names:
            cls._file(name)  # unknown names fail before anything is written
        root = cls.resolve_cache_dir(cache_dir)
        root.mkdir(parents=True, exist_ok=True)
        written = {}
        for name in names:
            frame = _read_table(conn, TABLES[name])
            target = cls._file(name, cache_dir)
            # Write beside the target and rename, so a reader never sees half a file.
            partial = target.with_name(target.name + ".partial")
            frame.to_parquet(partial, index=False)
            os.replace(partial, target)
            written[name] = target
        return written

    @classmethod
    def store_tables(cls, frames: dict, cache_dir=None) -> dict[str, Path]:
        """Store ready-made dictionary tables ``{short name: frame}``; returns {name: file written}.

        For tables that come from somewhere other than a database, such as the station and item
        records kept in a RUZI file. Unknown names fail before anything is written.
        """
        for name in frames:
            cls._file(name)
        root = cls.resolve_cache_dir(cache_dir)
        root.mkdir(parents=True, exist_ok=True)
        written = {}
        for name, frame in frames.items():
            target = cls._file(name, cache_dir)
            partial = target.with_name(target.name + ".partial")
            _normalise(pd.DataFrame(frame).copy()).to_parquet(partial, index=False)
            os.replace(partial, target)
            written[name] = target
        return written

    @classmethod
    def get_table(cls, name: str, cache_dir=None) -> pd.DataFrame:
        """One stored dictionary table; ``FileNotFoundError`` when it has not been stored."""
        path = cls._file(name, cache_dir)
        if not path.exists():
            raise FileNotFoundError(f"metadata cache file not found: {path}")
        return _normalise(pd.read_parquet(path))

    @classmethod
    def get_timeseries_info(cls, conn=None, cache_dir=None, refresh=False):
        """(stations, points, items): from the database when ``conn`` is given, else from the files.

        ``refresh`` with a connection stores the tables first. A connection that fails is rolled
        back and the stored copy answers; ``FileNotFoundError`` when there is none.
        """
        names = ("stations", "points", "items")
        if conn is not None:
            try:
                if refresh:
                    cls.refresh_cache(conn=conn, cache_dir=cache_dir)
                return tuple(_read_table(conn, TABLES[n]) for n in names)
            except Exception:
                _rollback(conn)
        return tuple(cls.get_table(n, cache_dir=cache_dir) for n in names)
