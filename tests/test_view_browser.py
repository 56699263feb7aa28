"""The web view in headless Chromium: overview, a click into a series, zoom by dragging and by
the wheel, pan; every view drawn exactly (M4 per pixel column) and the one-sample spike of a year
of 1 Hz data visible at every zoom; the two save buttons. Skipped without Chromium and its driver, except in CI
(LUMOREQ_REQUIRE_BROWSER=1). LUMOREQ_VIEW_SCREENSHOTS=DIR keeps the screenshots there."""

from __future__ import annotations

import os
import shutil
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from view_data import month_starts, second_series, write_part

S = 1_000_000_000
SPIKE_AT = np.datetime64("2024-07-17T03:25:41", "ns")
SPIKE = 900.0
TOKEN = "browser-test-token"


def _browser_paths():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    return chromium, driver


def _require():
    chromium, driver = _browser_paths()
    missing = [name for name, path in (("chromium", chromium), ("chromedriver", driver)) if not path]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("selenium")
    if missing:
        if os.environ.get("LUMOREQ_REQUIRE_BROWSER") == "1":
            pytest.fail(f"the browser test needs {', '.join(missing)} (make sysdeps installs them)")
        pytest.skip(f"no {', '.join(missing)}")
    return chromium, driver


@pytest.fixture(scope="module")
def year(tmp_path_factory):
    """A year of 1 Hz at one series (12 month parts, summaries), a minute series and hourly
    rainfall at the same station, and a catalogue with two nearby earthquakes."""
    from lumoreq.view import summaries

    out = tmp_path_factory.mktemp("view") / "year"
    edges = month_starts(2024)
    values = []
    for k in range(12):
        t, v = second_series(edges[k], edges[k + 1], seed=k, spike_at=SPIKE_AT, spike=SPIKE)
        part = write_part(out, "3111", "2", t, v)
        summaries.write_for_part(part)
        values.append(v)
    minutes = edges[0] + (np.arange(366 * 1440, dtype=np.int64) * 60 * S).astype("m8[ns]")
    wave = np.cos(np.arange(len(minutes)) / 700.0).astype(np.float32) * 12
    summaries.write_for_part(write_part(out, "3112", "2", minutes, wave))
    hours = edges[0] + (np.arange(366 * 24, dtype=np.int64) * 3600 * S).astype("m8[ns]")
    rain = np.where(np.random.default_rng(3).random(len(hours)) < 0.03, 2.0, 0.0).astype(np.float32)
    summaries.write_for_part(write_part(out, "9101", "1", hours, rain))
    catalogue = out.parent / "catalogue.txt"
    lines = []
    for when, lat, lon, mag, name in (("20240717021000", 36.31, 117.40, 4.6, "山东泰安"),
                                      ("20241103120000", 35.90, 116.80, 3.8, "山东济宁")):
        lines.append(f"{when} {lat:6.2f}{lon:6.2f} {mag:4.1f}       {name}")
    catalogue.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return out, catalogue, np.concatenate(values), int(edges[0].astype(np.int64))


@pytest.fixture(scope="module")
def site(year):
    pytest.importorskip("starlette")
    uvicorn = pytest.importorskip("uvicorn")
    from lumoreq.view import bind_socket, data
    from lumoreq.view.server import Catalogue, create_app

    out, catalogue, _, _ = year
    sock = bind_socket("127.0.0.1", 0)
    port = sock.getsockname()[1]
    app = create_app(data.DatasetSource(out), TOKEN, Catalogue(str(catalogue)),
                     allowed_hosts={f"127.0.0.1:{port}"})
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    while not server.started:
        time.sleep(0.01)
    yield f"http://127.0.0.1:{port}"
    server.should_exit = True
    thread.join(5)
    sock.close()


@pytest.fixture(scope="module")
def browser():
    chromium, driver_path = _require()
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                 "--force-device-scale-factor=1", "--lang=zh-CN"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    driver.set_script_timeout(30)
    yield driver
    driver.quit()


