"""A year of daily updates of one dataset: what the table's folder and log grow to, how long a read
takes, and what maintenance (vacuum, checkpoint, log clean-up) brings them back to.

    python benchmarks/daily_updates.py [--days 365] [--series 6] [--every 30]

Builds a sample network of ``series`` minute series over ``days`` + 1 days, runs the job
(Hampel 15/5, hourly means, month chunks) on its first day, then updates it one day at a time.
Prints, every ``every`` updates: the version, the data files in the folder and in the current
version, the log's size and files, the median time of ``jobs.read`` and of one update; at the
end the same after ``jobs.maintain(keep_hours=0)``.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path


def folder_state(out: Path) -> dict[str, int]:
    files = log_files = log_bytes = 0
    for folder, _, names in os.walk(out / "data"):
        if "_delta_log" in Path(folder).parts:
            log_files += len(names)
            log_bytes += sum(os.path.getsize(os.path.join(folder, n)) for n in names)
        else:
            files += sum(n.endswith(".ruzi") for n in names)
    return {"files": files, "log_files": log_files, "log_bytes": log_bytes}


def read_seconds(jobs, out: Path, repeat: int = 5) -> float:
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        jobs.read(out)
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--series", type=int, default=6)
    parser.add_argument("--every", type=int, default=30)
    args = parser.parse_args()

    import pandas as pd

    from lumoreq import jobs, sample

    root = Path(tempfile.mkdtemp(prefix="lumoreq-daily-"))
    db = root / "network.duckdb"
    sample.build(db, days=args.days + 1, minute_days=args.days + 1, second_days=0, minute_series=args.series,
                 catalogue=False)
    first = pd.Timestamp("2024-01-01")
    out = root / "out"
    jobs.run(jobs.plan(db, "2024-01-01", "2024-01-01", chunk="month"), out, hampel=(15, 5.0),
             resample=("h", "mean"), progress=False)
    update_times = []
    print("updates version files(folder) files(version) log_files log_bytes read_ms update_ms")
    for day in range(1, args.days + 1):
        began = time.perf_counter()
        summary = jobs.update(out, end=f"{first + pd.Timedelta(days=day):%Y-%m-%d}", progress=False)
        update_times.append(time.perf_counter() - began)
        assert summary.ok, str(summary)
        if day % args.every == 0 or day == args.days:
            state = folder_state(out)
            info = jobs.describe(out)
            print(f"{day} {info['version']} {state['files']} {info['files']} {state['log_files']} "
                  f"{state['log_bytes']} {1000 * read_seconds(jobs, out):.1f} "
                  f"{1000 * statistics.median(update_times[-args.every:]):.0f}", flush=True)
    done = jobs.maintain(out, keep_hours=0)
    state = folder_state(out)
    print(f"after maintain: removed {done['removed']} files; files(folder) {state['files']}, "
          f"log files {state['log_files']}, log bytes {state['log_bytes']}, read {1000 * read_seconds(jobs, out):.1f} ms")
    print(f"folder: {root}")


if __name__ == "__main__":
    main()
