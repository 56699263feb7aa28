"""Fixtures of the data-access tests: a small sample network built once per session, a
connection to it per test, and a metadata cache filled from it."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import reference


@pytest.fixture(scope="session")
def sample_db(tmp_path_factory):
    """Path of a small sample network: 40 days of day/hour data, 3 of minute, 1 of second."""
    from lumoreq import sample

    path = tmp_path_factory.mktemp("sample") / "network.duckdb"
    return sample.build(path, days=40, minute_days=3, second_days=1, second_series=2)


@pytest.fixture
def sample_conn(sample_db):
    from lumoreq import sample

    conn = sample.connect(sample_db)
    yield conn
    conn.close()


@pytest.fixture(scope="session")
def sample_cache(sample_db, tmp_path_factory):
    """A metadata cache directory filled from the sample network."""
    from lumoreq import metadata_cache, sample

    root = tmp_path_factory.mktemp("metadata")
    conn = sample.connect(sample_db)
    try:
        metadata_cache.MetadataCache.refresh_cache(conn=conn, cache_dir=root)
    finally:
        conn.close()
    return root


def plain_split_lines(df, sample_by_seconds):
    """Packed-line splitting written plainly (stable order for equal stamps; any rate spaces the
    pieces by its own seconds). Stands in where the native splitter is not built yet."""
    if sample_by_seconds <= 3600:
        pieces = df["OBSVALUE"].str.strip().str.split(" ", expand=True).stack()
        pieces = pieces[pieces.notna()].reset_index(level=1)
        pieces.columns = ["timespan", "OBSVALUE"]
        work = df.drop("OBSVALUE", axis=1).join(pieces)
        work["timespan"] = pd.to_timedelta(work["timespan"].to_numpy(np.int64) * int(sample_by_seconds), unit="s")
        work["STARTDATE"] = work["STARTDATE"] + work["timespan"]
        work = work.drop(columns="timespan")
    else:
        work = df
    work = work.sort_values(by=["STARTDATE"], kind="stable").set_index("STARTDATE")
    work["OBSVALUE"] = pd.to_numeric(work["OBSVALUE"], errors="coerce").astype("float32")
    return work


@pytest.fixture
def splitter(monkeypatch):
    """The splitter the reference fetch uses; the native fetch gets the stand-in only while the
    cleaning module has no split_lines of its own."""
    from lumoreq import cleaning

    if hasattr(cleaning, "split_lines"):
        return getattr(reference, "split_lines", plain_split_lines)
    monkeypatch.setattr(cleaning, "split_lines", plain_split_lines, raising=False)
    return plain_split_lines
