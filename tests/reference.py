"""The pandas reference: the documented algorithms written plainly, the obvious slow way.

It is the oracle of the differential tests (native results must equal it exactly) and the
baseline of the benchmarks. Each subsystem keeps to its own section below.
"""

from __future__ import annotations

import gzip
import re
import warnings

import numpy as np  # noqa: F401
import pandas as pd  # noqa: F401

# ---------------------------------------------------------------------------------------------
# Data access
# ---------------------------------------------------------------------------------------------


def gunzip_texts(values):
    """OBSVALUE of minute and second tables: one gzip.decompress per row, None -> ""."""
    return [gzip.decompress(v).decode("utf-8") if v is not None else "" for v in values]


# --- SQL texts --------------------------------------------------------------------------------

DATA_TEMPLATE = (
    "\n            SELECT * FROM ZODUZA.{table} \n            WHERE STARTDATE >= TO_DATE('{start_date}', "
    "'yyyymmdd') \n            AND STARTDATE < TO_DATE('{end_date}', 'yyyymmdd')+1\n        "
)
LOG_TEMPLATE = (
    "\n            SELECT * FROM ZODUZA.{table} \n            WHERE STARTDATE >= TO_DATE('{start_date}', "
    "'yyyymmdd') \n            AND STARTDATE < TO_DATE('{end_date}', 'yyyymmdd')+1\n            AND EVTID IN "
    "(:evt_id)\n        "
)

S1 = (
    "\n                    SELECT SUBSTR(ITEMID, 1, 3) AS methodid\n                    FROM "
    "ZODUZA.QZ_DICT_STATIONITEMS \n                    WHERE SUBSTR(ITEMID, 1, 1) = '{first}'\n                "
)
S2 = (
    "\n                    SELECT SUBSTR(ITEMID, 1, 3) AS methodid\n                    FROM "
    "ZODUZA.QZ_DICT_STATIONITEMS\n                "
)
S3 = (
    "\n                    SELECT METHODID AS methodid\n                    FROM ZODUZA.QZ_DICT_METHODS \n"
    "                    WHERE METHODNAME LIKE '%' || :methodname || '%'\n                "
)
S4 = (
    "\n                SELECT STATIONID \n                FROM ZODUZA.QZ_DICT_STATIONS \n                WHERE "
    "STATIONNAME LIKE '%' || :stationname || '%'\n            "
)
S5 = (
    "\n                    SELECT ITEMID \n                    FROM ZODUZA.QZ_DICT_ITEMS \n                    "
    "WHERE ITEMNAME LIKE '%' || :itemname || '%'\n                "
)
S6 = (
    "\n                    SELECT ITEMID \n                    FROM ZODUZA.QZ_DICT_ITEMS \n                    "
    "WHERE ITEMNAME IN ({names})\n                "
)
S7 = (
    "\n                SELECT TABLE_NAME \n                FROM ALL_TABLES \n                WHERE TABLE_NAME LIKE "
    "'%' || :base_type_id || '%' \n                AND TABLE_NAME LIKE '%' || :sample_rate_id || '%' \n"
    "                AND TABLE_NAME LIKE '%' || :methodid || '%'\n            "
)
S7_PRODUCT = " AND (TABLE_NAME LIKE '%' || :kw1 || '%' OR TABLE_NAME LIKE '%' || :kw2 || '%')"
CATEGORIES = {"形变": "2", "电磁": "3", "流体": "4"}


def sql_quote(value) -> str:
    """A literal that always ends where it should: embedded single quotes doubled."""
    return "'" + str(value).replace("'", "''") + "'"


def _station_term(value) -> str:
    text = str(value)
    return "STATIONID=" + (text if re.fullmatch(r"-?[0-9]+", text) else sql_quote(text))


def _group(values, term) -> str:
    values = list(values)
    if not values:
        return " AND (1=0)"
    return " AND (" + " OR ".join(term(v) for v in values) + ")"


def _table_ref(name) -> str:
    name = str(name)
    if re.fullmatch(r"[A-Za-z][A-Za-z0-9_$#]*", name):
        return name
    return '"' + name.replace('"', '""') + '"'


def _build_query(template, tables, start_date, end_date, stations, items, point):
    start = pd.to_datetime(start_date).strftime("%Y%m%d")
    end = pd.to_datetime(end_date).strftime("%Y%m%d")
    return " UNION ALL ".join(
        template.format(table=_table_ref(t), start_date=start, end_date=end) + stations + items + point
        for t in tables
    )


def build_data_query(table_names, start_date, end_date, station_ids=None, item_ids=None, point_id=""):
    if table_names.empty:
        return None
    stations = "" if station_ids is None else _group(station_ids["stationid"], _station_term)
    items = "" if item_ids is None else _group(item_ids["itemid"], lambda v: "ITEMID=" + sql_quote(v))
    point = " AND (POINTID=" + sql_quote(point_id) + ")" if point_id else ""
    return _build_query(DATA_TEMPLATE, table_names["table_name"], start_date, end_date, stations, items, point)


