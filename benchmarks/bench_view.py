"""The web view's answer to one zoom: the M4 reduction of the visible range at 1,200 pixels.

Rows: one year of 1 Hz at one series (12 month parts, 31.6 M samples), and the whole sample
network (a job's dataset of minute data, every series). Each row times the same 40 views (widths
of a minute to the whole span, placed at random, snapped as the page snaps them) answered from
the samples alone ("reference": every sample in the range read and reduced natively) and as the
server answers them (summaries for wide ranges, only the needed row groups for narrow ones).
Notes: per-view latency (median, 95th percentile), the summaries' size and build time, and, with
Chromium and its driver installed, the page's time from the end of a zoom to the redrawn panels.
"""

from __future__ import annotations

import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from run import Case

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
_ROOT = Path(tempfile.gettempdir()) / "lumoreq-bench-view"
S = 1_000_000_000
WIDTH = 1200


def _snap(r0: int, r1: int, levels: list[int]) -> tuple[int, int]:
    """The page's snapping (view.js snapRange), in ns."""
    column = (r1 - r0) / WIDTH
    usable = [b for b in levels if b <= column / 4]
    if not usable:
        return r0, r1
    bucket = max(usable)
    snapped = max(1, round(column / bucket)) * bucket
    t0 = round(((r0 + r1) / 2 - snapped * WIDTH / 2) / bucket) * bucket
    return t0, t0 + snapped * WIDTH


def _views(first: int, last: int, levels: list[int], n: int = 40, seed: int = 1) -> list[tuple[int, int]]:
    rng = np.random.default_rng(seed)
    span = last - first
    views = []
    for k in range(n):
        length = int(np.exp(rng.uniform(np.log(60 * S), np.log(span))))
        start = first + int(rng.uniform(0, max(1, span - length)))
        views.append(_snap(start, start + length, levels))
    return views


# The parts' layout the "year, small row groups" row tries: what the view would gain if the
# dataset's writer cut parts into row groups of 65,536 rows (18 hours of 1 Hz) and coded the
# times as deltas (regular steps cost almost nothing) and the values split by byte.
SMALL_GROUPS = dict(row_group_size=65536, use_dictionary=["STATIONID", "POINTID", "ITEMID"],
                    column_encoding={"STARTDATE": "DELTA_BINARY_PACKED", "OBSVALUE": "BYTE_STREAM_SPLIT"})


def _rewrite_small_groups(part: Path) -> None:
    import pyarrow.parquet as pq

    from lumoreq.export import read_parquet

    table = read_parquet(part)
    temp = part.with_name(part.name + ".tmp")
    pq.write_table(table, temp, write_page_checksum=True, **SMALL_GROUPS)  # same table, same digest
    temp.replace(part)


def _year(out: Path, small_groups: bool = False) -> tuple[float, int, float]:
    """One year of 1 Hz in month parts with their summaries: (build seconds, summary bytes,
    seconds to rewrite one month's summary, as a daily update does)."""
    from lumoreq.view import summaries
    from view_data import month_starts, second_series, write_part

    edges = month_starts(2024)
    parts = []
    for k in range(12):
        t, v = second_series(edges[k], edges[k + 1], seed=k, spike_at=np.datetime64("2024-07-17T03:25:41", "ns"),
                             spike=900.0)
        parts.append(write_part(out, "3111", "2", t, v))
        if small_groups:
            _rewrite_small_groups(parts[-1])
    began = time.perf_counter()
    for part in parts:
        summaries.write_for_part(part)
    built = time.perf_counter() - began
    size = sum(summaries.summary_path(p).stat().st_size for p in parts)
    began = time.perf_counter()
    summaries.write_for_part(parts[-1])
    return built, size, time.perf_counter() - began


def _network(out: Path) -> tuple[float, int]:
    from lumoreq import jobs
    from lumoreq.view import data, summaries

    from bench_jobs import network

    db = network(91)
    plan = jobs.plan(db, "2024-01-01", "2024-03-31", chunk="month")
    jobs.run(plan, out, workers=2, progress=False)
    began = time.perf_counter()
    parts = data.dataset_parts(out)
    for part in parts:
        summaries.write_for_part(part)
    return time.perf_counter() - began, sum(summaries.summary_path(p).stat().st_size for p in parts)


def _latencies(source, views_by_key) -> list[float]:
    times = []
    for key, views in views_by_key:
        for t0, t1 in views:
            began = time.perf_counter()
            source.reduce(key, t0, t1, WIDTH)
            times.append(time.perf_counter() - began)
    return times


def _p(values: list[float], q: float) -> float:
    return float(np.percentile(np.asarray(values) * 1e3, q))


