"""Small datasets for the web view's tests: series written as the jobs write their parts."""

from __future__ import annotations

from pathlib import Path

import numpy as np

STATION = "37001"
STATION_INFO = [{"STATIONID": 37001, "STATIONNAME": "泰安台", "LONGITUDE": 117.12, "LATITUDE": 36.2}]
ITEMS = {
    "3111": {"ITEMID": "3111", "ITEMNAME": "水平摆北南", "UNIT": "ms"},
    "3112": {"ITEMID": "3112", "ITEMNAME": "水平摆东西", "UNIT": "ms"},
    "9101": {"ITEMID": "9101", "ITEMNAME": "降雨量", "UNIT": "mm"},
}


def write_part(out: Path, item: str, point: str, times: np.ndarray, values: np.ndarray,
               station: str = STATION, name: str | None = None) -> Path:
    """One dataset part (a RUZI file in the Hive folders) as a job writes it."""
    from lumoreq import export

    times = np.asarray(times, dtype="M8[ns]")
    first = str(times[0].astype("M8[D]"))
    last = str(times[-1].astype("M8[D]"))
    folder = out / "data" / f"ITEMID={item}" / f"STATIONID={station}" / f"POINTID={point}"
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / (name or f"{first}_{last}.ruzi")
    context = {"station_info": STATION_INFO, "item_info": [ITEMS.get(item, {"ITEMID": item})],
               "sampling_rate": "秒钟值"}
    table = export._series_ruzi("STARTDATE", times, "OBSVALUE", np.asarray(values),
                                {"STATIONID": station, "POINTID": point, "ITEMID": item}, context)
    export.write_ruzi(table, path)
    return path


def month_starts(year: int) -> list[np.datetime64]:
    return [np.datetime64(f"{year}-{m:02d}-01", "ns") for m in range(1, 13)] + [np.datetime64(f"{year + 1}-01-01", "ns")]


def second_series(start: np.datetime64, end: np.datetime64, seed: int, spike_at: np.datetime64 | None = None,
                  spike: float = 0.0) -> tuple[np.ndarray, np.ndarray]:
    """1 Hz samples over [start, end): tides, noise, a few NaN gaps, one optional spike."""
    n = int((end - start) // np.timedelta64(1, "s"))
    times = start + np.arange(n, dtype=np.int64).astype("m8[s]")
    rng = np.random.default_rng(seed)
    seconds = (times - np.datetime64("2024-01-01", "ns")).astype(np.int64) / 1e9
    values = (30 * np.sin(2 * np.pi * seconds / 44714) + 0.5 * rng.standard_normal(n)).astype(np.float32)
    for _ in range(3):
        a = int(rng.integers(0, max(1, n - 4000)))
        values[a : a + int(rng.integers(1, 4000))] = np.nan
    if spike_at is not None and start <= spike_at < end:
        values[int((spike_at - start) // np.timedelta64(1, "s"))] = spike
    return times, values
