"""The living dataset: a one-day update of the whole sample network against a full run of it, and
reading the dataset (the table's current version) against reading the same parts as a plain
Hive folder (the reader of the first layout: every part file under the folders).

Rows: ``reference`` is the full run (or the Hive read), ``native`` the update (or the table read);
the ratio says how many times cheaper the update is (goal: the update under 5 % of a full run,
a ratio above 20) and how the table read compares (goal: no slower, a ratio of 1 or more). An
update computes the chunks its new day falls in and those whose reads reached the old end: with
day chunks a few days per series, with month chunks the whole current month.
"""

from __future__ import annotations

import itertools
import shutil
import tempfile
from pathlib import Path

from bench_jobs import HAMPEL, RESAMPLE, network
from run import Case

_ROOT = Path(tempfile.gettempdir()) / "lumoreq-bench-dataset"
_runs = itertools.count()


def cases(scale: float):
    import pandas as pd

    from lumoreq import jobs
    from lumoreq.export import read_ruzi

    days = max(31, int(91 * scale))
    db = network(days)
    shutil.rmtree(_ROOT, ignore_errors=True)
    first = pd.Timestamp("2024-01-01")
    last = first + pd.Timedelta(days=days - 1)

    def update_case(chunk: str, repeat: int):
        plan = jobs.plan(db, f"{first:%Y-%m-%d}", f"{last:%Y-%m-%d}", chunk=chunk)
        size = f"{len(plan)} tasks, {len(plan.series)} series x {days} d min, {chunk} chunks"

        def full():
            out = _ROOT / f"full-{chunk}-{next(_runs)}"
            summary = jobs.run(plan, out, hampel=HAMPEL, resample=RESAMPLE, workers=2, db_concurrency=2,
                               progress=False)
            assert summary.ok, str(summary)
            return out

        # the daily dataset: built to twenty days before the end, then extended a day per timed call
        daily = _ROOT / f"daily-{chunk}"
        ends = iter(pd.date_range(last - pd.Timedelta(days=19), last, freq="D"))
        jobs.run(jobs.plan(db, f"{first:%Y-%m-%d}", f"{last - pd.Timedelta(days=20):%Y-%m-%d}", chunk=chunk), daily,
                 hampel=HAMPEL, resample=RESAMPLE, workers=2, db_concurrency=2, progress=False)

        def one_day():
            summary = jobs.update(daily, end=f"{next(ends):%Y-%m-%d}", workers=2, db_concurrency=2, progress=False)
            assert summary.ok and summary.skipped > 0, str(summary)
            return daily

        def computed_note() -> list[str]:
            last_commit = jobs.history(daily, 1)[0]["tasks"]
            return [f"an update computes {last_commit['computed']} of {len(plan)} tasks (the new day's and the "
                    f"chunks whose reads reach the old end), keeps {last_commit['kept']}"]

        return Case(f"dataset: full run -> one-day update ({chunk})", size, full, one_day, repeat=repeat,
                    notes=computed_note), full

    case, full = update_case("day", 3)
    yield case
    case, full = update_case("month", 5)
    yield case

    # the same parts as a Hive folder of the first layout
    table_out = full()
    hive = _ROOT / "hive"
    for part in jobs.parts(table_out):
        target = hive / part.relative_to(table_out).parent / (part.name[:21] + ".ruzi")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(part, target)

    def read_hive():
        frames = [read_ruzi(p)[0] for p in sorted((hive / "data").glob("ITEMID=*/STATIONID=*/POINTID=*/*.ruzi"))]
        return pd.concat(frames)

    def read_table():
        return jobs.read(table_out)

    def ordered(frame):
        frame = frame.reset_index()
        return frame.sort_values(["ITEMID", "STATIONID", "POINTID", "STARTDATE"], kind="stable").reset_index(drop=True)

    def same(a, b):
        pd.testing.assert_frame_equal(ordered(a), ordered(b), check_exact=True)

    yield Case("dataset: read Hive folder -> read table", f"{len(jobs.parts(table_out))} parts", read_hive, read_table,
               check=same,
               repeat=7)
