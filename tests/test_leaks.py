"""Thousands of calls of every native kernel on small inputs: resident memory stays flat and the
inputs' reference counts are what they were (no reference kept or dropped by the bindings)."""

import gc
import os
import sys

import pytest
from kernel_calls import KERNELS, make_read_qcat

CALLS = 1000  # per batch
BATCHES = 3
# Resident memory may grow by allocator slack and caches filled on first use, never by a
# per-call leak. A leak grows every batch, noise does not: the smallest growth of three batches
# stays under the bound unless each call leaks about 1 KiB or more.
GROWTH_BOUND = 1 << 20  # bytes, after a warm-up
# The slowest kernel (a pandas resample per series around the native grouping) gets fewer
# calls; a leak there would be of whole columns, far above the bound.
FEWER = {"resample_timeseries_data": 250}


# Under AddressSanitizer (make sanitize) freed memory waits in a quarantine of hundreds of MiB,
# so resident memory grows with any allocation; there only the reference counts are checked.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def arguments_of(args):
    """The inputs and the objects they hold (columns, list items) whose counts are checked.

    Text arguments ("h", "mean") and small numbers (a rate of 60) are left out: literal strings
    are interned and small integers cached, both shared by the whole process, and the table
    library's own caches take and drop references to them, so their counts say nothing about the
    bindings."""
    held = []
    for a in args:
        for obj in [a, *a] if isinstance(a, list) else [a]:
            if isinstance(obj, (str, int, float)) or obj is None:
                continue
            held.append(obj)
    return held


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.parametrize("name", [*KERNELS, "read_QCAT"])
def test_memory_flat_and_refcounts_unchanged(name, tmp_path):
    make = make_read_qcat(tmp_path) if name == "read_QCAT" else KERNELS[name]
    fn, args = make(1, 6)
    for _ in range(200):  # warm-up: first-use caches, imports, pandas' lazy state
        fn(*args)
    gc.collect()
    held = arguments_of(args)
    counts = [sys.getrefcount(h) for h in held]
    calls = FEWER.get(name, CALLS)
    growth = []
    for _ in range(BATCHES):
        start = resident_bytes()
        for _ in range(calls):
            fn(*args)
        gc.collect()
        growth.append(resident_bytes() - start)
    assert [sys.getrefcount(h) for h in held] == counts
    if not UNDER_ASAN:
        assert min(growth) < GROWTH_BOUND, f"{name}: resident memory grew by {growth} bytes per {calls} calls"
