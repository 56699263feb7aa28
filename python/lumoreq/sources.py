"""Where the data come from, for the command line and the network-scale jobs alike.

A source is a settings section name (an Oracle database of default.conf), the path of a sample
network (a DuckDB file), or an SQLAlchemy URL. This module tells them apart, opens them (one
connection of its own, or one out of a pool each process keeps per source), and holds the reads
of the dictionary tables and of the rainfall that both make.
"""

from __future__ import annotations

import contextlib
import difflib
import os
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

SCHEMA = "ZODUZA"  # the schema of the observation database's tables

RAIN_METHOD = "气象"  # a part of a method name: the categories leave the weather method out
RAIN_ITEM = "降雨量"
METHOD_CATEGORIES = ("形变", "电磁", "流体", "全部")  # method names that stand for a family


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


def open_sample(path):
    """A connection to the sample network at ``path`` (read-only: any number of commands, workers
    and processes read the file at once); the caller closes it."""
    from . import sample

    return sample.connect(path, read_only=True)


def _open(source: str):
    """A connection to ``source`` of its own (no pool); the caller closes it."""
    kind = _source_kind(source)
    if kind == "sample":
        path = Path(source)
        if not path.is_file():
            raise ConnectionError(f"sample network not found: {path}")
        return open_sample(path)
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
# Dictionary tables and rainfall
# ---------------------------------------------------------------------------------------------


def _read_dictionary(conn, table: str, columns: str) -> pd.DataFrame:
    import pandas as pd  # here, not at the top: the command line imports this module to start

    frame = pd.read_sql(f"SELECT {columns} FROM {SCHEMA}.{table}", con=conn)
    frame.columns = [str(c).upper() for c in frame.columns]
    return frame


def _names_hint(kind: str, wanted: str, names: list[str], listing: str, also: str = "") -> str:
    """"did you mean X?" for a near miss, then the names that exist (or where to see them)."""
    names = [n for n in dict.fromkeys(str(n) for n in names if n is not None and str(n) != "nan")]
    close = difflib.get_close_matches(wanted, names, n=1, cutoff=0.5)
    if not close:
        # A near miss of a part of a name (常平 for 昌平台): compare with the names' leading parts.
        scored = [(difflib.SequenceMatcher(None, wanted, name[: len(wanted)]).ratio(), name) for name in names]
        best = max(scored, default=(0.0, ""))
        if best[0] >= 0.5:
            close = [best[1]]
    guess = f"; did you mean {close[0]}?" if close else ""
    if not names:
        return f"{guess} ({also}the source lists no {kind})"
    if len(names) <= 24:
        return f"{guess} ({also}{kind}: {', '.join(names)})"
    return f"{guess} ({also}{len(names)} {kind}: `lumoreq list {listing}` shows them)"


def rainfall_by_station(conn, first: str, last: str, kind: str = "预处理库", station: str = "全部",
                        stations=None, method: str = RAIN_METHOD, item: Any = RAIN_ITEM) -> dict:
    """Day totals of rainfall from ``first`` to ``last`` (YYYYMMDD) per station: a series each,
    from the station's first point that measures it. ``stations``: only these identifiers."""
    from . import fetching

    rain = fetching.fetching_data(conn, first, last, method, station, "日均值", kind, itemname=item)
    if rain is None or rain.empty or "STATIONID" not in rain.columns:
        return {}
    wanted = None if stations is None else {str(s) for s in stations}
    return {
        key: group.loc[group["POINTID"] == group["POINTID"].iloc[0], "OBSVALUE"]
        for key, group in rain.groupby("STATIONID", sort=False)
        if wanted is None or str(key) in wanted
    }


def checked_catalogue(path, describe=lambda error: f"{type(error).__name__}: {error}") -> str:
    """The catalogue's absolute path once it has been read whole, so that a missing or unreadable
    catalogue fails before anything is drawn: FileNotFoundError, or ValueError naming the file
    (``describe`` words the reader's error)."""
    from pathlib import Path

    target = Path(path).resolve()
    if not target.exists():
        raise FileNotFoundError(f"no such catalogue file: {target}")
    if not target.is_file():
        raise ValueError(f"the catalogue {target} is not a file")
    try:
        from . import QCAT

        QCAT.read_QCAT(str(target))
    except Exception as error:
        raise ValueError(f"cannot read the catalogue {target}: {describe(error)}") from error
    return str(target)
