"""A job task reads its series straight from the rows of its statement (no frame in between).
What it gives must be what the frame path gives (pd.read_sql, the time sort, unpacking and
split_lines), on DuckDB and on PostgreSQL, for awkward rows as much as for plain ones."""

from __future__ import annotations

import datetime as dt
import gzip
import logging

import numpy as np
import pandas as pd
import pytest
import sqlalchemy

from lumoreq import fetching

SERIES = ("11012", "2311", "1")  # station, item, point


def _create(conn, name: str, binary: bool) -> None:
    pg = conn.dialect.name == "postgresql"
    value_type = ("BYTEA" if pg else "BLOB") if binary else "VARCHAR"
    conn.execute(sqlalchemy.text(
        f"CREATE TABLE ZODUZA.{name} (STATIONID INTEGER, POINTID VARCHAR(8), ITEMID VARCHAR(8), "
        f"STARTDATE TIMESTAMP, SAMPLERATE VARCHAR(8), OBSVALUE {value_type})"
    ))


def _insert(conn, name: str, rows) -> None:
    statement = sqlalchemy.text(
        f"INSERT INTO ZODUZA.{name} (STATIONID, POINTID, ITEMID, STARTDATE, SAMPLERATE, OBSVALUE) "
        "VALUES (:s, :p, :i, :t, :r, :v)"
    )
    for station, item, point, start, rate, value in rows:
        conn.execute(statement, {"s": int(station), "p": point, "i": item, "t": start, "r": rate, "v": value})


def _day(d: int, hour: int = 0) -> dt.datetime:
    return dt.datetime(2024, 1, d, hour)


def _rows(pack=lambda text: text, first_rate="01"):
    s, i, p = SERIES
    return [
        (s, i, p, _day(3), "01", pack("1.5 2 2.5 3")),
        (s, i, p, _day(1), first_rate, pack("10 11 12")),                   # out of order
        (s, i, p, _day(2), "01", pack("NULLALL")),                          # a day without samples
        (s, i, p, _day(4), "01", None),                                     # a missing value
        (s, i, p, _day(5, 6), "01", pack("  7  8 abc 1e3 -0 inf  ")),       # blanks, text, odd numbers
        (s, i, p, _day(6), "01", pack("")),
        ("13021", i, p, _day(3), "01", pack("99 99")),                      # another station
        (s, "2312", p, _day(3), "01", pack("98 98")),                       # another item
        (s, i, "2", _day(3), "01", pack("97 97")),                          # another point
        (s, i, p, _day(20), "01", pack("96 96")),                           # after the range
    ]


def _both(conn, tables, gzip_flag):
    args = (conn, tables, "20240101", "20240110", *SERIES[:2], SERIES[2], "分钟值", gzip_flag)
    direct = fetching._fetch_series(*args, values_only=True)
    frame = fetching._fetch_series(*args, values_only=False)
    # the arrays a job takes are the direct frame's own index and values (where the direct way
    # does not read the rows, the frame way's frame comes back instead)
    arrays = fetching._fetch_series(*args, values_only=True, arrays=True)
    if not isinstance(arrays, tuple):
        pd.testing.assert_frame_equal(arrays, direct, check_exact=True)
        return direct, frame
    times, values = arrays
    np.testing.assert_array_equal(times, direct.index.to_numpy())
    assert times.dtype == direct.index.dtype and values.dtype == direct["OBSVALUE"].dtype
    np.testing.assert_array_equal(values.view(np.uint32), direct["OBSVALUE"].to_numpy().view(np.uint32))
    return direct, frame


def _assert_same(direct: pd.DataFrame, frame: pd.DataFrame) -> None:
    assert list(direct.columns) == ["OBSVALUE"]
    pd.testing.assert_index_equal(direct.index, frame.index, exact=True)
    pd.testing.assert_series_equal(direct["OBSVALUE"], frame["OBSVALUE"], check_exact=True)


def test_text_rows_read_directly_equal_the_frame_path(writable_conn, monkeypatch):
    _create(writable_conn, "DYU_01_231_A", binary=False)
    _create(writable_conn, "DYU_01_231_B", binary=False)
    _insert(writable_conn, "DYU_01_231_A", _rows())
    # the same day in a second table: both rows are kept, in the statement's order
    _insert(writable_conn, "DYU_01_231_B", [(*SERIES[:2], SERIES[2], _day(3), "01", "5 6")])
    tables = ["DYU_01_231_A", "DYU_01_231_B"]
    direct, frame = _both(writable_conn, tables, gzip_flag=False)
    _assert_same(direct, frame)
    # days 1-6: the NULLALL day expanded, the double blank an empty piece, both day-3 rows
    assert len(direct) == 3 + 1440 + 4 + 1 + 7 + 1 + 2
    assert pd.Timestamp("2024-01-20") not in direct.index

    # the direct way is taken: no frame is read for it
    def no_frames(*args, **kwargs):
        raise AssertionError("pd.read_sql was called")

    monkeypatch.setattr(pd, "read_sql", no_frames)
    again = fetching._fetch_series(writable_conn, tables, "20240101", "20240110", *SERIES[:2], SERIES[2], "分钟值",
                                   False, values_only=True)
    _assert_same(again, frame)


def test_packed_rows_read_directly_equal_the_frame_path(writable_conn, caplog):
    _create(writable_conn, "DYU_01_231_Z", binary=True)
    _insert(writable_conn, "DYU_01_231_Z", _rows(pack=lambda t: gzip.compress(t.encode("utf-8"))))
    direct, frame = _both(writable_conn, ["DYU_01_231_Z"], gzip_flag=True)
    _assert_same(direct, frame)
    # not declared: found all the same, by the frame path, which says so
    with caplog.at_level(logging.WARNING):
        direct, frame = _both(writable_conn, ["DYU_01_231_Z"], gzip_flag=False)
    _assert_same(direct, frame)
    assert "gzip_flag 为 False" in caplog.text


@pytest.mark.parametrize("first_rate", [None, "1.0", "60", "zz"])
def test_the_first_rows_rate_sets_the_sample_step_as_in_the_frame_path(writable_conn, first_rate):
    _create(writable_conn, "DYU_01_231_R", binary=False)
    _insert(writable_conn, "DYU_01_231_R", _rows(first_rate=first_rate))
    direct, frame = _both(writable_conn, ["DYU_01_231_R"], gzip_flag=False)
    _assert_same(direct, frame)


def test_no_rows_and_no_tables(writable_conn):
    _create(writable_conn, "DYU_01_231_E", binary=False)
    direct = fetching._fetch_series(writable_conn, ["DYU_01_231_E"], "20240101", "20240110", *SERIES[:2], SERIES[2],
                                    "分钟值", False, values_only=True)
    assert len(direct) == 0
    assert len(fetching._fetch_series(writable_conn, [], "20240101", "20240110", *SERIES[:2], SERIES[2])) == 0
