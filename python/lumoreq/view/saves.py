"""The series page's two downloads of the visible range: the station's figure as the library
draws it (the station builder, PNG) and the samples themselves as a RUZI file.

Both are made in memory and sent back as the answer; nothing is written beside the dataset (the
figure builder's metadata tables go to a temporary folder of the system's). A figure is drawn
from the raw samples up to FIGURE_SAMPLES over all its panels; a wider view is drawn from its M4
reduction at FIGURE_COLUMNS columns (the same line at the figure's width, every column's extremes
kept), without the mean and ±2σ lines, which would need every sample. A RUZI file holds every
sample, so it is refused beyond RUZI_SAMPLES with a message saying so.
"""

from __future__ import annotations

import io
import json
import tempfile
import threading
import urllib.parse
from dataclasses import dataclass
from typing import Any

import numpy as np

from .data import SeriesInfo, SeriesKey

FIGURE_SAMPLES = 3_000_000
FIGURE_COLUMNS = 4000
RUZI_SAMPLES = 5_000_000
RAIN = "降雨量"

_FIGURE_LOCK = threading.Lock()  # matplotlib is not thread-safe; the server answers in a thread pool


class SaveError(ValueError):
    """A download that cannot be made; `status` is the HTTP status to answer with."""

    def __init__(self, message: str, status: int = 400):
        super().__init__(message)
        self.status = status


@dataclass
class Download:
    body: bytes
    filename: str
    media_type: str
    note: str = ""

    def disposition(self) -> str:
        """Content-Disposition: the name as UTF-8 (RFC 5987) and an ASCII stand-in."""
        plain = "".join(c if c.isascii() and (c.isalnum() or c in "._-") else "_" for c in self.filename)
        return f"attachment; filename=\"{plain}\"; filename*=UTF-8''{urllib.parse.quote(self.filename)}"


def station_series(source, station: str, point: str) -> tuple[list[SeriesInfo], SeriesInfo | None]:
    """The series the page draws for a station and point: its items as line panels and the
    rainfall (an item named 降雨量, at that point or else at another point of the station) as
    day totals at the bottom. SaveError (404) when the dataset has none."""
    every = source.series()
    panels = sorted((s for s in every if s.key[1] == station and s.key[2] == point),
                    key=lambda s: (s.item_name + s.key[0]))
    if not panels:
        raise SaveError(f"no series of station {station} point {point} in this dataset", 404)
    rain = next((s for s in panels if RAIN in s.item_name), None) or next(
        (s for s in every if s.key[1] == station and RAIN in s.item_name), None)
    lines = [s for s in panels if s is not rain]
    if not lines:
        lines, rain = [rain], None
    return lines, rain


def _label(info: SeriesInfo, t0: int, t1: int) -> str:
    def stamp(ns: int) -> str:
        return np.datetime64(ns, "ns").astype("M8[s]").item().strftime("%Y%m%dT%H%M%S")

    _, station, point = info.key
    return f"{info.station_name or station}_{station}_{point}_{stamp(t0)}-{stamp(t1)}"


def _frame(parts: list[tuple[SeriesKey, np.ndarray, np.ndarray]]):
    """The samples as the library's table: a STARTDATE index, OBSVALUE and the three identifiers."""
    import pandas as pd

    times = np.concatenate([t for _, t, _ in parts]) if parts else np.empty(0, dtype=np.int64)
    values = np.concatenate([v for _, _, v in parts]) if parts else np.empty(0, dtype=np.float32)
    columns: dict[str, Any] = {"OBSVALUE": values}
    codes = np.repeat(np.arange(len(parts)), [len(t) for _, t, _ in parts])
    for position, name in ((1, "STATIONID"), (2, "POINTID"), (0, "ITEMID")):
        labels = np.array([key[position] for key, _, _ in parts], dtype=object)
        columns[name] = pd.array(labels[codes], dtype="str")
    index = pd.DatetimeIndex(times.astype("M8[ns]"), name="STARTDATE")
    return pd.DataFrame(columns, index=index)


def _merged_context(contexts: list[Any]) -> Any:
    """One metadata context for several series: the first one's, with the station and item
    records of all (each once)."""
    dicts = [c for c in contexts if isinstance(c, dict)]
    if not dicts:
        return contexts[0] if contexts else None
    merged = dict(dicts[0])
    for name, key in (("station_info", "STATIONID"), ("item_info", "ITEMID")):
        seen, records = set(), []
        for context in dicts:
            found = context.get(name)
            for record in found if isinstance(found, list) else [found] if isinstance(found, dict) else []:
                ident = json.dumps(record.get(key) if isinstance(record, dict) else record, default=str)
                if ident not in seen:
                    seen.add(ident)
                    records.append(record)
        if records:
            merged[name] = records
    return merged


