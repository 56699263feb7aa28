"""split_lines: packed day rows expanded to one row per sample, native against the reference.

Rows look like the fetcher's: four identifier columns, STARTDATE at midnight, OBSVALUE the
day's samples as blank-separated decimal texts, sorted by item, station, point and date.
"""

import numpy as np
import pandas as pd
import reference
from run import Case


def _frame(n_series: int, n_days: int, samples_per_day: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    step = pd.Timedelta(days=1)
    rows = {"STATIONID": [], "POINTID": [], "ITEMID": [], "SAMPLERATE": [], "STARTDATE": [], "OBSVALUE": []}
    rate_id = "02" if samples_per_day == 86400 else "01"
    start = pd.Timestamp("2024-01-01")
    for s in range(n_series):
        level = 100.0 + 10 * s
        for d in range(n_days):
            walk = np.round(level + np.cumsum(rng.normal(0, 0.01, samples_per_day)), 4)
            level = float(walk[-1])
            rows["STATIONID"].append(f"{51000 + s // 4}")
            rows["POINTID"].append(str(s % 4 + 1))
            rows["ITEMID"].append(f"42{s % 5:02d}")
            rows["SAMPLERATE"].append(rate_id)
            rows["STARTDATE"].append(start + d * step)
            rows["OBSVALUE"].append(" ".join(f"{v:.4f}" for v in walk))
    df = pd.DataFrame(rows)
    df["STARTDATE"] = pd.to_datetime(df["STARTDATE"]).astype("datetime64[us]")
    return df.sort_values(["ITEMID", "STATIONID", "POINTID", "STARTDATE"], ignore_index=True)


def _check(ref, nat):
    pd.testing.assert_frame_equal(ref, nat, check_exact=True)
    assert ref.index.dtype == nat.index.dtype


def cases(scale: float):
    from lumoreq import cleaning

    days = max(1, int(30 * scale))
    second = _frame(1, days, 86400, seed=11)
    yield Case(
        kernel="cleaning.split_lines (1 Hz)",
        size=f"{days} day rows x 86,400 samples",
        reference=lambda: reference.split_lines(second, 1),
        native=lambda: cleaning.split_lines(second, 1),
        check=_check,
        repeat=3,
    )

    year_days = max(1, int(365 * scale))
    minute = _frame(20, year_days, 1440, seed=12)
    yield Case(
        kernel="cleaning.split_lines (minute)",
        size=f"20 series x {year_days} days x 1,440",
        reference=lambda: reference.split_lines(minute, 60),
        native=lambda: cleaning.split_lines(minute, 60),
        check=_check,
        repeat=1,
    )
