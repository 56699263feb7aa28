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
