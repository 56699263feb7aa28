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


# The data-access tests run on both engines: the DuckDB file itself, and the same network
# loaded into a PostgreSQL server that the tests start (pg_server.py).
BACKENDS = ["duckdb", "postgresql"]


@pytest.fixture(scope="session")
def pg_server():
    """A PostgreSQL server of this test session (skipped when none is installed, except in CI)."""
    import pg_server as pgs

    reason = pgs.missing_reason()
    if reason is not None:
        if pgs.in_ci():
            pytest.fail(f"CI runs the tests on PostgreSQL, but {reason}", pytrace=False)
        pytest.skip(reason)
    server = pgs.PgServer()
    try:
        server.start()
        yield server
    finally:
        server.destroy()


@pytest.fixture(scope="session")
def pg_template(pg_server, sample_db):
    """Name of a database holding the sample network; never connected to, so it can be copied."""
    from pg_network import load_network

    load_network(sample_db, pg_server.create_database("lumoreq_template"))
    return "lumoreq_template"


@pytest.fixture(scope="session")
def pg_sample_url(pg_server, pg_template):
    """SQLAlchemy URL of the sample network in PostgreSQL, shared by the tests that only read."""
    return pg_server.create_database("lumoreq_sample", template=pg_template)


@pytest.fixture
def pg_copy_url(pg_server, pg_template, request):
    """SQLAlchemy URL of a fresh copy of the sample network in PostgreSQL, for one test to change."""
    url = pg_server.create_database("lumoreq_copy", template=pg_template)
    yield url
    pg_server.drop_database("lumoreq_copy")


def pg_connect(url):
    """An SQLAlchemy connection to ``url`` without pooling, as sample.connect makes them."""
    import sqlalchemy

    engine = sqlalchemy.create_engine(url, poolclass=sqlalchemy.pool.NullPool)
    return engine.connect()


@pytest.fixture(params=BACKENDS)
def sample_conn(request, sample_db):
    """A connection to the sample network: the DuckDB file, or its copy in PostgreSQL."""
    from lumoreq import sample

    if request.param == "duckdb":
        conn = sample.connect(sample_db)
    else:
        conn = pg_connect(request.getfixturevalue("pg_sample_url"))
    yield conn
    conn.close()


@pytest.fixture(params=BACKENDS)
def writable_conn(request, sample_db, tmp_path):
    """A connection to a private copy of the sample network, which the test may change."""
    import shutil

    from lumoreq import sample

    if request.param == "duckdb":
        path = tmp_path / "n.duckdb"
        shutil.copy(sample_db, path)
        conn = sample.connect(path, read_only=False)
    else:
        conn = pg_connect(request.getfixturevalue("pg_copy_url"))
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
