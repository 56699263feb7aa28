"""Every native kernel from four threads at once gives what it gives one call at a time, and
a long kernel call lets other Python threads run (the GIL is released while it works)."""

import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest
from kernel_calls import KERNELS, T0, assert_equal, make_read_qcat
from lumoreq import cleaning, refinery

THREADS = 4


def run_together(calls):
    """Runs every (fn, args) in its own thread, released at one barrier; returns the results."""
    results = [None] * len(calls)
    errors = []
    barrier = threading.Barrier(len(calls))

    def work(i, fn, args):
        try:
            barrier.wait()
            for _ in range(3):  # a few rounds, so the calls overlap
                results[i] = fn(*args)
        except Exception as e:  # noqa: BLE001 (reported by the main thread)
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i, fn, args)) for i, (fn, args) in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


@pytest.mark.parametrize("name", [*KERNELS, "read_QCAT"])
def test_four_threads_agree_with_one_at_a_time(name, tmp_path):
    make = make_read_qcat(tmp_path) if name == "read_QCAT" else KERNELS[name]
    calls = [make(seed, 300 + 50 * seed) for seed in range(THREADS)]
    alone = [fn(*args) for fn, args in calls]
    together = run_together([make(seed, 300 + 50 * seed) for seed in range(THREADS)])
    for a, b in zip(alone, together):
        assert_equal(a, b)
    # different data: the results must not all be the same object or value
    assert together[0] is not together[1]


def counter_during(call):
    """How far another Python thread's counter advanced while `call` ran in this thread."""
    stop = threading.Event()
    started = threading.Event()
    count = [0]

    def spin():
        started.set()
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)  # lets go of the GIL at once, so the caller never waits for it

    t = threading.Thread(target=spin)
    t.start()
    started.wait()
    before = count[0]
    call()
    during = count[0] - before  # read before this thread lets go of the GIL again
    stop.set()
    t.join()
    return during


def long_calls():
    text = " ".join(["1.25"] * 2_000_000)
    packed = pd.DataFrame({"STARTDATE": [T0], "OBSVALUE": [text]})
    noisy = pd.Series(np.random.default_rng(0).normal(size=200_000))
    return {
        "split_lines": lambda: cleaning.split_lines(packed, 1),
        "filter_with_fast_mad": lambda: refinery.filter_with_fast_mad(noisy, 301, 3.0),
    }


@pytest.mark.parametrize("name", ["split_lines", "filter_with_fast_mad"])
def test_gil_is_released_during_a_long_call(name):
    call = long_calls()[name]
    # A switch interval longer than the call: a thread that kept the GIL for the whole call
    # would not be interrupted, so the spinning thread could only count while the kernel runs
    # with the GIL released.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    try:
        during = counter_during(call)
    finally:
        sys.setswitchinterval(old)
    assert during > 0


def test_the_probe_sees_a_call_that_keeps_the_gil():
    # The same probe around a call that holds the GIL throughout counts nothing, so a count
    # above zero in the test above comes from the kernel letting go of the GIL.
    data = list(np.random.default_rng(1).normal(size=200_000))
    old = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    try:
        during = counter_during(lambda: sorted(data))
    finally:
        sys.setswitchinterval(old)
    assert during == 0
