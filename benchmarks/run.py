"""Benchmarks: native lumoreq against the pandas reference, in one run, on the same data.

Every ``benchmarks/bench_*.py`` module defines ``cases(scale)`` that yields ``Case`` objects.
Each case is timed ``--repeat`` times (the median is reported) for the reference and the
native side, their runs taken in turn, and the peak extra resident memory of one call of each
is measured by sampling the process's resident set size. Each module runs in a fresh process.
Output: one row per case, and optionally a JSON file.

    python benchmarks/run.py [--only NAME] [--repeat N] [--scale F] [--json PATH]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import importlib.util
import json
import os
import statistics
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))  # tests/reference.py
sys.path.insert(0, str(HERE))


@dataclass
class Case:
    kernel: str
    size: str
    reference: Callable[[], object]
    native: Callable[[], object]
    check: Callable[[object, object], None] | None = None  # raises when results differ
    repeat: int | None = None
    notes: list[str] | Callable[[], list[str]] = field(default_factory=list)  # a callable: only if the row runs


def _rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _release_free_memory() -> None:
    """Hands memory the allocators keep for reuse back to the system, so that a call does not
    look free because an earlier call (the other side's) left pages behind for it."""
    gc.collect()
    if "pyarrow" in sys.modules:
        sys.modules["pyarrow"].default_memory_pool().release_unused()
    if sys.platform.startswith("linux"):
        try:
            ctypes.CDLL(None).malloc_trim(0)
        except (OSError, AttributeError):  # not glibc
            pass


def peak_extra_rss(fn: Callable[[], object]) -> tuple[int, object]:
    """Peak resident memory above the level before the call, sampled every millisecond."""
    _release_free_memory()
    base = _rss_bytes()
    peak = base
    done = threading.Event()

    def sample():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, _rss_bytes())
            time.sleep(0.001)

    t = threading.Thread(target=sample, daemon=True)
    t.start()
    try:
        result = fn()
    finally:
        done.set()
        t.join()
    peak = max(peak, _rss_bytes())
    return peak - base, result


def time_median(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def time_pair(reference: Callable[[], object], native: Callable[[], object], repeat: int) -> tuple[float, float]:
    """Median times of both sides, their runs taken in turn: a machine that is slower for a while
    (other work, clock changes) slows both sides alike instead of one."""
    ref, nat = [], []
    for _ in range(repeat):
        ref.append(time_median(reference, 1))
        nat.append(time_median(native, 1))
    return statistics.median(ref), statistics.median(nat)


def _mib(n: int) -> str:
    return f"{n / 2**20:8.1f}"


def _load(stem: str):
    path = HERE / f"{stem}.py"
    spec = importlib.util.spec_from_file_location(stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_module(module, args) -> list[dict]:
    """The rows of one module's cases, timed in this process."""
    rows = []
    for case in module.cases(args.scale):
        if args.only and args.only not in case.kernel:
            continue
        repeat = case.repeat or args.repeat
        ref_mem, ref_result = peak_extra_rss(case.reference)
        nat_mem, nat_result = peak_extra_rss(case.native)
        if case.check is not None:
            case.check(ref_result, nat_result)
        del ref_result, nat_result
        ref_t, nat_t = time_pair(case.reference, case.native, repeat)
        ratio = ref_t / nat_t if nat_t > 0 else float("inf")
        print(f"{case.kernel:<40} {case.size:<34} {ref_t:9.4f} {nat_t:9.4f} {ratio:7.1f}x"
              f" {_mib(ref_mem)} {_mib(nat_mem)}", flush=True)
        for note in case.notes() if callable(case.notes) else case.notes:  # a callable: measured now
            print(f"    {note}", flush=True)
        rows.append(dict(kernel=case.kernel, size=case.size, reference_s=ref_t, native_s=nat_t,
                         ratio=ratio, reference_peak_bytes=ref_mem, native_peak_bytes=nat_mem,
                         repeat=repeat))
    return rows


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", help="run only cases whose kernel name contains this text")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per side (median reported)")
    ap.add_argument("--scale", type=float, default=1.0, help="multiply the data sizes")
    ap.add_argument("--json", help="also write the rows to this JSON file")
    ap.add_argument("--module", help=argparse.SUPPRESS)  # one module, in this process (see below)
    args = ap.parse_args(argv)

    if args.module:
        rows = run_module(_load(args.module), args)
        if args.json:
            Path(args.json).write_text(json.dumps(rows, indent=2))
        return 0

    header = f"{'kernel':<40} {'size':<34} {'ref s':>9} {'native s':>9} {'ratio':>8} {'ref MiB':>8} {'nat MiB':>8}"
    print(header)
    print("-" * len(header), flush=True)
    # Each module runs in a process of its own: what one leaves behind (its heap, threads of the
    # libraries it used, caches) does not slow or speed up the next one's rows.
    rows = []
    import subprocess
    import tempfile

    for path in sorted(HERE.glob("bench_*.py")):
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp) / "rows.json"
            command = [sys.executable, str(Path(__file__).resolve()), "--module", path.stem, "--repeat",
                       str(args.repeat), "--scale", str(args.scale), "--json", str(out)]
            if args.only:
                command += ["--only", args.only]
            done = subprocess.run(command, check=False)
            if done.returncode != 0:
                print(f"{path.stem}: failed (exit status {done.returncode})", file=sys.stderr)
                return done.returncode
            rows += json.loads(out.read_text()) if out.exists() else []
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
