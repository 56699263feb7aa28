"""Kill writers at chosen moments and sort out what they left behind.

A fork server (a Python process that has imported the package and its libraries once, and starts
no thread) forks one child per trial. The child prepares its data, says "ready", writes, and
says "done"; the server kills it with SIGKILL a given time after "ready" (unless it finished).
The test process then looks at the target: the old contents, the new ones, or something else.

Writes can be slowed: in the child, files opened for writing through Python (and Parquet files
written by pyarrow) are written in small pieces with a pause after each, so a kill lands inside
the write far more often.

Run as a script (``python tests/reliability_kit.py serve``) it is the server itself.
"""

from __future__ import annotations

import builtins
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


# ---------------------------------------------------------------------------------------------
# Test side
# ---------------------------------------------------------------------------------------------


class ForkServer:
    """One server process; `trial` runs one scenario in a fresh fork of it."""

    def __init__(self, env: dict[str, str] | None = None) -> None:
        full_env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=str(HERE))
        full_env.update(env or {})
        self.proc = subprocess.Popen(
            [sys.executable, str(HERE / "reliability_kit.py"), "serve"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=full_env,
        )
        hello = self.proc.stdout.readline()
        if hello.strip() != "ready":
            raise RuntimeError(f"fork server did not start: {hello!r}")

    def trial(self, scenario: str, args: dict, kill_after: float | None, slow: bool = False,
              timeout: float = 120.0) -> dict:
        """Run `scenario` once; kill it `kill_after` seconds after it is ready (None: never)."""
        request = {"scenario": scenario, "args": args, "kill_after": kill_after, "slow": slow, "timeout": timeout}
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("fork server ended")
        return json.loads(line)

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self) -> "ForkServer":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def kill_moments(duration: float, count: int) -> list[float]:
    """`count` moments spread over a write of `duration` seconds, a few past its end."""
    return [duration * (0.03 + 1.1 * i / max(1, count - 1)) for i in range(count)]


def run_kills(server: ForkServer, scenario: str, args: dict, count: int, slow: bool, classify,
              reset=None) -> list[str]:
    """`count` killed trials of `scenario`; `classify()` names what each left (after `reset()`).

    One unkilled run first measures how long the write takes.
    """
    if reset:
        reset()
    timing = server.trial(scenario, args, None, slow)
    if timing["outcome"] != "finished":
        raise RuntimeError(f"{scenario} does not finish: {timing}")
    outcomes = []
    for moment in kill_moments(timing["write_seconds"], count):
        if reset:
            reset()
        result = server.trial(scenario, args, moment, slow)
        if result["outcome"] == "failed":
            raise RuntimeError(f"{scenario} failed: {result}")
        outcomes.append(classify())
    return outcomes


# ---------------------------------------------------------------------------------------------
# Slow writes (in the child only)
# ---------------------------------------------------------------------------------------------

PIECE = 16 * 1024
PAUSE = 0.004


