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

# --- end of charts ---
