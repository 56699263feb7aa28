"""The web view's server: a small Starlette app run by uvicorn, read-only, behind a token.

Every request needs the token (query ``token=``, the cookie the first page sets, or the header
``Authorization: token ...``); on the loopback interface the Host header must name it too, so a
web page elsewhere cannot reach the server through a name that resolves to 127.0.0.1. Nothing is
served from a path a request names: series are chosen by their identifiers among those the
dataset lists, static files from a fixed table.
"""

from __future__ import annotations

import hmac
import json
import math
import secrets
import time
import urllib.parse
from pathlib import Path
from typing import Any

import numpy as np

from .data import DatasetSource, FileSource, SeriesKey, ViewError

COOKIE = "lumoreq_view_token"
STATIC = Path(__file__).with_name("static")
MAX_WIDTH = 20000
# Times the view accepts, in ms since 1970 (years 1900 to 2200): anything else is a mistake.
MIN_MS, MAX_MS = -2208988800000.0, 7258118400000.0


def _plotly_js() -> Path:
    import plotly

    path = Path(plotly.__file__).parent / "package_data" / "plotly.min.js"
    if not path.is_file():
        raise ViewError(f"the installed plotly package has no plotly.min.js ({path})")
    return path


class Catalogue:
    """Earthquakes of a catalogue, flagged per station by the library's distance and magnitude rules."""

    def __init__(self, path: str | None):
        self.path = path
        self.events = None
        self._flagged: dict[tuple[float, float], list[dict[str, Any]]] = {}
        if path is None:
            return
        from .. import QCAT

        try:
            self.events = QCAT.read_QCAT(str(path))
        except Exception as error:  # missing, unreadable, not a catalogue
            raise ViewError(f"cannot read the catalogue {path}: {type(error).__name__}: {error}") from error

    def for_station(self, latitude: float | None, longitude: float | None) -> list[dict[str, Any]]:
        if self.events is None or latitude is None or longitude is None or len(self.events) == 0:
            return []
        key = (latitude, longitude)
        if key not in self._flagged:
            from .. import QCAT

            flagged = QCAT.filtered_qcats(self.events, station=(latitude, longitude))
            near = flagged[flagged["flag"] == 1]
            self._flagged[key] = [
                {"t": row_time.value / 1e6, "magnitude": _num(row.magnitude), "name": _text(row.name),
                 "distance": _num(row.distance), "text": _text(row.text), "size": _num(row.size)}
                for row_time, row in zip(near.index, near.itertuples(index=False))
            ]
        return self._flagged[key]


def _num(x: Any) -> float | None:
    try:
        x = float(x)
    except (TypeError, ValueError):
        return None
    return x if math.isfinite(x) else None


def _text(x: Any) -> str | None:
    return x if isinstance(x, str) else None


def _json(data: Any, status: int = 200, headers: dict[str, str] | None = None):
    from starlette.responses import Response

    return Response(json.dumps(data, ensure_ascii=False, allow_nan=False, separators=(",", ":")), status,
                    headers=headers, media_type="application/json")


def _binary(reduction, seconds: float, headers: dict[str, str]):
    """The reduction as the page reads it: n times (ms) then n values, little-endian float64
    (NaN where the line breaks), the rest in a header. Ten times smaller and faster to make and
    to read than the JSON of the same numbers, which is most of a zoom's time besides the
    reduction itself."""
    from starlette.responses import Response

    times = np.ascontiguousarray(reduction.times / 1e6, dtype="<f8")
    values = np.ascontiguousarray(reduction.values, dtype="<f8")
    summary = {"n": len(times), "count": reduction.count, "mean": _finite(reduction.mean),
               "std": _finite(reduction.std), "source": reduction.source, "ms": round(seconds * 1e3, 3)}
    headers = {**headers, "X-Lumoreq-M4": json.dumps(summary, allow_nan=False, separators=(",", ":"))}
    return Response(times.tobytes() + values.tobytes(), media_type="application/octet-stream", headers=headers)


def _finite(x: float) -> float | None:
    return x if math.isfinite(x) else None


def _error(status: int, message: str):
    return _json({"error": message}, status)


def _series_key(params) -> SeriesKey:
    return (params.get("item", ""), params.get("station", ""), params.get("point", ""))


def _ms_param(params, name: str) -> float:
    text = params.get(name)
    if text is None:
        raise ValueError(f"{name} is missing")
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{name} must be a time in milliseconds since 1970, not {text!r}") from None
    if not math.isfinite(value) or not MIN_MS <= value <= MAX_MS:
        raise ValueError(f"{name} lies outside the years 1900 to 2200")
    return value