def ruzi_file(source, station: str, point: str, t0: int, t1: int) -> Download:
    """Every sample of the page's series in [t0, t1) as one RUZI file (with the station and item
    records the parts carry)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from ..export import to_ruzi

    lines, rain = station_series(source, station, point)
    chosen = lines + ([rain] if rain is not None else [])
    expected = sum(source.estimate(s.key, t0, t1) for s in chosen)
    if expected > RUZI_SAMPLES:
        raise SaveError(f"the visible range holds about {expected:,} samples; a RUZI file of the view holds at "
                        f"most {RUZI_SAMPLES:,}: zoom in to about {max(1, RUZI_SAMPLES * (t1 - t0) // expected // 10**9 // 3600)} "
                        "hours or less (or read the dataset in Python with lumoreq.jobs.read)", 413)
    parts = []
    for info in chosen:
        times, values = source.samples(info.key, t0, t1)
        if len(times):
            parts.append((info.key, times, values))
    if not parts:
        raise SaveError("no samples in the visible range", 404)
    table = to_ruzi(_frame(parts), _merged_context([source.context(key) for key, _, _ in parts]))
    sink = pa.BufferOutputStream()
    pq.write_table(table, sink, write_page_checksum=True)  # as the library writes its files
    return Download(sink.getvalue().to_pybytes(), _label(lines[0], t0, t1) + ".ruzi", "application/vnd.apache.parquet")


def _metadata_tables(infos: list[SeriesInfo]):
    """The station, point and item tables the figure builder names its panels from."""
    import pandas as pd

    stations = {s.key[1]: s for s in infos}
    items = {s.key[0]: s for s in infos}
    return {
        "stations": pd.DataFrame({"STATIONID": list(stations), "STATIONNAME": [s.station_name or None for s in stations.values()],
                                  "LONGITUDE": [s.longitude for s in stations.values()],
                                  "LATITUDE": [s.latitude for s in stations.values()]}),
        "points": pd.DataFrame({"STATIONID": [s.key[1] for s in infos], "POINTID": [s.key[2] for s in infos]}),
        "items": pd.DataFrame({"ITEMID": list(items), "ITEMNAME": [s.item_name or k for k, s in items.items()],
                               "UNIT": [s.unit for s in items.values()]}),
    }


RAIN_BY_HOUR = 3 * 86400 * 10**9  # views shorter than this show hourly rainfall, not day totals


def _rainfall(source, key: SeriesKey, t0: int, t1: int):
    """The rainfall bars of the figure: day totals (as the page shows them), or, for a view of
    less than three days, where a day's bar would stand mostly outside the view, hour totals."""
    import pandas as pd

    if t1 - t0 < RAIN_BY_HOUR:
        times, values = source.samples(key, t0, t1)
        if not len(times):
            return None
        samples = pd.Series(values.astype(np.float64), index=pd.DatetimeIndex(times.astype("M8[ns]")))
        hours = samples.resample("h").sum(min_count=1).dropna()
        return hours.rename("OBSVALUE").rename_axis("STARTDATE") if len(hours) else None
    starts, finite, _nans, sums, _step = source.day_counts(key)
    keep = (finite > 0) & (starts + 86400 * 10**9 > t0) & (starts < t1)
    if not keep.any():
        return None
    return pd.Series(sums[keep], index=pd.DatetimeIndex(starts[keep].astype("M8[ns]"), name="STARTDATE"),
                     name="OBSVALUE")


def figure_png(source, station: str, point: str, t0: int, t1: int, catalogue: str | None = None) -> Download:
    """The station figure of [t0, t1) as `lumoreq plot --by station` draws it (rainfall bars
    when the station has rainfall, earthquakes of the catalogue flagged for the station)."""
    import pandas as pd

    from ..metadata_cache import MetadataCache

    lines, rain = station_series(source, station, point)
    expected = sum(source.estimate(s.key, t0, t1) for s in lines)
    reduced = expected > FIGURE_SAMPLES
    parts = []
    for info in lines:
        if reduced:
            reduction = source.reduce(info.key, t0, t1, FIGURE_COLUMNS)
            inside = (reduction.times >= t0) & (reduction.times < t1)
            times, values = reduction.times[inside], reduction.values[inside]
        else:
            times, values = source.samples(info.key, t0, t1)
        if len(times) and not np.isnan(values).all():
            parts.append((info.key, times, values))
    if not parts:
        raise SaveError("no samples in the visible range", 404)
    frame = _frame(parts)
    rainfall = None if rain is None else _rainfall(source, rain.key, t0, t1)
    note = "" if not reduced else (
        f"drawn from the per-column extremes of about {expected:,} samples ({FIGURE_COLUMNS} columns); "
        "the mean and ±2σ lines need every sample and are left out")
    with _FIGURE_LOCK, tempfile.TemporaryDirectory(prefix="lumoreq-view-") as folder:
        import matplotlib

        matplotlib.use("Agg", force=False)
        import matplotlib.pyplot as plt

        from .. import plotting

        MetadataCache.store_tables(_metadata_tables(lines), cache_dir=folder)
        drawn: list[bytes] = []

        class InMemory(plotting.TSPlotter):
            def _save_figure(self, fig, filename, format="png", dpi=300):
                buffer = io.BytesIO()  # the builder's figure, kept in memory instead of ./figures/
                fig.savefig(buffer, format=format, dpi=dpi, bbox_inches="tight")
                plt.close(fig)
                drawn.append(buffer.getvalue())

        try:
            plotter = InMemory(metadata_dir=folder)
            plotter.plot_by_stations(frame, rainfall=rainfall, qcat_dir=catalogue, show_mean=not reduced,
                                     show_std=not reduced, figure_format="png")
        finally:
            plt.close("all")
    if not drawn:
        raise SaveError("the figure builder drew nothing for the visible range (no values)", 404)
    return Download(drawn[-1], _label(lines[0], t0, t1) + ".png", "image/png", note)

