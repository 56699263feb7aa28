"""The embedded sample network: a synthetic observation network in a DuckDB file.

No Oracle server runs on a developer's machine, so the demo, the tests and the benchmarks read
from this stand-in. It holds the schema ``ZODUZA`` with the same dictionary tables, data tables,
``ALL_TABLES`` view and ``TO_DATE`` function that the statements sent to Oracle use, so those
statements run on it unchanged.

Layout
------
Dictionary tables (identifiers are text, except ``STATIONID``, a number as in the network's
Oracle tables)::

    ZODUZA.QZ_DICT_STATIONS      STATIONID, STATIONNAME, LONGITUDE, LATITUDE, ALTITUDE
    ZODUZA.QZ_DICT_POINTS        STATIONID, POINTID, POINTNAME, LONGITUDE, LATITUDE
    ZODUZA.QZ_DICT_ITEMS         ITEMID, ITEMNAME, UNIT, METHODID
    ZODUZA.QZ_DICT_METHODS       METHODID, METHODNAME
    ZODUZA.QZ_DICT_STATIONITEMS  STATIONID, POINTID, ITEMID

Data tables are named ``<kind>_<rate>_<method>[_<suffix>]``:

* ``<kind>``: ``DYS`` (raw), ``DYU`` (preprocessed) or ``CP`` (product);
* ``<rate>``: ``02`` (second), ``01`` (minute), ``60`` (hour) or ``90`` (day);
* ``<method>``: the three-digit method identifier (``221``, ``231``, ``311``, ``411``, ``412``,
  ``417``). None of them holds ``01``, ``02``, ``60`` or ``90``, and the parts are separated by
  ``_``, so a two-character code searched anywhere in a name (``LIKE '%01%'``) finds only its
  own tables;
* ``<suffix>``: product tables end in ``_AVG`` (day) or ``_INS`` (hour).

Work-log tables ``QZ_LOG_<method>`` (``STATIONID, POINTID, ITEMID, STARTDATE, ENDDATE, EVTID,
NOTE``) hold a few events per series (``EVTID`` ``"313"`` calibration, ``"101"`` power cut,
``"205"`` disturbance, ``"418"`` instrument fault); ``DataFetcher.fetch_dialog`` reads them.

Tables that table discovery must never return: ``DYU_01_231_DEV_TEST`` (a ``_DEV_`` table, with
a different column layout) and ``CP_90_231_RES`` (a product table that is neither ``AVG`` nor
``INS``).

Column layouts (all tables of one kind and rate share one):

* ``DYU``: ``STATIONID, POINTID, ITEMID, STARTDATE, SAMPLERATE, OBSVALUE``; ``SAMPLERATE`` is
  the identifier text (``"01"``); minute and second ``OBSVALUE`` is gzip-compressed (BLOB);
* ``DYS``: ``STATIONID, POINTID, ITEMID, STARTDATE, OBSVALUE`` (no ``SAMPLERATE``), plain text;
* ``CP``: ``STATIONID, POINTID, ITEMID, STARTDATE, SAMPLERATE, OBSVALUE, DATAFLAG`` with
  ``SAMPLERATE`` a number (``60.0``, ``90.0``).

One row per series and day: 1 value (day), 24 (hour), 1,440 (minute) or 86,400 (second),
separated by single blanks, ``NULL`` for a missing sample, ``NULLALL`` for a day without any.
The raw (``DYS``) minute and second tables hold the same texts as ``DYU``, uncompressed.

The earthquake catalogue (:func:`write_catalogue`) is a fixed-column text file with events near
and far from the stations over the same period, and a few malformed lines.

A network is complete or absent. :func:`build` publishes the catalogue first and the database
last, each written beside its target and renamed over it, and the database records the
catalogue's SHA-256 (table ``main.lumoreq_sample_info``), so a network whose build was killed,
or whose catalogue does not match, is found out by :func:`check` and rebuilt by
:func:`default_path` instead of being used.
"""

