"""The pandas reference: the documented algorithms written plainly, the obvious slow way.

It is the oracle of the differential tests (native results must equal it exactly) and the
baseline of the benchmarks. Each subsystem keeps to its own section below.
"""

from __future__ import annotations

import gzip

import numpy as np  # noqa: F401
import pandas as pd  # noqa: F401

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

# --- end of earthquake catalogue ---


# ---------------------------------------------------------------------------------------------
# Charts
# ---------------------------------------------------------------------------------------------

# --- end of charts ---
