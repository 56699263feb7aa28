"""The pandas reference: the documented algorithms written plainly, the obvious slow way.

It is the oracle of the differential tests (native results must equal it exactly) and the
baseline of the benchmarks. Each subsystem keeps to its own section below.
"""

from __future__ import annotations

import gzip
import re
import warnings

import numpy as np
import pandas as pd

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


def read_upper(sql, conn, params=None):
    """read_sql with upper-case column labels: servers that fold unquoted names (Oracle,
    PostgreSQL) report them in lower case, DuckDB as written."""
    df = read_sql(sql, conn, params)
    df.columns = [str(c).upper() for c in df.columns]
    return df


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
        # A row without text keeps one NaN sample at its own start time (not at NaT).
        work["timespan"] = work["timespan"].fillna(0)
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


# The installed pandas refuses these old aliases; each becomes its current spelling.
RENAMED_FREQ_ALIASES = {
    "H": "h", "T": "min", "S": "s", "L": "ms", "U": "us", "N": "ns", "BH": "bh", "CBH": "cbh",
    "M": "ME", "BM": "BME", "SM": "SME", "CBM": "CBME", "Q": "QE", "BQ": "BQE",
    "Y": "YE", "A": "YE", "BY": "BYE", "BA": "BYE", "AS": "YS", "BAS": "BYS",
}


def _rule_accepted(rule):
    from pandas.tseries.frequencies import to_offset

    try:
        to_offset(rule)
        return True
    except Exception:
        return False


def current_freq(freq):
    """'2H' -> '2h', 'A-DEC' -> 'YE-DEC'; accepted or unparsable rules come back unchanged."""
    import re

    if not isinstance(freq, str) or _rule_accepted(freq):
        return freq
    tokens = re.findall(r"([0-9.+\- ]*)([A-Za-z]+)((?:-[A-Za-z]+)?)", freq)
    if "".join("".join(t) for t in tokens) != freq:
        return freq
    out = "".join(n + RENAMED_FREQ_ALIASES.get(a, a) + anchor for n, a, anchor in tokens)
    return out if _rule_accepted(out) else freq


def resample_timeseries_data(df, freq, agg_method="mean"):
    for col in ["STARTDATE", "STATIONID", "POINTID", "ITEMID", "OBSVALUE"]:
        if col not in df.columns:
            raise ValueError("缺少必要的列: " + col)
    df = df.copy()
    df["STARTDATE"] = pd.to_datetime(df["STARTDATE"])
    df = df.set_index("STARTDATE")  # the documented in-place form, without pandas' deprecation warning
    freq = current_freq(freq)
    results = []
    for (station, point, item), group in df.groupby(["STATIONID", "POINTID", "ITEMID"]):
        if agg_method == "mean":
            resampled = group["OBSVALUE"].resample(freq).mean()
        elif agg_method == "sum":
            resampled = group["OBSVALUE"].resample(freq).sum()
        elif agg_method == "median":
            resampled = group["OBSVALUE"].resample(freq).median()
        elif agg_method == "max":
            resampled = group["OBSVALUE"].resample(freq).max()
        elif agg_method == "min":
            resampled = group["OBSVALUE"].resample(freq).min()
        else:
            raise ValueError("不支持的聚合方法，请选择'mean', 'sum', 'median', 'max', 'min'之一")
        frame = resampled.to_frame()
        frame["STATIONID"] = station
        frame["POINTID"] = point
        frame["ITEMID"] = item
        results.append(frame)
    out = pd.concat(results)
    out = out.reset_index()
    return out.sort_values(["STATIONID", "POINTID", "ITEMID"])


def fast_mad(x):
    return np.median(np.abs(x - np.median(x))) * 1.4826