from __future__ import annotations

import gzip
import hashlib
import os
from pathlib import Path

import numpy as np
import pandas as pd

from .sources import SCHEMA
START = "2024-01-01"

# id, name, longitude, latitude, altitude (m)
STATIONS = [
    (11012, "昌平台", 116.26, 40.21, 82.0),
    (13021, "易县台", 115.50, 39.35, 120.0),
    (32005, "南京台", 118.78, 32.06, 15.0),
    (37005, "泰安台", 117.12, 36.19, 160.0),
    (51003, "成都台", 104.07, 30.67, 505.0),
    (62001, "兰州台", 103.83, 36.06, 1520.0),
    (65008, "乌鲁木齐台", 87.62, 43.82, 800.0),
]

METHODS = [
    ("221", "水管倾斜"),
    ("231", "钻孔分量应变"),
    ("311", "地电阻率"),
    ("411", "水位"),
    ("412", "水温"),
    ("417", "气象三要素"),
]

# id, name, unit
ITEMS = [
    ("2211", "水管倾斜-北南", "ms"),
    ("2212", "水管倾斜-东西", "ms"),
    ("2311", "分量应变-北南", "10-10"),
    ("2312", "分量应变-东西", "10-10"),
    ("2313", "分量应变-北东", "10-10"),
    ("2314", "分量应变-北西", "10-10"),
    ("3111", "地电阻率-北南", "Ω·m"),
    ("3112", "地电阻率-东西", "Ω·m"),
    ("4112", "静水位", "m"),
    ("4121", "水温", "℃"),
    ("4173", "降雨量", "mm"),
]

# station -> [(point, method)]; a point holds all items of its method(s)
INSTRUMENTS = {
    11012: [("1", "231"), ("2", "221"), ("3", "417")],
    13021: [("1", "221"), ("2", "411"), ("2", "412")],
    32005: [("1", "311")],
    37005: [("1", "231"), ("2", "411"), ("3", "417")],
    51003: [("1", "311"), ("2", "221")],
    62001: [("1", "231"), ("2", "412")],
    65008: [("1", "411"), ("2", "311")],
}

RATES = {"02": 1, "01": 60, "60": 3600, "90": 86400}


def series_keys() -> list[tuple[int, str, str]]:
    """Every (station, point, item) of the network, in a fixed order."""
    keys = []
    for station, instruments in INSTRUMENTS.items():
        for point, method in instruments:
            for item, _, _ in ITEMS:
                if item[:3] == method:
                    keys.append((station, point, item))
    return keys


def data_dir() -> Path:
    """The per-user data directory of lumoreq (``~/.local/share/lumoreq``; Windows: LOCALAPPDATA)."""
    if os.name == "nt":
        base = os.environ.get("LOCALAPPDATA")
        root = Path(base) if base is not None else Path.home() / "AppData" / "Local"
        return root / "lumoreq"
    return Path.home() / ".local" / "share" / "lumoreq"


# Bumped whenever the generated contents change, so a network built by an older version is
# not reused by the demo (the file name carries it).
DATA_VERSION = 2


INFO_TABLE = "main.lumoreq_sample_info"
CATALOGUE_NAME = "catalogue.txt"


def default_path(build_if_missing: bool = True) -> Path:
    """The demo's sample network, ``<data dir>/sample/network-v<DATA_VERSION>.duckdb``; built when
    missing, half-built or not matching its catalogue."""
    path = data_dir() / "sample" / f"network-v{DATA_VERSION}.duckdb"
    if build_if_missing:
        ensure(path)
    return path


def default_catalogue_path(build_if_missing: bool = True) -> Path:
    """The earthquake catalogue that goes with :func:`default_path`; the network is (re)built
    when the catalogue is missing or does not match it."""
    return default_path(build_if_missing).with_name(CATALOGUE_NAME)