def build_dialog_query(table_names, start_date, end_date, log_type, station_ids=None, item_ids=None):
    if table_names.empty:
        return None
    stations = "" if station_ids is None else _group(station_ids["STATIONID"], _station_term)
    items = "" if item_ids is None else _group(item_ids["ITEMID"], lambda v: "ITEMID=" + sql_quote(v))
    return _build_query(LOG_TEMPLATE, table_names["TABLE_NAME"], start_date, end_date, stations, items, "")


def s6(names) -> str:
    return S6.format(names=",".join(sql_quote(n) for n in names))


def escape_colons_in_quotes(sql: str) -> str:
    """Colons inside quoted literals written as "\\:" so that SQLAlchemy's text() keeps them."""
    out, quote = [], None
    for c in sql:
        if quote:
            if c == ":":
                out.append("\\")
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        out.append(c)
    return "".join(out)


def read_sql(sql, conn, params=None):
    import sqlalchemy

    statement = sqlalchemy.text(escape_colons_in_quotes(sql))
    return pd.read_sql(statement, con=conn, params=params) if params else pd.read_sql(statement, con=conn)


# --- the fetch, plainly -------------------------------------------------------------------------

RATE_CONFIG = {"秒钟值": ("02", 1), "分钟值": ("01", 60), "小时值": ("60", 3600), "日均值": ("90", 86400)}
RATE_ALIASES = {"秒值": "秒钟值", "分值": "分钟值", "整点值": "小时值", "日值": "日均值"}
RATE_BY_ID = {"02": 1, "01": 60, "60": 3600, "90": 86400}
KIND_CODES = {"原始库": "DYS", "预处理库": "DYU", "产品库": "CP"}


def method_ids(conn, method_name):
    if method_name in CATEGORIES:
        df = read_sql(S1.format(first=CATEGORIES[method_name]), conn)
    elif method_name == "全部":
        df = read_sql(S2, conn)
    else:
        df = read_sql(S3, conn, {"methodname": method_name})
        df.columns = df.columns.str.lower()
        return df
    df.columns = df.columns.str.lower()
    df = df.drop_duplicates(subset="methodid", keep="first")
    df = df[df["methodid"] != "417"].dropna()
    df["methodid"] = df["methodid"].astype(str)
    return df


def table_names(conn, methods, base_type_id, sample_rate_id):
    frames = []
    for m in methods["methodid"]:
        params = {"base_type_id": base_type_id, "sample_rate_id": sample_rate_id, "methodid": m}
        sql = S7
        if base_type_id == "CP":
            sql += S7_PRODUCT
            params.update(kw1="AVG", kw2="INS")
        frames.append(read_sql(sql, conn, params))
    if not frames:
        return None
    df = pd.concat(frames, ignore_index=True)
    df.columns = df.columns.str.lower()
    return df[~df["table_name"].str.contains("_DEV_", regex=False)]


def fetch_data(conn, start_date, end_date, method_name, station_name, data_type, base_type,
               item_name="全部", gzip_flag=False, my_split_lines=True, point_id="", split_lines=None):
    """The data fetch written plainly: read_sql, a Python loop of gzip.decompress, replace, split."""
    methods = method_ids(conn, method_name)
    data_type = RATE_ALIASES.get(data_type, data_type)
    if data_type not in RATE_CONFIG or base_type not in KIND_CODES:
        return None
    sample_id, requested_rate = RATE_CONFIG[data_type]
    tables = table_names(conn, methods, KIND_CODES[base_type], sample_id)
    if tables is None or tables.empty:
        return None
    stations = items = None
    if station_name != "全部":
        stations = read_sql(S4, conn, {"stationname": station_name})
        stations.columns = stations.columns.str.lower()
    if item_name != "全部":
        if isinstance(item_name, str):
            items = read_sql(S5, conn, {"itemname": item_name})
        else:
            items = read_sql(s6(item_name), conn)
        items.columns = items.columns.str.lower()
    query = build_data_query(tables, start_date, end_date, stations, items, point_id)
    df = read_sql(query, conn)
    df.columns = df.columns.str.upper()
    if df.empty:
        return df
    for col in ("STATIONID", "ITEMID", "POINTID"):
        df[col] = df[col].astype(str)
    df = df.sort_values(by=["ITEMID", "STATIONID", "POINTID", "STARTDATE"])
    rate = requested_rate
    if "SAMPLERATE" in df.columns:
        first = df["SAMPLERATE"].iloc[0]
        if not pd.isna(first):
            ident = str(first).strip().split(".")[0].zfill(2)
            rate = RATE_BY_ID.get(ident, requested_rate)
    count = 86400 // rate if rate > 0 else 0
    null_text = ("NULL " * count).strip()
    if gzip_flag and rate <= 60:
        df["OBSVALUE"] = gunzip_texts(df["OBSVALUE"])
    df.replace("NULLALL", null_text, regex=True, inplace=True)
    if not df.empty and my_split_lines:
        df = (split_lines or globals()["split_lines"])(df, rate)
    df.columns = df.columns.str.upper()
    if df.index.name:
        df.index.name = df.index.name.upper()
    return df