def range_params(params) -> tuple[int, int, int]:
    """(t0 ns, t1 ns, width) of a request, or ValueError saying what makes no sense."""
    t0, t1 = _ms_param(params, "t0"), _ms_param(params, "t1")
    if not t1 > t0:
        raise ValueError("the range is empty: t1 must be later than t0")
    text = params.get("width")
    try:
        width = int(text)
    except (TypeError, ValueError):
        raise ValueError(f"width must be a whole number of pixels, not {text!r}") from None
    if not 1 <= width <= MAX_WIDTH:
        raise ValueError(f"width must be between 1 and {MAX_WIDTH} pixels")
    t0n, t1n = round(t0 * 1e6), round(t1 * 1e6)
    if t1n <= t0n:
        raise ValueError("the range is shorter than a nanosecond")
    return t0n, t1n, width


def overview_cells(source, cell: str) -> dict[str, Any]:
    """Share of samples present (and of outliers replaced) per series and day, week or month."""
    import pandas as pd

    rows, spans = [], []
    replaced = source.replaced_by_part()
    series = source.series()
    for info in series:
        starts, finite, nans, _sums, step = source.day_counts(info.key)
        spans.append((starts, finite, nans, step))
    all_starts = [s[0] for s in spans if len(s[0])]
    if not all_starts:
        return {"cell": cell, "edges": [], "rows": []}
    first = min(int(a[0]) for a in all_starts)
    last = max(int(a[-1]) for a in all_starts)
    days = pd.date_range(pd.Timestamp(first, unit="ns"), pd.Timestamp(last, unit="ns"), freq="D")
    if cell == "auto":
        cell = "day" if len(days) <= 400 else "week" if len(days) <= 2800 else "month"
    freq = {"day": "D", "week": "W-MON", "month": "MS"}[cell]
    edges = pd.date_range(days[0].to_period({"day": "D", "week": "W-SUN", "month": "M"}[cell]).start_time,
                          days[-1] + pd.Timedelta(days=1), freq=freq)
    if len(edges) == 0 or edges[-1] <= days[-1]:
        edges = edges.append(pd.DatetimeIndex([edges[-1] + pd.tseries.frequencies.to_offset(freq) if len(edges)
                                               else days[-1] + pd.Timedelta(days=1)]))
    edge_ns = edges.as_unit("ns").asi8
    for info, (starts, finite, nans, step) in zip(series, spans):
        cells = np.searchsorted(edge_ns, starts, "right") - 1
        n = len(edge_ns) - 1
        present = np.bincount(cells, weights=finite, minlength=n)[:n]
        missing = np.bincount(cells, weights=nans, minlength=n)[:n]
        seen = np.bincount(cells, minlength=n)[:n] > 0
        expected = np.diff(edge_ns) / step if step > 0 else present + missing
        share = np.where(seen, np.minimum(present / np.maximum(expected, 1), 1.0), np.nan)
        outliers = np.zeros(n)
        for a, b, fraction in replaced.get(info.key, []):
            lo = max(int(np.searchsorted(edge_ns, a, "right")) - 1, 0)
            hi = int(np.searchsorted(edge_ns, b, "right"))
            outliers[lo:hi] = np.maximum(outliers[lo:hi], fraction)
        rows.append({**info.public(), "present": [None if math.isnan(x) else round(float(x), 4) for x in share],
                     "samples": [int(x) for x in present], "nan": [int(x) for x in missing],
                     "replaced": [round(float(x), 4) for x in outliers]})
    return {"cell": cell, "edges": (edge_ns / 1e6).tolist(), "rows": rows}