def ensure(path, catalogue: bool = True, **build_args) -> Path:
    """``path`` as a complete sample network: built (with ``build_args``) unless :func:`check`
    finds it complete already."""
    from . import _files

    path = Path(path)
    if path.parent.is_dir():
        _files.sweep(path.parent)  # what killed builds left here
    try:
        check(path, catalogue=catalogue)
    except (FileNotFoundError, ValueError):
        build(path, catalogue=catalogue, **build_args)
    return path


def check(path, catalogue: bool = True) -> dict[str, str]:
    """The build record of the complete sample network at ``path``.

    ``FileNotFoundError`` when there is none; ``ValueError`` saying why when the file is not a
    complete sample network (damaged, half-built, of another data version) or, with
    ``catalogue``, when the catalogue beside it is missing or not the one it was built with.
    """
    import duckdb

    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no sample network at {path}")
    try:
        con = duckdb.connect(str(path), read_only=True)
    except Exception as error:
        if "lock" in str(error).lower():
            raise  # another process writes it: in use, not damaged
        raise ValueError(f"the sample network {path} cannot be opened: {error}") from error
    try:
        record = dict(con.execute(f"SELECT key, value FROM {INFO_TABLE}").fetchall())
    except Exception as error:
        raise ValueError(f"the sample network {path} is incomplete (no build record): {error}") from error
    finally:
        con.close()
    if record.get("complete") != "yes" or record.get("data_version") != str(DATA_VERSION):
        raise ValueError(f"the sample network {path} is incomplete or of another data version ({record})")
    if catalogue and record.get("catalogue_sha256"):
        beside = path.with_name(CATALOGUE_NAME)
        try:
            digest = hashlib.sha256(beside.read_bytes()).hexdigest()
        except FileNotFoundError:
            raise ValueError(f"the catalogue of the sample network {path} is missing: {beside}") from None
        if digest != record["catalogue_sha256"]:
            raise ValueError(f"the catalogue {beside} is not the one the sample network {path} was built with")
    return record


def connect(path, read_only: bool = True):
    """An SQLAlchemy connection to the sample network at ``path``; the caller closes it.

    Read-only by default, so any number of processes (commands, notebooks) read the same file
    at once; :func:`build` is what writes it. ``read_only=False`` takes DuckDB's single writer
    lock. Closing the connection leaves the engine's pool empty (no pooling), so the file is
    released.
    """
    import sqlalchemy

    path = Path(path)
    engine = sqlalchemy.create_engine(
        f"duckdb:///{path}", poolclass=sqlalchemy.pool.NullPool, connect_args={"read_only": bool(read_only)}
    )
    try:
        return engine.connect()
    except Exception as error:
        error.add_note(f"opening the sample network {path} ({'read-only' if read_only else 'for writing'}) failed; "
                       "rebuild it with lumoreq.sample.build(path) if it is damaged")
        raise


# --------------------------------------------------------------------------------------------
# Series models: vectorised over all samples of one series
# --------------------------------------------------------------------------------------------


