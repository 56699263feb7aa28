"""Earthquake catalogue: reading a fixed-column catalogue file, and flagging events by
(distance, magnitude) rules around a station (the reference asks geopy row by row)."""

import atexit
import os
import tempfile

import numpy as np
import pandas as pd
import reference
from run import Case

PLACES = [
    "河北唐山市丰南区",
    "北京平谷区",
    "四川阿坝州汶川县",
    "新疆喀什地区伽师县",
    "云南大理州漾濞县",
    "台湾花莲县海域",
    "内蒙古包头市土默特右旗",
    "山西大同市阳高县",
    "日本本州东岸近海",
    "辽宁营口市盖州市",
]


def _catalogue_file(n_lines: int, seed: int = 11) -> str:
    rng = np.random.default_rng(seed)
    times = pd.Timestamp("1975-01-01") + pd.to_timedelta(
        np.sort(rng.integers(0, 50 * 365 * 86400, n_lines)), "s"
    )
    lat = rng.uniform(18, 53, n_lines)
    lon = rng.uniform(73, 135, n_lines)
    mag = rng.choice(np.arange(1.0, 7.5, 0.1), n_lines)
    names = rng.choice(PLACES, n_lines)
    lines = [
        f"{t:%Y%m%d%H%M%S} {la:6.2f}{lo:6.2f} {m:4.1f}  ML   {n}\n"
        for t, la, lo, m, n in zip(times, lat, lon, mag, names)
    ]
    fd, path = tempfile.mkstemp(prefix="qcat_bench_", suffix=".txt")
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.writelines(lines)
    atexit.register(os.remove, path)
    return path


def _events(n: int, seed: int = 5) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    index = pd.DatetimeIndex(
        pd.Timestamp("2000-01-01") + pd.to_timedelta(rng.integers(0, 10**9, n), "s"), name="ind"
    )
    return pd.DataFrame(
        {
            "lon": np.round(rng.uniform(100, 132, n), 2),
            "lat": np.round(rng.uniform(25, 55, n), 2),
            "magnitude": np.round(rng.uniform(1, 7, n), 1),
            "name": rng.choice(PLACES, n).astype(object),
        },
        index=index,
    ).astype({"name": "str"})


def cases(scale: float):
    from lumoreq import QCAT

    n_lines = max(1, int(200_000 * scale))
    path = _catalogue_file(n_lines)

    def same_frame(ref, nat):
        pd.testing.assert_frame_equal(nat, ref, check_exact=True)

    yield Case(
        kernel="QCAT.read_QCAT",
        size=f"{n_lines} catalogue lines",
        reference=lambda: reference.read_QCAT(path),
        native=lambda: QCAT.read_QCAT(path),
        check=same_frame,
    )

    n_events = max(1, int(50_000 * scale))
    events = _events(n_events)
    rules = [(200, 3.0), (300, 4.0), (500, 5.0)]

    def same_flags(ref, nat):
        assert nat["flag"].equals(ref["flag"]), "flags differ"
        assert nat["text"].equals(ref["text"]) and nat["size"].equals(ref["size"]), "labels or sizes differ"
        assert np.max(np.abs(nat["distance"].to_numpy() - ref["distance"].to_numpy())) <= 1e-6

    yield Case(
        kernel="QCAT.filtered_qcats",
        size=f"{n_events} events, 3 rules",
        reference=lambda: reference.filtered_qcats(events.copy(), filters=rules),
        native=lambda: QCAT.filtered_qcats(events.copy(), filters=rules),
        check=same_flags,
        repeat=3,
    )