class SlowFile:
    """A file object whose writes go out in small pieces with a pause after each."""

    def __init__(self, raw) -> None:
        self._raw = raw

    def write(self, data) -> int:
        view = memoryview(data) if not isinstance(data, str) else data
        for start in range(0, len(view), PIECE):
            self._raw.write(view[start : start + PIECE])
            self._raw.flush()
            time.sleep(PAUSE)
        return len(view)

    def __getattr__(self, name):
        return getattr(self._raw, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._raw.close()

    def __iter__(self):
        return iter(self._raw)


def slow_down_writes() -> None:
    real_open = builtins.open

    def slow_open(file, mode="r", *args, **kwargs):
        raw = real_open(file, mode, *args, **kwargs)
        return SlowFile(raw) if any(c in mode for c in "wax+") else raw

    builtins.open = slow_open
    import pyarrow.parquet as pq

    real_write_table = pq.write_table

    def slow_write_table(table, where, *args, **kwargs):
        if isinstance(where, (str, os.PathLike)):
            with real_open(where, "wb") as raw:
                return real_write_table(table, SlowFile(raw), *args, **kwargs)
        return real_write_table(table, where, *args, **kwargs)

    pq.write_table = slow_write_table


# ---------------------------------------------------------------------------------------------
# Scenarios: prepare(args) -> the write, run in the child
# ---------------------------------------------------------------------------------------------


def series_frame(version: int, rows: int):
    """A fetched-looking table whose values tell `version` apart."""
    import numpy as np
    import pandas as pd

    index = pd.date_range("2024-01-01", periods=rows, freq="min", name="STARTDATE")
    return pd.DataFrame(
        {
            "STATIONID": "11012",
            "POINTID": "1",
            "ITEMID": "2311",
            "OBSVALUE": (np.arange(rows) % 997 + version * 10_000).astype("float32"),
        },
        index=index,
    )


def prepare_export(args):
    from lumoreq import fetching, sample

    conn = sample.connect(args["db"], read_only=True)
    fetching.MetadataFetcher.get_timeseries_info(conn)  # warm up: the write is what is timed
    df = series_frame(args["version"], args["rows"])
    return lambda: fetching.DataFetcher.export_ruzi(conn, df, args["target"], "01")


def prepare_figure(args):
    import matplotlib.pyplot as plt
    import numpy as np

    from lumoreq import chartwork

    os.chdir(args["cwd"])
    width = 4 + 2 * args["version"]
    fig, ax = plt.subplots(figsize=(width, 3))
    rng = np.random.default_rng(args["version"])
    ax.plot(rng.normal(size=args.get("points", 20_000)), lw=0.3)
    plotter = chartwork.TSPlotter.__new__(chartwork.TSPlotter)  # saving needs no connection
    return lambda: plotter._save_figure(fig, args["name"], "png", 300)


def prepare_annual(args):
    import numpy as np
    import pandas as pd

    from lumoreq import yearcompare

    os.chdir(args["cwd"])
    index = pd.date_range("2022-01-01", "2023-12-31", freq="D")
    df = pd.DataFrame({"OBSVALUE": np.sin(np.arange(len(index)) / 30.0) + args["version"]}, index=index)
    size = (4 + 2 * args["version"], 3)
    return lambda: yearcompare.plot_annual_comparison(df, output_file=args["name"], figsize=size, dpi=150)


def prepare_cache(args):
    from lumoreq import metadata_cache, sample

    conn = sample.connect(args["db"], read_only=True)
    return lambda: metadata_cache.MetadataCache.refresh_cache(conn=conn, cache_dir=args["cache_dir"])


def prepare_sample(args):
    from lumoreq import sample

    kwargs = dict(days=args.get("days", 20), minute_days=args.get("minute_days", 1), second_days=0,
                  seed=args["seed"])
    return lambda: sample.build(args["target"], **kwargs)


def prepare_write_bytes(args):
    from lumoreq._files import atomic_path

    data = bytes([args["version"] % 256]) * args["size"]

    def write():
        with atomic_path(args["target"]) as temp:
            with open(temp, "wb") as f:
                f.write(data)

    return write


# The same writes as the package did before they went through the crash-safe writer (for the
# "before" figures of `make reliability`): straight into the target.


def prepare_export_direct(args):
    import pyarrow.parquet as pq

    from lumoreq import fetching, sample

    conn = sample.connect(args["db"], read_only=True)
    fetching.MetadataFetcher.get_timeseries_info(conn)
    df = series_frame(args["version"], args["rows"])

    def write():
        table = fetching.DataFetcher.to_ruzi(conn, df, "01")
        pq.write_table(table, args["target"])

    return write


def prepare_figure_direct(args):
    import matplotlib.pyplot as plt
    import numpy as np

    os.chdir(args["cwd"])
    fig, ax = plt.subplots(figsize=(4 + 2 * args["version"], 3))
    ax.plot(np.random.default_rng(args["version"]).normal(size=args.get("points", 20_000)), lw=0.3)
    os.makedirs("figures", exist_ok=True)
    return lambda: fig.savefig(f"./figures/{args['name']}.png", dpi=300, bbox_inches="tight")


def load_module_file(path: str, name: str):
    """A module from a file (an earlier version of one of the package's Python modules)."""
    import importlib.util

    spec = importlib.util.spec_from_file_location(f"lumoreq.{name}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def prepare_cache_module(args):
    from lumoreq import sample

    module = load_module_file(args["module"], "metadata_cache_before")
    conn = sample.connect(args["db"], read_only=True)
    return lambda: module.MetadataCache.refresh_cache(conn=conn, cache_dir=args["cache_dir"])


def prepare_sample_module(args):
    module = load_module_file(args["module"], "sample_before")
    kwargs = dict(days=args.get("days", 20), minute_days=args.get("minute_days", 1), second_days=0,
                  seed=args["seed"])
    return lambda: module.build(args["target"], **kwargs)


SCENARIOS = {
    "export_direct": prepare_export_direct,
    "figure_direct": prepare_figure_direct,
    "cache_module": prepare_cache_module,
    "sample_module": prepare_sample_module,
    "export": prepare_export,
    "figure": prepare_figure,
    "annual": prepare_annual,
    "cache": prepare_cache,
    "sample": prepare_sample,
    "write_bytes": prepare_write_bytes,
}


# ---------------------------------------------------------------------------------------------
# What a trial left (test side)
# ---------------------------------------------------------------------------------------------


def temp_leftovers(folder) -> list[str]:
    from lumoreq import _files

    return [n for n in os.listdir(folder) if _files.leftover_owner(n) is not None or n.endswith(".partial")
            or ".partial." in n]


def ruzi_state(path, versions=(1, 2), rows=None) -> str:
    """"v<n>" when the file holds exactly the frame of version n; "absent"; "detected" for an
    error naming the file; "WRONG" for anything else (values that are not what was written)."""
    import numpy as np

    from lumoreq import export

    if not os.path.exists(path):
        return "absent"
    try:
        frame, _ = export.read_ruzi(path)
    except ValueError as error:
        return "damaged" if os.fspath(path) in str(error) else "WRONG: " + str(error)[:80]
    for version in versions:
        expected = series_frame(version, rows or len(frame))
        if len(frame) == len(expected) and np.array_equal(frame["OBSVALUE"].to_numpy(), expected["OBSVALUE"].to_numpy()):
            return f"v{version}"
    return "WRONG"


def png_state(path, old_bytes: bytes | None) -> str:
    """"old" (the earlier file, byte for byte), "new" (another complete PNG), "absent", "damaged"."""
    from PIL import Image

    if not os.path.exists(path):
        return "absent"
    data = Path(path).read_bytes()
    if old_bytes is not None and data == old_bytes:
        return "old"
    try:
        with Image.open(path) as image:
            image.load()
        if not data.rstrip(b"\0").endswith(b"IEND\xaeB`\x82"):
            return "damaged"
    except Exception:
        return "damaged"
    return "new"


def dictionary_db(path, marker: str) -> Path:
    """A database holding only the dictionary tables, every name marked with `marker`."""
    import duckdb

    path = Path(path)
    con = duckdb.connect(str(path))
    try:
        con.execute("CREATE SCHEMA ZODUZA")
        n = 300
        con.execute(f"CREATE TABLE ZODUZA.QZ_DICT_STATIONS AS SELECT i AS STATIONID, '{marker}' || i AS STATIONNAME, "
                    f"100.0 + i / 1000 AS LONGITUDE, 30.0 AS LATITUDE, 10.0 AS ALTITUDE FROM range({n}) t(i)")
        con.execute(f"CREATE TABLE ZODUZA.QZ_DICT_POINTS AS SELECT i AS STATIONID, '1' AS POINTID, "
                    f"'{marker}' || i AS POINTNAME, 100.0 AS LONGITUDE, 30.0 AS LATITUDE FROM range({n}) t(i)")
        con.execute(f"CREATE TABLE ZODUZA.QZ_DICT_ITEMS AS SELECT CAST(2000 + i AS VARCHAR) AS ITEMID, "
                    f"'{marker}' || i AS ITEMNAME, 'm' AS UNIT, '231' AS METHODID FROM range({n}) t(i)")
        con.execute(f"CREATE TABLE ZODUZA.QZ_DICT_METHODS AS SELECT CAST(100 + i AS VARCHAR) AS METHODID, "
                    f"'{marker}' || i AS METHODNAME FROM range({n}) t(i)")
        con.execute(f"CREATE TABLE ZODUZA.QZ_DICT_STATIONITEMS AS SELECT i AS STATIONID, '1' AS POINTID, "
                    f"'{marker}' || i AS ITEMID FROM range({n}) t(i)")
    finally:
        con.close()
    return path


def cache_state(cache_dir, cache_class=None) -> str:
    """"A"/"B" when every table is of one database, "mixed", "absent", "detected" (an error naming
    a cache file) or "WRONG"."""
    if cache_class is None:
        from lumoreq.metadata_cache import MetadataCache as cache_class
    columns = {"stations": "STATIONNAME", "points": "POINTNAME", "items": "ITEMNAME", "methods": "METHODNAME",
               "stationitems": "ITEMID"}
    try:
        if hasattr(cache_class, "get_tables"):
            frames = cache_class.get_tables(list(columns), cache_dir=cache_dir)
        else:  # an earlier version: one table after the other
            frames = {name: cache_class.get_table(name, cache_dir=cache_dir) for name in columns}
    except FileNotFoundError:
        return "absent"
    except ValueError as error:
        return "damaged" if "cache" in str(error) and str(cache_dir) in str(error) else "WRONG"
    except Exception:
        return "unreadable"
    markers = set()
    for name, column in columns.items():
        frame = frames[name]
        values = set(frame[column].astype(str).str[:1])
        if len(frame) != 300 or len(values) != 1:
            return "WRONG"
        markers |= values
    if markers == {"absent"}:
        return "absent"
    if len(markers) == 1:
        return markers.pop()
    return "mixed"


def sample_state(path, seeds=(1, 2)) -> str:
    """"seed<n>" for a complete network (its database and catalogue) of seed n, "absent", or
    "incomplete" (found out, so it is rebuilt, not used)."""
    from lumoreq import sample

    try:
        record = sample.check(path)
    except FileNotFoundError:
        return "absent"
    except ValueError:
        return "incomplete"
    for seed in seeds:
        if record["arguments"].endswith(f", {seed})"):
            return f"seed{seed}"
    return "WRONG"


def sample_state_before(path, module, seeds=(1, 2), days=20) -> str:
    """What an earlier version's demo would use: "seed<n>" when the database and catalogue are
    both of seed n; "mismatched"/"empty catalogue"/"no catalogue" for what it used silently."""
    import duckdb

    path = Path(path)
    if not path.exists():
        return "absent"
    try:
        con = duckdb.connect(str(path), read_only=True)
        first = con.execute("SELECT min(OBSVALUE) FROM ZODUZA.DYU_90_411").fetchone()[0]
        con.close()
    except Exception:
        return "damaged database"
    catalogue = path.with_name("catalogue.txt")
    if not catalogue.exists():
        return "no catalogue"
    text = catalogue.read_text(encoding="utf-8", errors="replace")
    if not text:
        return "empty catalogue"
    db_seed = None
    for seed in seeds:
        reference = Path(f"{path}.ref{seed}")
        if not reference.exists():
            module.build(reference, days=days, minute_days=1, second_days=0, seed=seed, catalogue=False)
        con = duckdb.connect(str(reference), read_only=True)
        if con.execute("SELECT min(OBSVALUE) FROM ZODUZA.DYU_90_411").fetchone()[0] == first:
            db_seed = seed
        con.close()
    for seed in seeds:
        reference = Path(f"{path}.cat{seed}")
        if not reference.exists():
            module.write_catalogue(reference, days=days, seed=seed)
        if reference.read_text(encoding="utf-8") == text:
            return f"seed{seed}" if seed == db_seed else "mismatched"
    return "truncated catalogue"


# ---------------------------------------------------------------------------------------------
# Server side
# ---------------------------------------------------------------------------------------------


def _child(request, out_fd) -> None:
    try:
        if request["slow"]:
            slow_down_writes()
        write = SCENARIOS[request["scenario"]](request["args"])
        os.write(out_fd, b"r")
        write()
        os.write(out_fd, b"d")
        os._exit(0)
    except BaseException as error:  # reported to the server, never raised into it
        try:
            os.write(out_fd, b"e" + repr(error).encode("utf-8", "replace")[:2000])
        finally:
            os._exit(3)


def _run(request) -> dict:
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        _child(request, w)
    os.close(w)
    buf = b""

    def pump(until, deadline) -> None:
        # read what the child says until `until(buf)`, the deadline, or its end (EOF)
        nonlocal buf
        while not until(buf):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([r], [], [], left)[0]:
                return
            piece = os.read(r, 4096)
            if not piece:
                return
            buf += piece

    deadline = time.monotonic() + request["timeout"]
    pump(lambda b: b[:1] == b"r", deadline)  # an error ("e...") is read to its end
    if buf[:1] != b"r":
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(r)
        return {"outcome": "failed", "detail": buf[1:].decode("utf-8", "replace") or "no answer"}
    started = time.monotonic()
    kill_after = request["kill_after"]
    pump(lambda b: b[1:2] == b"d", started + kill_after if kill_after is not None else deadline)
    write_seconds = time.monotonic() - started
    detail = ""
    if buf[1:2] == b"d":
        outcome = "finished"
    elif buf[1:2] == b"e":
        outcome, detail = "failed", buf[2:].decode("utf-8", "replace")
    else:
        os.kill(pid, signal.SIGKILL)
        outcome = "killed" if kill_after is not None else "failed"
    os.waitpid(pid, 0)
    os.close(r)
    return {"outcome": outcome, "write_seconds": write_seconds, "detail": detail}


def serve() -> None:
    import warnings

    warnings.simplefilter("ignore", DeprecationWarning)
    # Everything a scenario uses is imported once, here, before any fork.
    import duckdb  # noqa: F401
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot  # noqa: F401
    import pandas  # noqa: F401
    import pyarrow.parquet  # noqa: F401
    import sqlalchemy  # noqa: F401

    from lumoreq import chartwork, export, fetching, metadata_cache, sample, yearcompare  # noqa: F401

    print("ready", flush=True)
    for line in sys.stdin:
        if not line.strip():
            continue
        print(json.dumps(_run(json.loads(line))), flush=True)


# ---------------------------------------------------------------------------------------------
# The full trials (make reliability)
# ---------------------------------------------------------------------------------------------


def _tally(outcomes) -> str:
    counts: dict[str, int] = {}
    for outcome in outcomes:
        counts[outcome] = counts.get(outcome, 0) + 1
    return ", ".join(f"{name} {count}" for name, count in sorted(counts.items(), key=lambda kv: -kv[1]))


def full_trials(workdir: Path, trials: int, before: Path | None, writers: list[str]) -> list[tuple[str, str, int, str]]:
    """Kill trials per writer (half of them with slowed writes); rows of (writer, version,
    trials, outcomes). With `before` (a folder with an earlier version's metadata_cache.py and
    sample.py), the same trials of the earlier writes too."""
    from lumoreq import _files, sample

    rows = []
    half = max(1, trials // 2)
    with ForkServer() as server:
        db = workdir / "net" / "n.duckdb"
        if not db.exists():
            sample.build(db, days=10, minute_days=1, second_days=0)

        def leftovers_note(folder) -> str:
            left = temp_leftovers(folder)
            size = sum((Path(folder) / n).stat().st_size for n in left if (Path(folder) / n).is_file())
            return f"; temporary files left: {len(left)} ({size / 1e6:.1f} MB)" if left else ""

        def kill_rows(label, version, scenario, args, classify, reset, folder, slowable=True):
            outcomes = run_kills(server, scenario, args, half, False, classify, reset)
            outcomes += run_kills(server, scenario, args, trials - half, slowable, classify, reset)
            note = leftovers_note(folder)
            _files.sweep(folder)
            rows.append((label, version, len(outcomes), _tally(outcomes) + note))
            print(rows[-1], file=sys.stderr, flush=True)

        if "export" in writers:
            folder = workdir / "export"
            folder.mkdir(exist_ok=True)
            target = folder / "out.ruzi"
            rows_n = 200_000
            base = {"db": str(db), "target": str(target), "rows": rows_n}
            server.trial("export", dict(base, version=1), None)
            first = target.read_bytes()
            reset = lambda: target.write_bytes(first)  # noqa: E731
            classify = lambda: ruzi_state(target, rows=rows_n)  # noqa: E731
            if before is not None:
                kill_rows("export_ruzi", "before", "export_direct", dict(base, version=2), classify, reset, folder)
            kill_rows("export_ruzi", "after", "export", dict(base, version=2), classify, reset, folder)
        for kind in ("figure", "annual"):
            if kind not in writers:
                continue
            folder = workdir / kind
            folder.mkdir(exist_ok=True)
            name = "panel" if kind == "figure" else "annual.png"
            target = folder / "figures" / ("panel.png" if kind == "figure" else "annual.png")
            base = {"cwd": str(folder), "name": name}
            server.trial(kind, dict(base, version=1), None)
            first = target.read_bytes()
            reset = lambda: target.write_bytes(first)  # noqa: E731
            classify = lambda: png_state(target, first)  # noqa: E731
            label = "TSPlotter figure save" if kind == "figure" else "annual comparison"
            if before is not None and kind == "figure":
                kill_rows(label, "before", "figure_direct", dict(base, version=2), classify, reset, target.parent)
            kill_rows(label, "after", kind, dict(base, version=2), classify, reset, target.parent)
        if "cache" in writers:
            a = workdir / "dict_a.duckdb"
            b = workdir / "dict_b.duckdb"
            for path, marker in ((a, "A"), (b, "B")):
                if not path.exists():
                    dictionary_db(path, marker)
            versions = [("after", "cache", {}, None)]
            if before is not None:
                module = load_module_file(str(before / "metadata_cache.py"), "metadata_cache_before")
                versions.insert(0, ("before", "cache_module", {"module": str(before / "metadata_cache.py")},
                                    module.MetadataCache))
            for version, scenario, extra, cache_class in versions:
                cache = workdir / f"cache_{version}"
                shutil.rmtree(cache, ignore_errors=True)
                server.trial(scenario, dict(extra, db=str(a), cache_dir=str(cache)), None)
                reset = lambda c=cache, e=extra, sc=scenario: server.trial(sc, dict(e, db=str(a), cache_dir=str(c)), None)
                classify = lambda c=cache, k=cache_class: cache_state(c, k)
                kill_rows("metadata-cache refresh", version, scenario, dict(extra, db=str(b), cache_dir=str(cache)),
                          classify, reset, cache)
        if "sample" in writers:
            versions = [("after", "sample", {}, None)]
            if before is not None:
                module = load_module_file(str(before / "sample.py"), "sample_before")
                versions.insert(0, ("before", "sample_module", {"module": str(before / "sample.py")}, module))
            for version, scenario, extra, module in versions:
                target = workdir / f"sample_{version}" / "n.duckdb"
                target.parent.mkdir(exist_ok=True)
                base = dict(extra, target=str(target), days=10)
                server.trial(scenario, dict(base, seed=1), None)
                reset = lambda b=base, sc=scenario: server.trial(sc, dict(b, seed=1), None)
                if module is None:
                    classify = lambda t=target: sample_state(t)
                else:
                    classify = lambda t=target, m=module: sample_state_before(t, m, days=10)
                kill_rows("sample network build", version, scenario, dict(base, seed=2), classify, reset,
                          target.parent, slowable=False)
    return rows


def _flip(data: bytes, rng) -> bytes:
    damaged = bytearray(data)
    damaged[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    return bytes(damaged)


def flip_trials(workdir: Path, flips: int, before: Path | None) -> list[tuple[str, str, int, str]]:
    """Single-byte flips of a RUZI file and of a metadata-cache file, read back: "same values",
    "error naming the file", "error not naming the file", or "WRONG values"."""
    import random

    import numpy as np
    import pandas as pd
    import pyarrow.parquet as pq

    from lumoreq import export, sample
    from lumoreq.metadata_cache import MetadataCache

    rows = []
    rng = random.Random(2024)
    frame = series_frame(3, 20_000)
    frame["DATAFLAG"] = np.where(np.arange(len(frame)) % 3 == 0, "A", "B")
    versions = [("after", export, lambda table, path: export.write_ruzi(table, path))]
    if before is not None:
        old = load_module_file(str(before / "export.py"), "export_before")
        versions.insert(0, ("before", old, lambda table, path: pq.write_table(table, path)))
    for version, module, write in versions:
        good = workdir / f"good_{version}.ruzi"
        write(module.to_ruzi(frame, {"k": 1}), good)
        data = good.read_bytes()
        outcomes = []
        for i in range(flips):
            path = workdir / f"flip_{version}.ruzi"
            path.write_bytes(_flip(data, rng))
            try:
                back, _ = module.read_ruzi(path)
            except Exception as error:
                outcomes.append("error naming the file" if str(path) in str(error) else "error not naming the file")
                continue
            try:
                pd.testing.assert_frame_equal(back, frame, check_freq=False, check_dtype=False)
                outcomes.append("same values")
            except Exception:  # different, or not even valid text
                outcomes.append("WRONG values")
        rows.append(("RUZI file, one byte flipped", version, flips, _tally(outcomes)))
        print(rows[-1], file=sys.stderr, flush=True)
    db = workdir / "net" / "n.duckdb"
    caches = [("after", MetadataCache)]
    if before is not None:
        caches.insert(0, ("before", load_module_file(str(before / "metadata_cache.py"),
                                                      "metadata_cache_before").MetadataCache))
    for version, cache_class in caches:
        cache = workdir / f"flipcache_{version}"
        conn = sample.connect(db)
        written = cache_class.refresh_cache(conn=conn, cache_dir=cache)
        conn.close()
        target = Path(written["stations"])
        good = cache_class.get_table("stations", cache_dir=cache)
        data = target.read_bytes()
        outcomes = []
        for i in range(flips):
            target.write_bytes(_flip(data, rng))
            try:
                got = cache_class.get_table("stations", cache_dir=cache)
            except Exception as error:
                text = str(error)
                outcomes.append("error naming the file" if str(target) in text else "error not naming the file")
                continue
            try:
                pd.testing.assert_frame_equal(got, good)
                outcomes.append("same values")
            except Exception:  # different, or not even valid text
                outcomes.append("WRONG values")
        target.write_bytes(data)
        rows.append(("metadata-cache file, one byte flipped", version, flips, _tally(outcomes)))
        print(rows[-1], file=sys.stderr, flush=True)
    return rows


def _python(code: str, *args: str) -> subprocess.Popen:
    import textwrap

    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=str(HERE))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def side_by_side_trials(workdir: Path, trials: int, before: Path | None) -> list[tuple[str, str, int, str]]:
    """Two processes at once: metadata-cache refreshes into one folder, readers of the sample
    network; and two exports to one path while a reader polls it."""
    rows = []
    db = workdir / "net" / "n.duckdb"
    a = workdir / "dict_a.duckdb"
    for path, marker in ((a, "A"),):
        if not path.exists():
            dictionary_db(path, marker)
    modules = [("after", "")]
    if before is not None:
        modules.insert(0, ("before", str(before)))
    refresh = """
        import sys
        from lumoreq import sample, metadata_cache
        import reliability_kit as kit
        cache = kit.load_module_file(sys.argv[3] + "/metadata_cache.py", "mc").MetadataCache if sys.argv[3] \
            else metadata_cache.MetadataCache
        conn = sample.connect(sys.argv[1], read_only=True)
        for _ in range(5):
            cache.refresh_cache(conn=conn, cache_dir=sys.argv[2])
    """
    reader = """
        import sys, time
        import sqlalchemy
        from lumoreq import sample
        import reliability_kit as kit
        module = kit.load_module_file(sys.argv[2] + "/sample.py", "sb") if sys.argv[2] else sample
        conn = module.connect(sys.argv[1])
        conn.execute(sqlalchemy.text("SELECT count(*) FROM ZODUZA.DYU_90_411")).scalar()
        time.sleep(1.0)
        conn.close()
    """
    for version, folder in modules:
        outcomes = []
        for i in range(trials):
            cache = workdir / f"together_{version}_{i}"
            procs = [_python(refresh, str(a), str(cache), folder) for _ in range(2)]
            failed = sum(p.wait() != 0 for p in procs)
            outcomes.append("both succeeded" if not failed else f"{failed} of 2 failed")
        rows.append(("two metadata-cache refreshes at once", version, trials, _tally(outcomes)))
        print(rows[-1], file=sys.stderr, flush=True)
        outcomes = []
        for i in range(trials):
            procs = [_python(reader, str(db), folder) for _ in range(2)]
            failed = sum(p.wait() != 0 for p in procs)
            outcomes.append("both succeeded" if not failed else f"{failed} of 2 failed")
        rows.append(("two readers of the sample network at once", version, trials, _tally(outcomes)))
        print(rows[-1], file=sys.stderr, flush=True)
    writer = """
        import sys
        import pyarrow.parquet as pq
        import reliability_kit as kit
        from lumoreq import fetching, sample
        conn = sample.connect(sys.argv[1], read_only=True)
        df = kit.series_frame(int(sys.argv[3]), 100_000)
        for _ in range(4):
            if sys.argv[4] == "before":
                pq.write_table(fetching.DataFetcher.to_ruzi(conn, df, "01"), sys.argv[2])
            else:
                fetching.DataFetcher.export_ruzi(conn, df, sys.argv[2], "01")
    """
    for version, _ in modules:
        reads = []
        for i in range(max(1, trials // 4)):
            target = workdir / f"shared_{version}_{i}.ruzi"
            procs = [_python(writer, str(db), str(target), str(v), version) for v in (1, 2)]
            while any(p.poll() is None for p in procs):
                state = ruzi_state(target, rows=100_000)
                if state != "absent":
                    reads.append(state)
        rows.append(("reads of one path while two exports write it", version, len(reads), _tally(reads)))
        print(rows[-1], file=sys.stderr, flush=True)
    return rows


def main(argv: list[str]) -> int:
    import argparse
    import tempfile

    parser = argparse.ArgumentParser(description="kill trials of every crash-safe writer")
    parser.add_argument("--trials", type=int, default=32, help="kills per writer (half with slowed writes)")
    parser.add_argument("--before", type=Path, help="folder with an earlier metadata_cache.py and sample.py")
    parser.add_argument("--writers", default="export,figure,annual,cache,sample")
    parser.add_argument("--flips", type=int, default=200, help="single-byte flips per file kind")
    parser.add_argument("--together", type=int, default=16, help="trials of two processes at once")
    options = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="lumoreq-reliability-") as work:
        rows = full_trials(Path(work), options.trials, options.before, [w for w in options.writers.split(",") if w])
        if options.flips:
            rows += flip_trials(Path(work), options.flips, options.before)
        if options.together:
            rows += side_by_side_trials(Path(work), options.together, options.before)
    print("| what | version | trials | outcomes |")
    print("|---|---|---|---|")
    for writer, version, count, outcomes in rows:
        print(f"| {writer} | {version} | {count} | {outcomes} |")
    return 0


if __name__ == "__main__" and sys.argv[1:] == ["serve"]:
    serve()
elif __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