def _model(item: str, hours: np.ndarray, rng: np.random.Generator, dt_hours: float) -> np.ndarray:
    """Values of one series at ``hours`` since the start (steps, spikes and gaps added later)."""
    n = hours.size
    days = hours / 24.0
    season = np.sin(2 * np.pi * (days - 100.0) / 365.25)
    noise_scale = np.sqrt(max(dt_hours, 1 / 3600) / 1.0)
    method = item[:3]
    phase = rng.uniform(0, 2 * np.pi)
    tides = np.sin(2 * np.pi * hours / 12.4206 + phase) + 0.6 * np.sin(2 * np.pi * hours / 25.8193 + phase)
    if dt_hours >= 24:
        tides = np.zeros_like(hours)  # a daily mean has no tides
    if method == "231":  # borehole strain: tides on a strong drift
        v = rng.uniform(-500, 500) + rng.uniform(2, 8) * days + 30 * tides + 5 * season
        v += np.cumsum(rng.normal(0, 0.4 * noise_scale, n))
    elif method == "221":  # tilt: tides, drift and a seasonal term
        v = rng.uniform(-50, 50) + rng.uniform(-0.05, 0.05) * days + 8 * tides + 20 * season
        v += np.cumsum(rng.normal(0, 0.05 * noise_scale, n))
    elif method == "311":  # resistivity: about 1 % annual variation
        base = rng.uniform(20, 80)
        v = base * (1 + 0.01 * season) + rng.normal(0, 0.02 * base / 100, n)
    elif method == "411":  # water level (m below the well head): seasonal, small tides
        v = rng.uniform(3, 12) - 0.6 * season + 0.01 * tides + rng.uniform(-0.001, 0.001) * days
        v += np.cumsum(rng.normal(0, 0.001 * noise_scale, n))
    elif method == "412":  # water temperature
        v = rng.uniform(12, 25) + 0.002 * days + rng.normal(0, 0.001, n)
    else:  # rainfall: mostly dry, showers mostly in summer
        chance = np.clip((0.01 + 0.06 * np.clip(season, 0, None)) * dt_hours, 0, 0.8)
        wet = rng.random(n) < chance
        v = np.where(wet, rng.gamma(0.8, 3.0, n) * np.sqrt(min(dt_hours, 6.0)), 0.0)
        return np.round(v, 1)
    # a few steps and spikes
    for _ in range(int(rng.integers(0, 3))):
        v[int(rng.integers(0, n)) :] += rng.normal(0, 5 * np.std(v[: min(n, 100)]) + 1e-3)
    spikes = rng.random(n) < 2e-4
    v[spikes] += rng.normal(0, 20 * (np.std(np.diff(v[: min(n, 1000)])) + 1e-3), int(spikes.sum()))
    return v


