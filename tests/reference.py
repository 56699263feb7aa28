"""The pandas reference: the documented algorithms written plainly, the obvious slow way.

It is the oracle of the differential tests (native results must equal it exactly) and the
baseline of the benchmarks. Each subsystem keeps to its own section below.
"""

from __future__ import annotations

import gzip
import warnings

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

# --- end of charts ---