def create_app(source: DatasetSource | FileSource, token: str, catalogue: Catalogue | None = None,
               allowed_hosts: set[str] | None = None):
    """The Starlette app over `source`. `allowed_hosts`: Host header values accepted (None: any)."""
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.middleware.base import BaseHTTPMiddleware
    from starlette.requests import Request
    from starlette.responses import FileResponse, HTMLResponse, PlainTextResponse
    from starlette.routing import Route

    catalogue = catalogue or Catalogue(None)
    static = {"plotly.min.js": (_plotly_js(), "text/javascript"),
              "view.js": (STATIC / "view.js", "text/javascript"),
              "view.css": (STATIC / "view.css", "text/css")}

    class TokenGate(BaseHTTPMiddleware):
        async def dispatch(self, request: Request, call_next):
            if allowed_hosts is not None and request.headers.get("host", "") not in allowed_hosts:
                return PlainTextResponse("refused: unknown Host header", status_code=403)
            given = (request.query_params.get("token") or request.cookies.get(COOKIE)
                     or request.headers.get("authorization", "").removeprefix("token ").strip())
            if not given or not hmac.compare_digest(given.encode(), token.encode()):
                return PlainTextResponse("refused: this page needs the token printed by lumoreq view "
                                         "(open the address it printed)", status_code=403)
            response = await call_next(request)
            if request.query_params.get("token") and request.cookies.get(COOKIE) != token:
                response.set_cookie(COOKIE, token, httponly=True, samesite="strict")
            response.headers["Cache-Control"] = "no-store" if request.url.path.startswith("/api/") else \
                response.headers.get("Cache-Control", "no-cache")
            response.headers["X-Content-Type-Options"] = "nosniff"
            return response

    def page(name: str):
        def handler(request: Request):
            html = (STATIC / name).read_text(encoding="utf-8")
            return HTMLResponse(html)
        return handler

    def static_file(request: Request):
        entry = static.get(request.path_params["name"])
        if entry is None:
            return PlainTextResponse("not found", status_code=404)
        return FileResponse(entry[0], media_type=entry[1])

    def api_info(request: Request):
        series = source.series()
        return _json({"title": source.title, "kind": source.kind, "updating": source.updating(),
                      "damaged": source.damaged, "catalogue": catalogue.path,
                      "series": [s.public() for s in series]})

    def api_overview(request: Request):
        cell = request.query_params.get("cell", "auto")
        if cell not in ("auto", "day", "week", "month"):
            return _error(400, "cell must be auto, day, week or month")
        data = overview_cells(source, cell)
        quakes: dict[float, dict[str, Any]] = {}
        stations = {}
        for info in source.series():
            stations.setdefault(info.key[1], info)
        for station, info in stations.items():
            for event in catalogue.for_station(info.latitude, info.longitude):
                entry = quakes.setdefault(event["t"], {**event, "stations": []})
                entry["stations"].append(info.station_name or station)
        data["quakes"] = sorted(quakes.values(), key=lambda e: e["t"])
        data["updating"] = source.updating()
        return _json(data)

    def api_m4(request: Request):
        key = _series_key(request.query_params)
        info = source.info(key)
        if info is None:
            return _error(404, f"no series ITEMID={key[0]} STATIONID={key[1]} POINTID={key[2]} in this dataset")
        try:
            t0, t1, width = range_params(request.query_params)
        except ValueError as error:
            return _error(400, str(error))
        began = time.perf_counter()
        try:
            reduction = source.reduce(key, t0, t1, width)
        except ValueError as error:  # damaged part, samples out of order
            return _error(500, str(error))
        seconds = time.perf_counter() - began
        timing = {"Server-Timing": f"m4;dur={seconds * 1e3:.3f}"}
        if request.query_params.get("format") == "binary":
            return _binary(reduction, seconds, timing)
        data = reduction.public()
        data["ms"] = round(seconds * 1e3, 3)
        return _json(data, headers=timing)

    def api_quakes(request: Request):
        station = request.query_params.get("station", "")
        info = next((s for s in source.series() if s.key[1] == station), None)
        if info is None:
            return _error(404, f"no station {station!r} in this dataset")
        return _json({"events": catalogue.for_station(info.latitude, info.longitude)})

    def api_daysums(request: Request):
        key = _series_key(request.query_params)
        if source.info(key) is None:
            return _error(404, "no such series in this dataset")
        starts, finite, _nans, sums, _step = source.day_counts(key)
        keep = finite > 0
        return _json({"t": (starts[keep] / 1e6).tolist(), "v": [float(x) for x in sums[keep]]})

    def saved(make):
        def handler(request: Request):
            from starlette.responses import Response

            from .saves import SaveError

            params = request.query_params
            try:
                t0, t1, _ = range_params({**params, "width": "1"})
            except ValueError as error:
                return _error(400, str(error))
            began = time.perf_counter()
            try:
                download = make(params.get("station", ""), params.get("point", ""), t0, t1)
            except SaveError as error:
                return _error(error.status, str(error))
            except ValueError as error:  # damaged part, samples out of order
                return _error(500, str(error))
            headers = {"Content-Disposition": download.disposition(),
                       "Server-Timing": f"save;dur={(time.perf_counter() - began) * 1e3:.1f}"}
            if download.note:
                headers["X-Lumoreq-Note"] = urllib.parse.quote(download.note)
            return Response(download.body, media_type=download.media_type, headers=headers)
        return handler

    def save_figure(station, point, t0, t1):
        from .saves import figure_png

        return figure_png(source, station, point, t0, t1, catalogue.path)

    def save_ruzi(station, point, t0, t1):
        from .saves import ruzi_file

        return ruzi_file(source, station, point, t0, t1)

    async def not_found(request: Request, exc):
        return PlainTextResponse("not found", status_code=404)

    routes = [
        Route("/", page("overview.html")),
        Route("/series", page("series.html")),
        Route("/static/{name}", static_file),
        Route("/api/info", api_info),
        Route("/api/overview", api_overview),
        Route("/api/m4", api_m4),
        Route("/api/quakes", api_quakes),
        Route("/api/daysums", api_daysums),
        Route("/api/save/figure", saved(save_figure)),
        Route("/api/save/ruzi", saved(save_ruzi)),
    ]
    return Starlette(routes=routes, middleware=[Middleware(TokenGate)], exception_handlers={404: not_found})


def new_token() -> str:
    return secrets.token_hex(24)
