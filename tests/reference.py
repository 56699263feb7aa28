"""The pandas reference: the documented algorithms written plainly, the obvious slow way.

It is the oracle of the differential tests (native results must equal it exactly) and the
baseline of the benchmarks. Each subsystem keeps to its own section below.
"""

from __future__ import annotations

import gzip
import warnings

import numpy as np
import pandas as pd

# ---------------------------------------------------------------------------------------------
# Data access
# ---------------------------------------------------------------------------------------------


def gunzip_texts(values):
    """OBSVALUE of minute and second tables: one gzip.decompress per row, None -> ""."""
    return [gzip.decompress(v).decode("utf-8") if v is not None else "" for v in values]


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
