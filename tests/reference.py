"""The pandas reference: the documented algorithms written plainly, the obvious slow way.

It is the oracle of the differential tests (native results must equal it exactly) and the
baseline of the benchmarks. Each subsystem keeps to its own section below.
"""

from __future__ import annotations

import gzip

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

# --- end of cleaning ---


# ---------------------------------------------------------------------------------------------
# Series processing
# ---------------------------------------------------------------------------------------------

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

# --- end of charts ---
