"""The output folder of a job: its layout, its lock, its run record (run.json) and its options
record, and the reader of its dataset."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import socket
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from .planning import Plan, _day, _write_text

_RUN_FILE = "run.json"
_LOCK_FILE = ".lock"
_STAGING_PREFIX = ".figures-"  # a figure task's own folder while it draws


class JobError(RuntimeError):
    """A job that cannot start: an empty selection, a locked or foreign output folder, a
    scheduler that does not answer."""


# ---------------------------------------------------------------------------------------------
# The output folder: lock, run record, option check
# ---------------------------------------------------------------------------------------------


class _OutLock:
    """An exclusive lock on ``out``: a second driver on the same folder is refused. The operating
    system drops it when the driver dies, so a killed run never leaves the folder locked."""

    def __init__(self, out: Path):
        self.path = out / _LOCK_FILE
        self.handle = None

    def __enter__(self):
        self.handle = open(self.path, "a+")
        try:
            if os.name == "nt":  # pragma: no cover
                import msvcrt

                msvcrt.locking(self.handle.fileno(), msvcrt.LK_NBLCK, 1)
            else:
                import fcntl

                fcntl.flock(self.handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            self.handle.close()
            self.handle = None
            raise JobError(f"another run is using {self.path.parent} (locked by {self.path})") from error
        self.handle.seek(0)
        self.handle.truncate()
        self.handle.write(f"{socket.gethostname()} {os.getpid()}\n")
        self.handle.flush()
        return self

    def __exit__(self, *exc):
        if self.handle is not None:
            self.handle.close()  # closing releases the lock
            self.handle = None
        return False


def _options_record(plan_: Plan, hampel, resample, figures, catalogue, stats, rainfall) -> dict[str, Any]:
    return {
        "plan": plan_.fingerprint(),
        "hampel": list(hampel) if hampel else None,
        "resample": list(resample) if resample else None,
        "figures": figures,
        "catalogue": None if catalogue is None else str(catalogue),
        "stats": bool(stats),
        "rainfall": bool(rainfall),
    }


def _write_json(path: Path, data: dict[str, Any]) -> None:
    from ..export import jsonable

    _write_text(path, json.dumps(jsonable(data), ensure_ascii=False, indent=1))


def _prepare_out(out: Path, options: dict[str, Any], overwrite: bool) -> dict[str, Any]:
    """Check ``out`` against this job; returns the records of an earlier run of the same job."""
    run_file = out / _RUN_FILE
    previous: dict[str, Any] | None = None
    if run_file.exists():
        try:
            previous = json.loads(run_file.read_text(encoding="utf-8"))
        except ValueError:
            previous = {}
    foreign = (previous is None and (out / "data").exists() and any((out / "data").iterdir())) or (
        previous is not None and previous.get("options") != options
    )
    if foreign and not overwrite:
        if previous is None or not previous:
            why = "it holds a dataset without a readable run.json"
        elif previous.get("options", {}).get("plan") != options["plan"]:
            why = "it holds the dataset of another plan"
        else:
            changed = sorted(k for k in options if previous.get("options", {}).get(k) != options[k])
            why = "it was made with other options (" + ", ".join(changed) + ")"
        raise JobError(f"refusing to write into {out}: {why}; pass overwrite=True (--overwrite) to replace it")
    # Figure tasks of a run that was killed leave their staging folders.
    for stale in out.glob(f"{_STAGING_PREFIX}*"):
        shutil.rmtree(stale, ignore_errors=True)
    if foreign or overwrite:
        for name in ("data", "figures"):
            if (out / name).exists():
                shutil.rmtree(out / name)
        with contextlib.suppress(FileNotFoundError):
            run_file.unlink()
        return {}
    # Temporary files of a run that was killed: no writer is active while we hold the lock.
    if (out / "data").exists():
        for tmp in (out / "data").rglob(".*"):
            with contextlib.suppress(OSError):
                tmp.unlink()
    return dict((previous or {}).get("tasks", {}))


# ---------------------------------------------------------------------------------------------
# Reading a dataset
# ---------------------------------------------------------------------------------------------


def parts(out: Path, station=None, item=None, point=None) -> list[Path]:
    """The part files of the dataset in ``out``, in the order of its folders, optionally only
    those of some stations, items and points (one value or a list each)."""
    data = Path(out) / "data"
    if not data.exists():
        return []

    def level(base: list[Path], name: str, wanted) -> list[Path]:
        chosen = []
        for folder in base:
            for child in sorted(folder.iterdir()):
                if not child.is_dir() or not child.name.startswith(name + "="):
                    continue
                if wanted is not None and child.name[len(name) + 1:] not in {str(w) for w in _listed(wanted)}:
                    continue
                chosen.append(child)
        return chosen

    folders = level(level(level([data], "ITEMID", item), "STATIONID", station), "POINTID", point)
    return [p for f in folders for p in sorted(f.glob("*.ruzi")) if not p.name.startswith(".")]


def _listed(value) -> list:
    return list(value) if isinstance(value, (list, tuple, set, frozenset)) else [value]


def _part_frame(path, start=None, end=None) -> pd.DataFrame:
    from ..export import read_ruzi

    frame, _ = read_ruzi(path)
    if start is not None or end is not None:
        index = frame.index
        keep = np.ones(len(frame), dtype=bool)
        if start is not None:
            keep &= index >= _day(start)
        if end is not None:
            keep &= index < _day(end) + pd.Timedelta(days=1)
        frame = frame[keep]
    return frame


def _in_range(path: Path, start, end) -> bool:
    first, _, last = path.stem.partition("_")
    if start is not None and last < f"{_day(start):%Y-%m-%d}":
        return False
    return not (end is not None and first > f"{_day(end):%Y-%m-%d}")


def read(out, station=None, item=None, point=None, start=None, end=None, lazy: bool = False):
    """The time-series table of the dataset in ``out`` (indexed by ``STARTDATE``, identifiers as
    text), optionally narrowed to stations, items, points (one value or a list) and whole days.
    ``lazy=True`` returns a ``dask.dataframe`` with one partition per part."""
    paths = [p for p in parts(Path(out), station, item, point) if _in_range(p, start, end)]
    if lazy:
        import dask.dataframe as dd

        if not paths:
            raise FileNotFoundError(f"no dataset parts in {Path(out) / 'data'} for this selection")
        meta = _part_frame(paths[0]).iloc[0:0]
        return dd.from_map(_part_frame, paths, start=start, end=end, meta=meta, enforce_metadata=False)
    frames = [_part_frame(p, start, end) for p in paths]
    frames = [f for f in frames if len(f)] or frames[:1]
    if not frames:
        return pd.DataFrame(columns=["OBSVALUE", "STATIONID", "POINTID", "ITEMID"],
                            index=pd.DatetimeIndex([], name="STARTDATE"))
    return pd.concat(frames) if len(frames) > 1 else frames[0]