def _browser_notes(out: Path, key) -> list[str]:
    """End of a zoom to redrawn panels in headless Chromium (40 zooms), when it is installed."""
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return ["browser: selenium not installed"]
    if not chromium or not driver_path:
        return ["browser: chromium or chromedriver not installed"]
    import threading

    import uvicorn

    from lumoreq.view import bind_socket, data
    from lumoreq.view.server import Catalogue, create_app

    source = data.DatasetSource(out)
    sock = bind_socket("127.0.0.1", 0)
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(create_app(source, "bench", Catalogue(None)), log_level="warning",
                                           lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", f"--window-size={WIDTH + 140},900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    try:
        item, station, point = key
        driver.get(f"http://127.0.0.1:{port}/series?station={station}&point={point}&token=bench")
        end = time.monotonic() + 60
        while not driver.execute_script("return window.lvState.updates >= 1") and time.monotonic() < end:
            time.sleep(0.05)
        info = source.info(key)
        for t0, t1 in _views(info.first, info.last, info.levels, n=40, seed=7):
            before = driver.execute_script("return window.lvState.updates")
            driver.execute_script("Plotly.relayout(document.getElementById('panels'), {'xaxis.range': "
                                  "[arguments[0], arguments[1]]})", t0 / 1e6, t1 / 1e6)
            end = time.monotonic() + 30
            while driver.execute_script(f"return window.lvState.updates <= {before}") and time.monotonic() < end:
                time.sleep(0.005)
        timings = driver.execute_script("return window.lvState.timings")[1:]
        debounce = driver.execute_script("return window.lvState.debounce")
    finally:
        driver.quit()
        server.should_exit = True
        thread.join(5)
        sock.close()

    def stats(values):
        return f"median {statistics.median(values):.0f} ms, p95 {np.percentile(values, 95):.0f} ms"

    total = [t["total"] for t in timings]  # from the relayout event, the page's debounce included
    return [f"browser (Chromium, {len(timings)} zooms): end of zoom to redrawn panels {stats(total)} "
            f"(the page's {debounce} ms debounce included); requests alone {stats([t['fetch'] for t in timings])}, "
            f"the server's reduction {stats([t['server'] for t in timings])}, drawing {stats([t['draw'] for t in timings])}"]


def cases(scale: float):
    from lumoreq.view import data

    shutil.rmtree(_ROOT, ignore_errors=True)
    year = _ROOT / "year"
    built, size, update = _year(year)
    small = _ROOT / "year-small-groups"
    _year(small, small_groups=True)
    net = _ROOT / "network"
    net_built, net_size = _network(net)

    def parts_mb(out):
        return sum(p.stat().st_size for p in data.dataset_parts(out)) / 1e6

    for name, out, notes in (
        ("year", year, [f"summaries: {size / 1e6:.1f} MB per series-year of 1 Hz (parts: "
                        f"{parts_mb(year):.0f} MB), built in {built:.1f} s "
                        f"(12 month parts), one month rewritten in {update:.2f} s"]),
        ("year, small row groups", small, [f"the same year with parts in 65,536-row groups, times delta-coded: "
                                           f"parts {parts_mb(small):.0f} MB"]),
        ("network", net, [f"summaries: {net_size / 1e6:.2f} MB for the whole network, built in {net_built:.1f} s"]),
    ):
        summarised = data.DatasetSource(out)
        plain = data.DatasetSource(out)
        for key in list(plain._series):
            for part in plain._series[key]:
                part.summary = None  # the reference reads every sample in the range
            plain._info[key].levels = []
        plain.refresh_seconds = summarised.refresh_seconds = 1e9
        keys = [s.key for s in summarised.series()]
        views = [(key, _views(summarised.info(key).first, summarised.info(key).last, summarised.info(key).levels,
                              n=40 if name.startswith("year") else 4, seed=i)) for i, key in enumerate(keys)]
        n_views = sum(len(v) for _, v in views)
        measured = {}

        def side(source, label):
            def go():
                times = _latencies(source, views)
                measured[label] = times
                return len(times)
            return go

        def latency_notes(name=name, notes=notes, out=out, keys=keys):
            lines = list(notes)
            for label in ("reference", "native"):
                times = measured.get(label, [])
                if times:
                    lines.append(f"{label}: per view median {_p(times, 50):.1f} ms, p95 {_p(times, 95):.1f} ms, "
                                 f"max {_p(times, 100):.1f} ms ({len(times)} views)")
            if name.startswith("year"):
                lines += _browser_notes(out, keys[0])
            return lines

        yield Case(
            kernel=f"view.m4 ({name})",
            size=f"{n_views} views x {WIDTH} px, {len(keys)} series",
            reference=side(plain, "reference"),
            native=side(summarised, "native"),
            repeat=1,
            notes=latency_notes,
        )
