"""The builders group a table by three key columns natively (Arrow string columns straight from
their buffers, long runs checked block by block); the groups must be pandas' own."""

import numpy as np
import pandas as pd
from hypothesis import given, settings
from hypothesis import strategies as st

from lumoreq import chartwork

KEYS = ["ITEMID", "STATIONID", "POINTID"]
# Values that differ only in their last byte or in their length, so a block check that looked at
# lengths or first bytes only would merge them.
VALUES = ["53001", "53002", "5300", "530011", "", "台站", "台站1", None]


def expected(ts):
    grouped = ts.groupby(KEYS, sort=False, dropna=True)
    return {key: positions.tolist() for key, positions in grouped.indices.items()}


def first_appearance(ts):
    seen = []
    for key in zip(*(ts[k].tolist() for k in KEYS)):
        if any(v is None or (isinstance(v, float) and np.isnan(v)) for v in key):
            continue
        if key not in seen:
            seen.append(key)
    return seen


def check(ts):
    got = chartwork._key_groups(ts, *KEYS)
    assert {k: v.tolist() for k, v in got.items()} == expected(ts)
    assert list(got) == first_appearance(ts)


runs = st.lists(st.tuples(st.sampled_from(VALUES), st.integers(1, 3000)), min_size=1, max_size=8)


def column(run_list, n):
    values = [v for v, count in run_list for _ in range(count)]
    return (values * (n // len(values) + 1))[:n]


@settings(max_examples=60, deadline=None)
@given(runs, runs, runs, st.integers(1, 4), st.integers(0, 50), st.sampled_from(["str", "object"]))
def test_groups_match_pandas(a, b, c, pieces, cut, dtype):
    n = max(sum(k for _, k in a), 1)
    frame = pd.DataFrame({"ITEMID": column(a, n), "STATIONID": column(b, n), "POINTID": column(c, n),
                          "OBSVALUE": np.arange(n, dtype="float64")}).astype({k: dtype for k in KEYS})
    # Several frames concatenated give chunked Arrow columns; a slice gives chunks with an offset.
    parts = np.array_split(np.arange(n), pieces)
    ts = pd.concat([frame.iloc[p] for p in parts if len(p)], ignore_index=True).iloc[min(cut, n - 1):]
    check(ts)


def test_long_runs_with_one_odd_row():
    # A run of 200,000 equal rows with one row that differs in its last byte, one with another
    # length, and one missing, at positions a block check would jump over.
    n = 200_000
    station = np.full(n, "53001", dtype=object)
    station[77_777] = "53002"
    station[150_001] = "530011"
    station[190_000] = None
    ts = pd.DataFrame({"ITEMID": "3111", "STATIONID": pd.array(station, dtype="str"), "POINTID": "1",
                       "OBSVALUE": 0.0})
    check(ts)
    got = chartwork._key_groups(ts, *KEYS)
    assert got[("3111", "53002", "1")].tolist() == [77_777]
    assert len(got[("3111", "53001", "1")]) == n - 3
