"""The web view: M4 exactness, summaries against the raw samples, the server's refusals."""

from __future__ import annotations

import http.client
import os
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumoreq import _view
from lumoreq.view import data, summaries
from view_data import write_part

S = 1_000_000_000


def reference_m4(t: np.ndarray, v: np.ndarray, t0: int, t1: int, width: int):
    """The M4 result the plain way: kept indices per column, the neighbours outside the range,
    and a NaN point wherever a NaN sample lies between two kept ones."""
    finite = ~np.isnan(v)
    kept = []
    before = np.flatnonzero(finite & (t < t0))
    if len(before):
        kept.append(int(before[-1]))
    inside = np.flatnonzero((t >= t0) & (t < t1) & finite)
    columns = np.array([(int(x) - t0) * width // (t1 - t0) for x in t[inside]], dtype=np.int64)
    for c in np.unique(columns):
        idx = inside[columns == c]
        picks = {int(idx[0]), int(idx[-1]), int(idx[np.argmin(v[idx])]), int(idx[np.argmax(v[idx])])}
        kept.extend(sorted(picks))
    after = np.flatnonzero(finite & (t >= t1))
    if len(after):
        kept.append(int(after[0]))
    nan_before = np.cumsum(~finite)  # NaN samples up to and including each index
    times, values = [], []
    for k, i in enumerate(kept):
        if k and nan_before[i] - nan_before[kept[k - 1]] > 0:
            times.append(int(t[i]))
            values.append(np.nan)
        times.append(int(t[i]))
        values.append(float(v[i]))
    return np.array(times, dtype=np.int64), np.array(values)


def native_m4(t, v, t0, t1, width, chunks=1):
    reducer = _view.RangeReducer(t0, t1, width)
    for part in np.array_split(np.arange(len(t)), chunks):
        reducer.feed(t[part], v[part])
    return reducer.finish(), reducer.moments()


@st.composite
def samples(draw):
    n = draw(st.integers(0, 300))
    steps = draw(st.lists(st.integers(0, 50), min_size=n, max_size=n))
    t = np.cumsum(np.array(steps, dtype=np.int64)) + draw(st.integers(-500, 500))
    pool = [np.nan, 0.0, 1.0, -1.0, 2.5, 1e30]
    v = np.array(draw(st.lists(st.one_of(st.sampled_from(pool), st.floats(-100, 100)), min_size=n, max_size=n)))
    t0 = draw(st.integers(-600, 8000))
    t1 = t0 + draw(st.integers(1, 9000))
    width = draw(st.integers(1, 60))
    return t, v.astype(draw(st.sampled_from([np.float32, np.float64]))), t0, t1, width


@settings(max_examples=300, deadline=None)
@given(samples(), st.integers(1, 4))
def test_m4_equals_the_plain_reduction(case, chunks):
    t, v, t0, t1, width = case
    (times, values), (count, mean, _m2) = native_m4(t, v, t0, t1, width, chunks)
    want_t, want_v = reference_m4(t, v.astype(np.float64), t0, t1, width)
    np.testing.assert_array_equal(times, want_t)
    np.testing.assert_array_equal(values, want_v)  # NaN in the same places
    inside = v[(t >= t0) & (t < t1)].astype(np.float64)
    assert count == int((~np.isnan(inside)).sum())
    if count:
        assert mean == pytest.approx(np.nanmean(inside), rel=1e-9, abs=1e-9)


@st.composite
def aligned(draw):
    bucket = draw(st.sampled_from([10, 30]))
    n = draw(st.integers(1, 400))
    t = np.cumsum(np.array(draw(st.lists(st.integers(0, 7), min_size=n, max_size=n)), dtype=np.int64))
    t += draw(st.integers(-200, 200))
    v = np.array(draw(st.lists(st.sampled_from([np.nan, 0.0, 1.0, -3.0, 7.5, 2.0]), min_size=n, max_size=n)))
    t0 = bucket * draw(st.integers(-30, 100))
    width = draw(st.integers(1, 20))
    column = bucket * draw(st.integers(1, 6))
    return t, v, bucket, t0, t0 + width * column, width


@settings(max_examples=300, deadline=None)
@given(aligned())
def test_summaries_give_the_raw_result_on_their_grid(case):
    t, v, bucket, t0, t1, width = case
    fine = _view.summarize(t, v, bucket)
    coarse = _view.summarize(t, v, 3 * bucket)
    # a coarser level made from a finer one equals the one made from the samples
    made = _view.coarsen(fine, 3 * bucket)
    for key in ("start", "corner_time", "corners", "gaps", "count", "nan"):
        np.testing.assert_array_equal(made[key], coarse[key])
    np.testing.assert_array_equal(made["corner_value"], coarse["corner_value"])
    raw_points, raw_moments = native_m4(t, v, t0, t1, width)
    for level in (fine, coarse if (t0 % (3 * bucket) == 0 and ((t1 - t0) // width) % (3 * bucket) == 0) else fine):
        reducer = _view.RangeReducer(t0, t1, width)
        reducer.feed_buckets(level)
        times, values = reducer.finish()
        np.testing.assert_array_equal(times, raw_points[0])
        np.testing.assert_array_equal(values, raw_points[1])
        count, mean, m2 = reducer.moments()
        assert count == raw_moments[0]
        assert mean == pytest.approx(raw_moments[1], abs=1e-9)
        assert m2 == pytest.approx(raw_moments[2], rel=1e-9, abs=1e-7)


@pytest.mark.parametrize("bad", ["decreasing", "nat"])
def test_reducer_refuses_samples_out_of_order(bad):
    reducer = _view.RangeReducer(0, 100, 10)
    reducer.feed(np.array([5, 6], dtype=np.int64), np.array([1.0, 2.0]))
    times = np.array([4], dtype=np.int64) if bad == "decreasing" else np.array([np.iinfo(np.int64).min])
    with pytest.raises(ValueError, match="must not decrease"):
        reducer.feed(times, np.array([1.0]))
    with pytest.raises(ValueError, match="range is empty"):
        _view.RangeReducer(5, 5, 10)


# ---------------------------------------------------------------------------------------------
# a dataset of two series: summaries after an update, and the server
# ---------------------------------------------------------------------------------------------


def _seconds(day: str, days: int, seed: int, spike_at: int | None = None):
    start = np.datetime64(day, "ns")
    n = days * 86400
    t = start + (np.arange(n, dtype=np.int64) * S).astype("m8[ns]")
    rng = np.random.default_rng(seed)
    v = (np.sin(np.arange(n) / 5000.0) * 10 + rng.standard_normal(n)).astype(np.float32)
    v[rng.integers(0, n - 1000) : ][:700] = np.nan
    if spike_at is not None:
        v[spike_at] = 500.0
    return t, v


@pytest.fixture()
def dataset(tmp_path):
    out = tmp_path / "ds"
    parts = []
    for k, day in enumerate(["2024-03-01", "2024-03-03"]):
        t, v = _seconds(day, 2, seed=k, spike_at=12345 if k == 0 else None)
        parts.append(write_part(out, "3111", "2", t, v))
    hours = np.datetime64("2024-03-01", "ns") + (np.arange(96, dtype=np.int64) * 3600 * S).astype("m8[ns]")
    write_part(out, "9101", "1", hours, np.random.default_rng(5).uniform(0, 2, 96).astype(np.float32))
    return out, parts


def _raw(out, key, t0, t1, width):
    """The reduction of a series' parts read whole (no summaries)."""
    from lumoreq.export import read_parquet

    reducer = _view.RangeReducer(t0, t1, width)
    for part in data.dataset_parts(out, station=key[1], item=key[0], point=key[2]):
        times, values = summaries.part_times_values(read_parquet(part))
        reducer.feed(times, values)
    return reducer.finish(), reducer.moments()


def test_summaries_follow_updates_and_never_serve_a_stale_part(dataset):
    out, parts = dataset
    key = ("3111", "37001", "2")
    day0 = int(np.datetime64("2024-03-01", "ns").astype(np.int64))
    width, column = 96, 3600 * S  # four days in hour columns: on the summaries' grid
    t0, t1 = day0, day0 + width * column
    for part in data.dataset_parts(out):
        summaries.write_for_part(part)
    source = data.DatasetSource(out)
    got = source.reduce(key, t0, t1, width)
    assert got.source.startswith("summary")
    (want_t, want_v), (count, mean, m2) = _raw(out, key, t0, t1, width)
    np.testing.assert_array_equal(got.times, want_t)
    np.testing.assert_array_equal(got.values, want_v)
    assert got.count == count and got.mean == pytest.approx(mean)
    assert 500.0 in got.values  # the one-sample spike

    # the daily update rewrites the second part with a day more; its old summary is now stale
    time.sleep(0.01)
    t, v = _seconds("2024-03-03", 3, seed=9)
    v[100000] = -400.0
    os.replace(write_part(out, "3111", "2", t, v, name="new.tmp"), parts[1])
    source.refresh(force=True)
    stale = source.reduce(key, t0, t1, width)
    assert "raw" in stale.source
    (want_t, want_v), _ = _raw(out, key, t0, t1, width)
    np.testing.assert_array_equal(stale.times, want_t)
    np.testing.assert_array_equal(stale.values, want_v)
    assert -400.0 in stale.values

    summaries.write_for_part(parts[1])
    source.refresh(force=True)
    fresh = source.reduce(key, t0, t1, width)
    assert fresh.source.startswith("summary")
    np.testing.assert_array_equal(fresh.times, want_t)
    np.testing.assert_array_equal(fresh.values, want_v)
    # day counts (the overview) agree with the samples
    starts, finite, nans, _sums, step = source.day_counts(key)
    assert step == S and len(starts) == 5 and int(finite.sum() + nans.sum()) == 5 * 86400


@pytest.mark.parametrize("batch", [7, 64, 65536])
def test_raw_reads_stop_at_the_range_and_keep_its_neighbours(tmp_path, monkeypatch, batch):
    """Narrow views read a row group a batch at a time and stop past the range: the samples and
    the reduction are those of the whole part, wherever the range falls between batches."""
    monkeypatch.setattr(data, "BATCH_ROWS", batch)
    rng = np.random.default_rng(4)
    t = np.sort(rng.choice(np.arange(0, 4000, dtype=np.int64), 500, replace=False)) * S
    t += int(np.datetime64("2024-05-01", "ns").astype(np.int64))
    v = rng.standard_normal(500).astype(np.float32)
    v[rng.integers(0, 500, 40)] = np.nan
    write_part(tmp_path / "ds", "3111", "2", t.astype("M8[ns]"), v)
    source = data.DatasetSource(tmp_path / "ds")
    key = ("3111", "37001", "2")
    ranges = [(t[0] - 5 * S, t[0]), (t[0], t[1]), (t[6], t[8] + 1), (t[63], t[65]), (t[100] + 1, t[101]),
              (t[0] - S, t[-1] + S), (t[-1], t[-1] + S), (t[-1] + S, t[-1] + 9 * S)]
    for t0, t1 in [(int(a), int(b)) for a, b in ranges if b > a]:
        times, values = source.samples(key, t0, t1)
        inside = (t >= t0) & (t < t1)
        np.testing.assert_array_equal(times, t[inside])
        np.testing.assert_array_equal(values, v[inside])
        got = source.reduce(key, t0, t1, 13)
        # as from the part read whole: the range and one sample either side of it
        lo, hi = max(int(np.searchsorted(t, t0)) - 1, 0), int(np.searchsorted(t, t1)) + 1
        if t[0] >= t1 or t[-1] < t0:
            lo = hi = 0  # a part wholly outside the range is not read
        (want_t, want_v), _ = native_m4(t[lo:hi], v[lo:hi], t0, t1, 13)
        np.testing.assert_array_equal(got.times, want_t)
        np.testing.assert_array_equal(got.values, want_v)


# ---------------------------------------------------------------------------------------------
# the server
# ---------------------------------------------------------------------------------------------

TOKEN = "t0ken-for-tests"


@pytest.fixture()
def server(dataset):
    pytest.importorskip("starlette")
    uvicorn = pytest.importorskip("uvicorn")
    from lumoreq.view import bind_socket
    from lumoreq.view.server import Catalogue, create_app

    out, _ = dataset
    sock = bind_socket("127.0.0.1", 0)
    port = sock.getsockname()[1]
    app = create_app(data.DatasetSource(out), TOKEN, Catalogue(None),
                     allowed_hosts={f"127.0.0.1:{port}", f"localhost:{port}"})
    srv = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=srv.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    while not srv.started:
        time.sleep(0.01)
    yield port
    srv.should_exit = True
    thread.join(5)
    sock.close()


def _get(port, path, token=TOKEN, host=None, raw=False):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Host": host or f"127.0.0.1:{port}"}
    if token:
        headers["Authorization"] = f"token {token}"
    conn.request("GET", path, headers=headers)  # sent as written: no path normalisation
    response = conn.getresponse()
    body = response.read()
    if raw:
        return response.status, body, response.headers  # names case-insensitive
    return response.status, body.decode("utf-8", "replace")


M4 = "/api/m4?item=3111&station=37001&point=2"


@pytest.mark.parametrize("path, token, host, status, says", [
    ("/", None, None, 403, "token"),
    ("/api/info", "wrong", None, 403, "token"),
    (M4 + "&t0=0&t1=1000&width=10", None, None, 403, "token"),
    ("/api/info", TOKEN, "evil.example:80", 403, "Host"),
    ("/static/../../../../etc/passwd", TOKEN, None, 404, "not found"),
    ("/static/..%2f..%2fsummaries.py", TOKEN, None, 404, "not found"),
    ("/api/m4?item=3111&station=../../etc&point=2&t0=0&t1=1000&width=10", TOKEN, None, 404, "no series"),
    (M4 + "&t0=1000&t1=1000&width=10", TOKEN, None, 400, "range is empty"),
    (M4 + "&t0=2000&t1=1000&width=10", TOKEN, None, 400, "range is empty"),
    (M4 + "&t0=nan&t1=1000&width=10", TOKEN, None, 400, "1900 to 2200"),
    (M4 + "&t0=0&t1=1e300&width=10", TOKEN, None, 400, "1900 to 2200"),
    (M4 + "&t0=zero&t1=1000&width=10", TOKEN, None, 400, "milliseconds"),
    (M4 + "&t0=0&t1=1000&width=0", TOKEN, None, 400, "width"),
    (M4 + "&t0=0&t1=1000&width=1e9", TOKEN, None, 400, "width"),
    (M4 + "&t1=1000&width=10", TOKEN, None, 400, "t0 is missing"),
    ("/api/overview?cell=year", TOKEN, None, 400, "cell"),
    ("/api/save/ruzi?station=37001&point=2&t0=0&t1=1000", None, None, 403, "token"),
    ("/api/save/figure?station=37001&point=9&t0=0&t1=1000", TOKEN, None, 404, "no series"),
    ("/api/save/ruzi?station=37001&point=2&t0=5&t1=1", TOKEN, None, 400, "range is empty"),
    ("/api/save/ruzi?station=37001&point=2&t0=0&t1=1000", TOKEN, None, 404, "no samples"),
])
def test_server_refuses(server, path, token, host, status, says):
    got, body = _get(server, path, token, host)
    assert got == status
    assert says in body


def test_server_answers_with_the_token(server):
    status, body = _get(server, "/api/info")
    assert status == 200 and "泰安台" in body and "水平摆北南" in body
    status, body = _get(server, "/api/overview?cell=day")
    assert status == 200 and '"present"' in body
    t0 = np.datetime64("2024-03-01", "ms").astype(np.int64)
    status, body = _get(server, M4 + f"&t0={t0}&t1={t0 + 4 * 86400000}&width=800")
    assert status == 200 and "500.0" in body  # the spike
    status, body = _get(server, "/static/plotly.min.js")
    assert status == 200 and len(body) > 1_000_000


def test_saves_stream_the_visible_range(server, dataset, tmp_path, monkeypatch):
    from lumoreq.export import read_parquet, read_ruzi
    from lumoreq.view import saves

    out, parts = dataset
    before = sorted((p, p.stat().st_mtime_ns) for p in out.rglob("*"))
    day0 = int(np.datetime64("2024-03-01T06:00", "ms").astype(np.int64))
    t0, t1 = day0, day0 + 30 * 3600 * 1000  # across the two days of the first part
    status, body, headers = _get(server, f"/api/save/ruzi?station=37001&point=2&t0={t0}&t1={t1}", raw=True)
    assert status == 200 and "filename*=UTF-8''" in headers["Content-Disposition"]
    saved = tmp_path / "saved.ruzi"
    saved.write_bytes(body)
    frame, context = read_ruzi(saved)
    times, values = summaries.part_times_values(read_parquet(parts[0]))
    inside = (times >= t0 * 1_000_000) & (times < t1 * 1_000_000)
    line = frame[frame["ITEMID"] == "3111"]
    np.testing.assert_array_equal(line.index.as_unit("ns").asi8, times[inside])
    np.testing.assert_array_equal(line["OBSVALUE"].to_numpy(), values[inside])  # float32, NaN kept
    assert set(frame["ITEMID"]) == {"3111", "9101"}  # the station's rainfall comes along
    assert {r["ITEMID"] for r in context["item_info"]} == {"3111", "9101"}
    assert context["station_info"][0]["STATIONNAME"] == "泰安台"

    for cap, note in ((saves.FIGURE_SAMPLES, False), (1000, True)):
        monkeypatch.setattr(saves, "FIGURE_SAMPLES", cap)
        status, body, headers = _get(server, f"/api/save/figure?station=37001&point=2&t0={t0}&t1={t1}", raw=True)
        assert status == 200 and body.startswith(b"\x89PNG\r\n\x1a\n") and len(body) > 20_000
        assert ("X-Lumoreq-Note" in headers) == note

    monkeypatch.setattr(saves, "RUZI_SAMPLES", 1000)
    status, body = _get(server, f"/api/save/ruzi?station=37001&point=2&t0={t0}&t1={t1}")
    assert status == 413 and "zoom in" in body
    assert sorted((p, p.stat().st_mtime_ns) for p in out.rglob("*")) == before  # read-only


@pytest.mark.parametrize("hours, bars", [(30, "h"), (96, "D")])
def test_saved_figure_rainfall_sums_the_samples(dataset, hours, bars):
    """Day totals for a view of three days or more, hour totals for a shorter one."""
    import pandas as pd

    from lumoreq.export import read_ruzi
    from lumoreq.view import saves

    out, _ = dataset
    source = data.DatasetSource(out)
    key = ("9101", "37001", "1")
    t0 = int(np.datetime64("2024-03-01T06:00", "ns").astype(np.int64))
    t1 = t0 + hours * 3600 * S
    got = saves._rainfall(source, key, t0, t1)
    frame, _ = read_ruzi(data.dataset_parts(out, item="9101")[0])
    rain = frame["OBSVALUE"].astype(float)
    if bars == "h":
        rain = rain[(rain.index >= pd.Timestamp(t0)) & (rain.index < pd.Timestamp(t1))]
    want = rain.resample(bars).sum()
    want = want[(want.index + pd.Timedelta(1, bars) > pd.Timestamp(t0)) & (want.index < pd.Timestamp(t1))]
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-6)
    assert (got.index == want.index).all()


# ---------------------------------------------------------------------------------------------
# the command: what cannot be shown ends with a message and exit status 1
# ---------------------------------------------------------------------------------------------


def _run_view(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "lumoreq", "view", *map(str, args)], capture_output=True,
                          text=True, timeout=timeout)


def test_view_command_bad_inputs(tmp_path, dataset):
    out, _ = dataset
    empty = tmp_path / "empty"
    (empty / "data").mkdir(parents=True)
    no_series = tmp_path / "table.ruzi"
    import pandas as pd

    from lumoreq import export

    export.write_ruzi(export.to_ruzi(pd.DataFrame({"a": [1, 2]})), no_series)
    damaged = tmp_path / "damaged.ruzi"
    damaged.write_bytes(b"PAR1 not really")
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    try:
        cases = [
            ((tmp_path / "missing",), "does not exist"),
            ((tmp_path / "missing.ruzi",), "no such file"),
            ((empty,), "holds no series parts"),
            ((no_series,), "holds no series"),
            ((damaged,), "damaged"),
            ((out, "--catalogue", tmp_path / "nope.txt"), "cannot read the catalogue"),
            ((out, "--port", busy.getsockname()[1]), "port is in use"),
        ]
        for args, says in cases:
            done = _run_view(*args)
            assert done.returncode == 1, (args, done.stderr)
            assert says in done.stderr and "Traceback" not in done.stderr, (args, done.stderr)
    finally:
        busy.close()


def test_view_command_serves_until_interrupted(dataset):
    import signal
    import urllib.request

    out, _ = dataset
    proc = subprocess.Popen([sys.executable, "-m", "lumoreq", "view", str(out)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        lines = []
        while not any("token=" in line for line in lines):
            line = proc.stdout.readline()
            assert line, proc.stderr.read()
            lines.append(line)
        address = next(line for line in lines if "token=" in line).strip()
        assert address.startswith("http://127.0.0.1:")
        with urllib.request.urlopen(address.replace("/?", "/api/info?"), timeout=10) as response:
            assert response.status == 200
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=20)
        assert proc.returncode == 0 and "stopped" in stdout and "Traceback" not in stderr
    finally:
        if proc.poll() is None:
            proc.kill()