def _series_values(item: str, n_days: int, rate: int, seed: int, offset_days: int = 0):
    """(n_days, per_day) array of values, NaN for missing samples; and the NULLALL days."""
    per_day = 86400 // rate
    rng = np.random.default_rng(seed)
    hours = (np.arange(n_days * per_day) * (rate / 3600.0)) + offset_days * 24.0
    v = _model(item, hours, rng, rate / 3600.0).reshape(n_days, per_day)
    # gaps: a few stretches of missing samples within days
    if per_day > 1:
        for _ in range(max(1, n_days // 20)):
            d = int(rng.integers(0, n_days))
            a = int(rng.integers(0, per_day))
            v[d, a : a + int(rng.integers(1, max(2, per_day // 8)))] = np.nan
    nullall = rng.random(n_days) < 0.02
    return v, nullall


def _decimals(item: str) -> int:
    return {"221": 3, "231": 2, "311": 3, "411": 4, "412": 4, "417": 1}[item[:3]]


def _format_sql(decimals: int) -> str:
    """DuckDB expression: the list ``vals`` as one packed text, NULL for a missing sample."""
    return (
        "array_to_string(list_transform(vals, lambda x: CASE WHEN isnan(x) THEN 'NULL' "
        f"ELSE CAST(round(x, {decimals}) AS VARCHAR) END), ' ')"
    )


def _layout(kind: str, rate_id: str, obs_type: str) -> str:
    cols = ["STATIONID INTEGER", "POINTID VARCHAR", "ITEMID VARCHAR", "STARTDATE TIMESTAMP"]
    if kind == "DYU":
        cols.append("SAMPLERATE VARCHAR")
    elif kind == "CP":
        cols.append("SAMPLERATE DOUBLE")
    cols.append(f"OBSVALUE {obs_type}")
    if kind == "CP":
        cols.append("DATAFLAG VARCHAR")
    return ", ".join(cols)


def build(
    path,
    *,
    start: str = START,
    days: int = 731,
    minute_days: int = 91,
    second_days: int = 3,
    minute_series: int | None = None,
    second_series: int = 3,
    seed: int = 20240101,
    catalogue: bool = True,
) -> Path:
    """Write the sample network to the DuckDB file ``path`` (replaced when it exists).

    ``days`` of day and hour data, ``minute_days`` of minute data for ``minute_series`` series
    (``None``: every series but rainfall), ``second_days`` of second data for ``second_series``
    strain series, all from ``start``. The same arguments always give the same database. When
    ``catalogue`` is true, an earthquake catalogue is written beside it (``catalogue.txt``).
    """
    import duckdb

    from . import _files

    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    _files.sweep(path.parent)  # what killed builds left here
    # The catalogue is published first and the database last: until the new database is in
    # place, the old one (if any) no longer matches the catalogue and is rebuilt, not used.
    catalogue_digest = ""
    if catalogue:
        beside = write_catalogue(path.with_name(CATALOGUE_NAME), start=start, days=days, seed=seed)
        catalogue_digest = hashlib.sha256(beside.read_bytes()).hexdigest()
    with _files.atomic_path(path) as partial:
        os.remove(partial)  # DuckDB makes its own file (and its .wal beside it) under this name
        try:
            _build_database(partial, start, days, minute_days, second_days, minute_series, second_series, seed,
                            catalogue_digest)
        finally:
            wal = Path(partial + ".wal")
            if wal.exists():
                wal.unlink()
    return path


def _build_database(partial, start, days, minute_days, second_days, minute_series, second_series, seed,
                    catalogue_digest) -> None:
    import duckdb

    start_ts = pd.Timestamp(start)
    keys = series_keys()
    con = duckdb.connect(str(partial))
    try:
        con.execute("SET enable_progress_bar = false")
        con.execute(f"CREATE SCHEMA {SCHEMA}")
        _write_dictionaries(con)
        # Oracle's TO_DATE(text, 'yyyymmdd') as a DATE, so that "+1" is the next day as in Oracle.
        con.execute(
            "CREATE MACRO TO_DATE(t, f) AS CASE WHEN lower(f) = 'yyyymmdd' "
            "THEN CAST(strptime(CAST(t AS VARCHAR), '%Y%m%d') AS DATE) "
            "ELSE error('TO_DATE: only the format yyyymmdd is supported') END"
        )
        con.execute(
            f"CREATE VIEW ALL_TABLES AS SELECT table_name AS TABLE_NAME, schema_name AS OWNER "
            f"FROM duckdb_tables() WHERE schema_name = '{SCHEMA}' AND database_name = current_database()"
        )
        methods = [m for m, _ in METHODS]
        minute_keys = [k for k in keys if k[2][:3] != "417"]
        if minute_series is not None:
            minute_keys = minute_keys[:minute_series]
        second_keys = [k for k in keys if k[2][:3] == "231"][:second_series]
        # rate id -> (series, days, tables as (kind, suffix))
        plans = {
            "90": (keys, days, [("DYU", ""), ("DYS", ""), ("CP", "_AVG")]),
            "60": (keys, days, [("DYU", ""), ("DYS", ""), ("CP", "_INS")]),
            "01": (minute_keys, minute_days, [("DYU", ""), ("DYS", "")]),
            "02": (second_keys, second_days, [("DYU", ""), ("DYS", "")]),
        }
        for rate_id, (chosen, n_days, tables) in plans.items():
            rate = RATES[rate_id]
            gz = rate <= 60
            table_methods = methods if rate_id != "02" else ["231"]
            for kind, suffix in tables:
                obs_type = "BLOB" if kind == "DYU" and gz else "VARCHAR"
                for method in table_methods:
                    con.execute(
                        f"CREATE TABLE {SCHEMA}.{kind}_{rate_id}_{method}{suffix} ({_layout(kind, rate_id, obs_type)})"
                    )
            if n_days <= 0 or not chosen:
                continue
            _fill_rate(con, rate_id, chosen, keys, n_days, start_ts, seed, tables)
        if minute_days > 0 and minute_keys:
            # One row whose OBSVALUE is NULL in the database (read as None).
            station, point, item = minute_keys[0]
            con.execute(
                f"INSERT INTO {SCHEMA}.DYU_01_{item[:3]} VALUES (?, ?, ?, ?, '01', NULL)",
                [station, point, item, (start_ts + pd.Timedelta(days=minute_days)).to_pydatetime()],
            )
        _write_logs(con, keys, start_ts, days, seed)
        # Tables that discovery must never return.
        con.execute(f"CREATE TABLE {SCHEMA}.DYU_01_231_DEV_TEST (ID INTEGER, NOTE VARCHAR)")
        con.execute(f"CREATE TABLE {SCHEMA}.CP_90_231_RES ({_layout('CP', '90', 'VARCHAR')})")
        # The build record, written last: a database without it never counts as complete.
        record = {
            "data_version": str(DATA_VERSION),
            "catalogue_sha256": catalogue_digest,
            "arguments": repr((start, days, minute_days, second_days, minute_series, second_series, seed)),
            "complete": "yes",
        }
        con.execute(f"CREATE TABLE {INFO_TABLE} (key VARCHAR, value VARCHAR)")
        con.executemany(f"INSERT INTO {INFO_TABLE} VALUES (?, ?)", list(record.items()))
        con.execute("CHECKPOINT")
    finally:
        con.close()


def _fill_rate(con, rate_id, chosen, keys, n_days, start_ts, seed, tables) -> None:
    """All rows of one sample rate: values made with numpy, packed into texts by DuckDB (one
    vectorised statement), then bulk-inserted into every table of that rate."""
    import pyarrow as pa

    rate = RATES[rate_id]
    per_day = 86400 // rate
    blocks, nullalls, meta = [], [], []
    for station, point, item in chosen:
        si = keys.index((station, point, item))
        # one seed per series, whatever the rate: its day, hour, minute and second values share
        # their level, drift and tidal phase
        values, nullall = _series_values(item, n_days, rate, seed + 7919 * si)
        # the samples keep the precision of the instrument
        blocks.append(np.round(values, _decimals(item)))
        nullalls.append(nullall)
        meta.append((station, point, item))
    values = np.concatenate(blocks).ravel()
    n_rows = len(chosen) * n_days
    frame = pa.table(
        {
            "STATIONID": pa.array(np.repeat([m[0] for m in meta], n_days).astype(np.int32)),
            "POINTID": pa.array(np.repeat([m[1] for m in meta], n_days)),
            "ITEMID": pa.array(np.repeat([m[2] for m in meta], n_days)),
            "METHOD": pa.array(np.repeat([m[2][:3] for m in meta], n_days)),
            "STARTDATE": pa.array(np.tile(pd.date_range(start_ts, periods=n_days, freq="D").values, len(meta))),
            "NULLALL": pa.array(np.concatenate(nullalls)),
            "vals": pa.FixedSizeListArray.from_arrays(pa.array(values), per_day),
        }
    )
    assert frame.num_rows == n_rows
    con.register("_samples", frame)
    con.execute(
        "CREATE TEMP TABLE _packed AS SELECT STATIONID, POINTID, ITEMID, METHOD, STARTDATE, "
        f"CASE WHEN NULLALL THEN 'NULLALL' ELSE {_format_sql(6)} END AS OBSVALUE FROM _samples"
    )
    con.unregister("_samples")
    gz_rows = None
    for kind, suffix in tables:
        for method in sorted({m[2][:3] for m in meta}):
            table = f"{SCHEMA}.{kind}_{rate_id}_{method}{suffix}"
            if kind == "DYU" and rate <= 60:
                if gz_rows is None:
                    packed = con.execute(
                        "SELECT STATIONID, POINTID, ITEMID, METHOD, STARTDATE, OBSVALUE FROM _packed"
                    ).fetch_df()
                    # level 1: the file is built often (tests, benchmarks); its size hardly matters
                    packed["OBSVALUE"] = [gzip.compress(t.encode(), compresslevel=1, mtime=0) for t in packed.OBSVALUE]
                    packed.insert(5, "SAMPLERATE", rate_id)
                    gz_rows = packed
                con.register("_gz", gz_rows[gz_rows.METHOD == method].drop(columns="METHOD"))
                con.execute(f"INSERT INTO {table} SELECT * FROM _gz")
                con.unregister("_gz")
                continue
            cols = "STATIONID, POINTID, ITEMID, STARTDATE"
            if kind == "DYU":
                cols += f", '{rate_id}'"
            elif kind == "CP":
                cols += f", {float(rate_id)}"
            cols += ", OBSVALUE"
            if kind == "CP":
                cols += ", 'A'"
            con.execute(f"INSERT INTO {table} SELECT {cols} FROM _packed WHERE METHOD = ?", [method])
    con.execute("DROP TABLE _packed")


# Work-log events: EVTID -> description
EVENTS = {"313": "仪器标定", "101": "停电", "205": "人为干扰", "418": "仪器故障"}


def _write_logs(con, keys, start_ts, days, seed) -> None:
    """Work-log tables ``QZ_LOG_<method>``: a few events per series over the period."""
    rng = np.random.default_rng(seed + 2)
    rows = []
    for station, point, item in keys:
        for _ in range(max(1, days // 60)):
            begin = start_ts + pd.Timedelta(minutes=int(rng.integers(0, max(1, days) * 1440)))
            evt = list(EVENTS)[int(rng.integers(0, len(EVENTS)))]
            rows.append((station, point, item, item[:3], begin, begin + pd.Timedelta(hours=int(rng.integers(1, 30))),
                         evt, EVENTS[evt]))
    frame = pd.DataFrame(rows, columns=["STATIONID", "POINTID", "ITEMID", "METHOD", "STARTDATE", "ENDDATE", "EVTID",
                                        "NOTE"])
    con.register("_logs", frame)
    for method, _ in METHODS:
        con.execute(
            f"CREATE TABLE {SCHEMA}.QZ_LOG_{method} (STATIONID INTEGER, POINTID VARCHAR, ITEMID VARCHAR, "
            "STARTDATE TIMESTAMP, ENDDATE TIMESTAMP, EVTID VARCHAR, NOTE VARCHAR)"
        )
        con.execute(
            f"INSERT INTO {SCHEMA}.QZ_LOG_{method} SELECT STATIONID, POINTID, ITEMID, STARTDATE, ENDDATE, EVTID, "
            "NOTE FROM _logs WHERE METHOD = ? ORDER BY STARTDATE",
            [method],
        )
    con.unregister("_logs")


def _write_dictionaries(con) -> None:
    stations = pd.DataFrame(STATIONS, columns=["STATIONID", "STATIONNAME", "LONGITUDE", "LATITUDE", "ALTITUDE"])
    points = []
    for station, lon, lat in zip(stations.STATIONID, stations.LONGITUDE, stations.LATITUDE):
        name = dict((s[0], s[1]) for s in STATIONS)[station]
        for point in sorted({p for p, _ in INSTRUMENTS[station]}):
            points.append((station, point, f"{name}{point}号测点", lon + 0.001 * int(point), lat))
    points = pd.DataFrame(points, columns=["STATIONID", "POINTID", "POINTNAME", "LONGITUDE", "LATITUDE"])
    items = pd.DataFrame(ITEMS, columns=["ITEMID", "ITEMNAME", "UNIT"])
    items["METHODID"] = items.ITEMID.str[:3]
    methods = pd.DataFrame(METHODS, columns=["METHODID", "METHODNAME"])
    stationitems = pd.DataFrame(series_keys(), columns=["STATIONID", "POINTID", "ITEMID"])
    schema = {
        "QZ_DICT_STATIONS": ("STATIONID INTEGER, STATIONNAME VARCHAR, LONGITUDE DOUBLE, LATITUDE DOUBLE, "
                             "ALTITUDE DOUBLE", stations),
        "QZ_DICT_POINTS": ("STATIONID INTEGER, POINTID VARCHAR, POINTNAME VARCHAR, LONGITUDE DOUBLE, "
                           "LATITUDE DOUBLE", points),
        "QZ_DICT_ITEMS": ("ITEMID VARCHAR, ITEMNAME VARCHAR, UNIT VARCHAR, METHODID VARCHAR", items),
        "QZ_DICT_METHODS": ("METHODID VARCHAR, METHODNAME VARCHAR", methods),
        "QZ_DICT_STATIONITEMS": ("STATIONID INTEGER, POINTID VARCHAR, ITEMID VARCHAR", stationitems),
    }
    for name, (cols, frame) in schema.items():
        con.execute(f"CREATE TABLE {SCHEMA}.{name} ({cols})")
        con.register("_dict", frame)
        con.execute(f"INSERT INTO {SCHEMA}.{name} SELECT * FROM _dict")
        con.unregister("_dict")


# --------------------------------------------------------------------------------------------
# Earthquake catalogue
# --------------------------------------------------------------------------------------------

_PLACES = ["河北", "北京", "山东", "江苏", "四川", "甘肃", "新疆", "云南", "台湾海峡", "日本本州东岸", "缅甸"]


def catalogue_line(time, lat: float, lon: float, magnitude: float, depth: int, name: str) -> str:
    """One event in the fixed columns: time 0-13, lat 15-20, lon 21-26, magnitude 28-31, name 39-."""
    return f"{pd.Timestamp(time):%Y%m%d%H%M%S} {lat:6.2f}{lon:6.2f} {magnitude:4.1f}{depth:7d}{name}"


def write_catalogue(path, *, start: str = START, days: int = 731, n_events: int = 300, seed: int = 20240101):
    """Write an earthquake catalogue: events near and far from the stations, and a few bad lines."""
    rng = np.random.default_rng(seed + 1)
    t0 = pd.Timestamp(start)
    seconds = np.sort(rng.integers(0, days * 86400, n_events))
    lines = []
    for i, s in enumerate(seconds):
        if rng.random() < 0.6:  # near a station: within about 2 degrees
            st = STATIONS[int(rng.integers(0, len(STATIONS)))]
            lon, lat = st[2] + rng.normal(0, 0.8), st[3] + rng.normal(0, 0.8)
            place = f"{st[1][:-1]}附近"
        else:  # far away
            lon, lat = rng.uniform(75, 145), rng.uniform(18, 50)
            place = _PLACES[int(rng.integers(0, len(_PLACES)))]
        magnitude = float(np.round(np.clip(rng.exponential(0.9) + 2.0, 2.0, 8.5), 1))
        lines.append(catalogue_line(t0 + pd.Timedelta(seconds=int(s)), lat, lon, magnitude,
                                    int(rng.integers(5, 30)), place))
    # A few malformed lines: a short line, a short time field, an unreadable magnitude, a blank.
    lines.insert(len(lines) // 4, lines[len(lines) // 4][:20])
    lines.insert(len(lines) // 2, "2024010112" + lines[len(lines) // 2][14:])
    bad = lines[3 * len(lines) // 4]
    lines.insert(3 * len(lines) // 4, bad[:28] + " x.y" + bad[32:])
    lines.insert(len(lines) - 5, "   ")
    from . import _files

    _files.write_bytes(path, ("\n".join(lines) + "\n").encode("utf-8"))
    return Path(path)