# --- end of data access ---


# ---------------------------------------------------------------------------------------------
# Cleaning
# ---------------------------------------------------------------------------------------------


def split_lines(df, sample_by_seconds):
    """Packed rows -> one row per sample, the documented steps in pandas.

    Two deliberate departures from a literal pandas 3 transcription: the stack leaves the
    missing cells out (pandas 3's ``stack()`` keeps them; the documented result has none),
    and a rate outside the unit table spaces the pieces ``sample_by_seconds`` seconds apart.
    The sort is stable, so rows with equal times keep their source order.
    """
    if sample_by_seconds == 1:
        unit = "seconds"
    elif sample_by_seconds == 60:
        unit = "minutes"
    elif sample_by_seconds == 3600:
        unit = "hours"
    elif sample_by_seconds == 86400:
        unit = "days"
    else:
        unit = None
    split = sample_by_seconds <= 3600
    if split:
        pieces = (
            df["OBSVALUE"].str.strip().str.split(" ", expand=True)
            .stack(future_stack=True).dropna()
            .reset_index(level=1)
        )
        pieces = pieces.rename(columns={"level_1": "timespan", 0: "OBSVALUE"})
        work = df.drop("OBSVALUE", axis=1).join(pieces)
        if unit is None:
            work["timespan"] = pd.to_timedelta(work["timespan"] * sample_by_seconds, unit="seconds")
        else:
            work["timespan"] = pd.to_timedelta(work["timespan"], unit=unit)
        work["STARTDATE"] = work["STARTDATE"] + work["timespan"]
    else:
        work = df
    # In place, as documented (the caller's frame when not splitting); pandas 3.1 warns that
    # the keyword is deprecated.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", pd.errors.Pandas4Warning)
        work.sort_values(by=["STARTDATE"], inplace=True, kind="stable")
        work.set_index("STARTDATE", inplace=True)
    work["OBSVALUE"] = pd.to_numeric(work["OBSVALUE"], errors="coerce")
    work["OBSVALUE"] = work["OBSVALUE"].astype("float32")
    if split:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", pd.errors.Pandas4Warning)
            work.drop("timespan", axis=1, inplace=True)
    return work


# --- end of cleaning ---


# ---------------------------------------------------------------------------------------------
# Series processing
# ---------------------------------------------------------------------------------------------

# --- end of series processing ---


# ---------------------------------------------------------------------------------------------
# Earthquake catalogue
# ---------------------------------------------------------------------------------------------

# --- end of earthquake catalogue ---


# ---------------------------------------------------------------------------------------------
# Charts
# ---------------------------------------------------------------------------------------------


def calculate_stats(df, column="OBSVALUE", multiplier=2.0):
    """Mean, median, sample std, min, max and mean -/+ multiplier * std of one column."""
    stats = {}
    stats["mean"] = df[column].mean()
    stats["median"] = df[column].median()
    stats["std"] = df[column].std()
    stats["min"] = df[column].min()
    stats["max"] = df[column].max()
    stats["lower_limit"] = stats["mean"] - multiplier * stats["std"]
    stats["upper_limit"] = stats["mean"] + multiplier * stats["std"]
    return stats


def get_freq_str(timedelta):
    """Frequency text for the size of a time difference."""
    seconds = timedelta.total_seconds()
    if seconds < 60:
        return f"{int(seconds)}s"
    if seconds < 3600:
        return f"{int(seconds) // 60}min"
    if seconds < 86400:
        return f"{int(seconds) // 3600}h"
    return "1D"


def reindex_df_by_interval(df):
    """Reindex onto a regular grid: the first row's SAMPLERATE decides, else the modal spacing."""
    table = {"02": "s", "01": "min", "60": "h", "90": "D"}
    freq = None
    if "SAMPLERATE" in df.columns:
        first = df["SAMPLERATE"].iloc[0]
        if not pd.isna(first):
            freq = table.get(str(first).strip().split(".")[0].zfill(2))
    if freq is None:
        diffs = df.index.to_series().diff().dropna()
        freq = get_freq_str(diffs.value_counts().idxmax()) if len(diffs) else "min"
    grid = pd.date_range(start=df.index.min(), end=df.index.max(), freq=freq)
    return df.reindex(grid)

# --- end of charts ---