def _wait(driver, condition, timeout=30.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = driver.execute_script(condition)
        if value:
            return value
        error = driver.execute_script("return window.lvState && window.lvState.error")
        assert not error, error
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {condition}")


def _next_update(driver, before):
    return _wait(driver, f"return window.lvState.updates > {before} && window.lvState.updates")


def _check_exact(state, values, start_ns):
    """Every pixel column's drawn minimum and maximum are the raw samples' own, the points drawn
    are at most four per column, and the spike is drawn whenever it lies in the range."""
    r0, r1 = (round(x * 1e6) for x in state["range"])
    width = state["width"]
    panel = state["panels"][0]
    t = np.array([round(x * 1e6) for x in panel["t"]], dtype=np.int64)
    v = np.array([np.nan if x is None else x for x in panel["v"]])
    inside = (t >= r0) & (t < r1) & ~np.isnan(v)
    assert inside.sum() <= 4 * width
    # the raw samples in the range, per column (1 Hz from start_ns: column edges fall on indices)
    edges_ns = [r0 + -(-(c * (r1 - r0)) // width) for c in range(width + 1)]
    index = np.clip([-(-(e - start_ns) // S) for e in edges_ns], 0, len(values))
    lo, hi = int(index[0]), int(index[-1])
    if hi <= lo:
        return
    bounds = np.asarray(index[:-1], dtype=np.int64) - lo
    chunk = values[lo:hi]
    nonempty = np.diff(np.append(bounds, hi - lo)) > 0
    with np.errstate(invalid="ignore"):
        raw_min = np.fmin.reduceat(chunk, np.minimum(bounds, hi - lo - 1))[nonempty]
        raw_max = np.fmax.reduceat(chunk, np.minimum(bounds, hi - lo - 1))[nonempty]
    columns = np.array([(int(x) - r0) * width // (r1 - r0) for x in t[inside]], dtype=np.int64)
    drawn_min = np.full(width, np.nan)
    drawn_max = np.full(width, np.nan)
    np.fmin.at(drawn_min, columns, v[inside])
    np.fmax.at(drawn_max, columns, v[inside])
    np.testing.assert_array_equal(drawn_min[nonempty], raw_min.astype(np.float64))
    np.testing.assert_array_equal(drawn_max[nonempty], raw_max.astype(np.float64))
    spike_ns = int(SPIKE_AT.astype(np.int64))
    if r0 <= spike_ns < r1:
        assert SPIKE in v[inside]


def _screenshot(driver, name):
    keep = os.environ.get("LUMOREQ_VIEW_SCREENSHOTS")
    if keep:
        Path(keep).mkdir(parents=True, exist_ok=True)
        driver.save_screenshot(str(Path(keep) / name))


def _plot_point(driver, ms):
    """Viewport coordinates of time `ms` on the series panels' shared axis (middle of the first panel)."""
    return driver.execute_script(
        "const gd = document.getElementById('panels'); const ax = gd._fullLayout.xaxis;"
        "const box = gd.querySelector('.nsewdrag').getBoundingClientRect();"
        "return [box.left + ax.l2p(arguments[0]), box.top + box.height / 2];", ms)


def _pointer(driver):
    from selenium.webdriver.common.actions.action_builder import ActionBuilder

    builder = ActionBuilder(driver)
    return builder, builder.pointer_action


def _click(driver, x, y):
    builder, pointer = _pointer(driver)
    pointer.move_to_location(int(x), int(y))
    pointer.click()
    builder.perform()


def _drag(driver, a, b):
    builder, pointer = _pointer(driver)
    pointer.move_to_location(int(a[0]), int(a[1]))
    pointer.pointer_down()
    for k in (1, 2, 3):  # a few steps: the plot sees a drag, not a jump
        pointer.move_to_location(int(a[0] + (b[0] - a[0]) * k / 3), int(a[1] + (b[1] - a[1]) * k / 3))
    pointer.pointer_up()
    builder.perform()


def _state(driver):
    return driver.execute_script("return window.lvState")


def _check_saves(driver, folder, state, values, start_ns):
    """The two save buttons: the station's figure as a PNG, and the samples of the visible range
    as a RUZI file equal to the raw samples."""
    from selenium.webdriver.common.by import By

    from lumoreq.export import read_ruzi

    driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(folder)})
    for kind in ("figure", "ruzi"):
        count = len(_state(driver)["saved"])
        driver.find_element(By.ID, f"save-{kind}").click()
        _wait(driver, f"return window.lvState.saved.length > {count}", timeout=60)
    saved = _state(driver)["saved"][-2:]
    assert all(not s.get("error") for s in saved), saved
    files = [folder / s["name"] for s in saved]
    _wait_for(lambda: all(f.is_file() and f.stat().st_size == s["bytes"] for f, s in zip(files, saved)))
    assert files[0].suffix == ".png" and files[0].read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    frame, context = read_ruzi(files[1])
    r0, r1 = (round(x * 1e6) for x in state["range"])
    lo, hi = (-(-(t - start_ns) // S) for t in (r0, r1))
    line = frame[frame["ITEMID"] == "3111"]
    assert len(line) == hi - lo > 0
    np.testing.assert_array_equal(line["OBSVALUE"].to_numpy(), values[lo:hi])
    assert context["station_info"][0]["STATIONNAME"] == "泰安台"


def _wait_for(condition, timeout=30.0):
    end = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < end, "timed out waiting for the downloads"
        time.sleep(0.05)


def test_browser_walk(browser, site, year, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    from selenium.webdriver.common.by import By

    _, _, values, start_ns = year
    driver = browser
    # without the token: refused
    driver.get(site + "/")
    assert "token" in driver.find_element(By.TAG_NAME, "body").text
    # the overview
    driver.get(f"{site}/?token={TOKEN}")
    _wait(driver, "return window.lvState.updates >= 1")
    overview = driver.execute_script("return window.lvState.overview")
    assert overview["rows"] == 3 and overview["cell"] == "day"
    _screenshot(driver, "view-overview.png")
    # a click on the 1 Hz series' cell on the spike's day opens its station's series then
    spike_ms = float(SPIKE_AT.astype("M8[ms]").astype(np.int64))
    x, y = driver.execute_script(
        "const gd = document.getElementById('overview'); const xa = gd._fullLayout.xaxis, ya = gd._fullLayout.yaxis;"
        "const box = gd.querySelector('.nsewdrag').getBoundingClientRect();"
        "const i = ya.ticktext.findIndex((l) => l.includes('水平摆北南'));"
        "return [box.left + xa.l2p(arguments[0]), box.top + ya.l2p(i)];", spike_ms)
    _click(driver, x, y)
    _wait(driver, "return location.pathname === '/series' && window.lvState.updates >= 1")
    state = _state(driver)
    assert state["range"][0] <= spike_ms < state["range"][1]
    _check_exact(state, values, start_ns)
    # the whole year, from the summaries
    driver.find_element(By.ID, "full").click()
    _next_update(driver, state["updates"])
    state = _state(driver)
    assert state["range"][1] - state["range"][0] > 300 * 86400e3
    assert state["panels"][0]["source"].startswith("summary")
    _check_exact(state, values, start_ns)
    # drag a box around the spike (a week), then again (hours)
    for half in (4 * 86400e3, 3 * 3600e3):
        before = _state(driver)["updates"]
        _drag(driver, _plot_point(driver, spike_ms - half), _plot_point(driver, spike_ms + half))
        _next_update(driver, before)
        state = _state(driver)
        assert state["range"][1] - state["range"][0] < 2.2 * half
        _check_exact(state, values, start_ns)
    # the wheel: in to single samples, then out again
    for dy in (-600, -600, -600, 900):
        x, y = _plot_point(driver, spike_ms)
        before = _state(driver)["updates"]
        grid = driver.find_element(By.CSS_SELECTOR, "#panels .nsewdrag")
        g = grid.rect
        ActionChains(driver).scroll_from_origin(
            ScrollOrigin.from_element(grid, int(x - g["x"] - g["width"] / 2), int(y - g["y"] - g["height"] / 2)),
            0, dy).perform()
        _next_update(driver, before)
        state = _state(driver)
        _check_exact(state, values, start_ns)
    # pan with the mode bar's pan tool: drag to the right (once plotly's zoom tip, which shows
    # over the mode bar for a moment, has gone, as a user would wait for it)
    _wait(driver, "return !document.querySelector('.notifier-note')")
    driver.find_element(By.CSS_SELECTOR, "#panels .modebar-btn[data-val='pan']").click()
    state = _state(driver)
    a = _plot_point(driver, (state["range"][0] + state["range"][1]) / 2)
    _drag(driver, a, (a[0] + 150, a[1]))
    _next_update(driver, state["updates"])
    panned = _state(driver)
    assert panned["range"][0] < state["range"][0]
    _check_exact(panned, values, start_ns)
    _check_saves(driver, tmp_path, panned, values, start_ns)
    # a view for the docs: a week around the spike and the earthquake before it
    driver.execute_script(
        "Plotly.relayout(document.getElementById('panels'), {'xaxis.range': [arguments[0], arguments[1]]})",
        spike_ms - 3 * 86400e3, spike_ms + 4 * 86400e3)
    _next_update(driver, panned["updates"])
    _check_exact(_state(driver), values, start_ns)
    _screenshot(driver, "view-series.png")