def filter_with_fast_mad(df, window_size=15, threshold_factor=5.0):
    is_df = isinstance(df, pd.DataFrame)
    data = df["OBSVALUE"] if is_df else df
    rolling_median = data.rolling(window=window_size, center=True).median().ffill().bfill()
    deviation = np.abs(data - rolling_median)
    rolling_mad = data.rolling(window=window_size, center=True).apply(fast_mad, raw=True).ffill().bfill()
    threshold = threshold_factor * rolling_mad
    data_filtered = data.copy()
    mask = deviation > threshold
    replacement = rolling_median[mask]
    # A float32 column keeps its dtype: the median is converted to it (an even window's mean
    # of two float32 values may not be representable, which pandas refuses to write back).
    if getattr(data_filtered.dtype, "kind", None) == "f":
        replacement = replacement.astype(data_filtered.dtype)
    data_filtered[mask] = replacement
    if is_df:
        result = df.copy()
        result["OBSVALUE"] = data_filtered
        return result
    return data_filtered


def _is_leap_year(year):
    return (year % 4 == 0 and year % 100 != 0) or (year % 400 == 0)


def create_normalized_dates(df, reference_year=2024):
    from datetime import datetime

    if not isinstance(df.index, pd.DatetimeIndex):
        try:
            df.index = pd.to_datetime(df.index)
        except Exception:
            return df

    def normalize_date(date):
        if date.month == 2 and date.day == 29 and not _is_leap_year(reference_year):
            return datetime(reference_year, 2, 28)
        try:
            return datetime(reference_year, date.month, date.day)
        except ValueError:
            return datetime(reference_year, date.month, 28)

    df["datetime_norm"] = df.index.map(normalize_date)
    return df


# --- end of series processing ---


# ---------------------------------------------------------------------------------------------
# Earthquake catalogue
# ---------------------------------------------------------------------------------------------

import io

from geopy.distance import geodesic

_QCAT_COLUMNS = {"date": (0, 14), "lat": (15, 21), "lon": (21, 27), "magnitude": (28, 32), "name": (39, None)}


def _catalogue_text(qcat_dir):
    """The whole file as UTF-8 (a leading byte-order mark dropped), else as GB18030."""
    with open(qcat_dir, "rb") as f:
        raw = f.read()
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        return raw.decode("gb18030")


def read_QCAT(qcat_dir):
    data = {"ind": [], "lon": [], "lat": [], "magnitude": [], "name": []}
    # Universal newlines, as the host's text mode reads a file.
    for line in io.StringIO(_catalogue_text(qcat_dir), newline=None):
        if not line.strip():
            continue
        data["ind"].append(line[0:14].strip())
        for key in ("lat", "lon", "magnitude"):
            start, end = _QCAT_COLUMNS[key]
            try:
                data[key].append(float(line[start:end].strip()))
            except (ValueError, IndexError):
                data[key].append(np.nan)
        name = line[39:].strip() if len(line) > 39 else ""
        data["name"].append(name if name else np.nan)
    df = pd.DataFrame(data)
    df["ind"] = pd.to_datetime(df["ind"], format="%Y%m%d%H%M%S", errors="coerce")
    return df.set_index("ind")  # the same frame as set_index in place, without its deprecation


def filtered_qcats(df, station=(40.47, 115.94), filters=None, default_magnitude=3.0, default_distance=300):
    if filters is None:
        filters = [(default_distance, default_magnitude)]
    if not isinstance(filters, list):
        filters = [filters]
    df.index.name = "date"
    data = df.loc[df.index > "1970-01-01"].copy()
    distances = []
    for _, row in data.iterrows():
        epicentral = (row["lat"], row["lon"])
        try:
            distance = geodesic(epicentral, station).kilometers
        except Exception:  # noqa: BLE001  (any refusal by geopy means no distance)
            distance = float("inf")
        distances.append(distance)
    data["distance"] = distances
    data["flag"] = 0
    for distance_limit, magnitude_limit in filters:
        data.loc[(data["distance"] < distance_limit) & (data["magnitude"] >= magnitude_limit), "flag"] = 1
    data["size"] = (data["magnitude"] - 3) * 5
    data.loc[data["size"] < 5, "size"] = 5
    name = data["name"]
    if name.dtype.kind == "f" and name.isna().all():
        # No place names at all: every label is missing (text + float would raise).
        data["text"] = pd.Series(np.nan, index=data.index, dtype="str")
    else:
        data["text"] = (
            name + "Ml" + data["magnitude"].astype(str) + "\n" + data["distance"].round(1).astype(str) + "km"
        )
    return data


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
