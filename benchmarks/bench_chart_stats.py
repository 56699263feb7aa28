"""calculate_stats on one panel's series: 30 days of 1 Hz float32 samples with a few NaN (the
multi-panel builders compute it once per panel), and the same series as float64."""

import numpy as np
import pandas as pd
import reference
from run import Case


def _series(n: int, seed: int = 5) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    values = (30 * np.sin(2 * np.pi * t / 44714) + np.cumsum(rng.normal(0, 0.02, n)) + rng.normal(0, 0.3, n)
              + 1500.0).astype("float32")
    values[rng.integers(0, n, 5)] = np.nan
    return values


def cases(scale: float):
    from lumoreq import chartkit

    n = max(10, int(30 * 86400 * scale))

    def check(ref, nat):
        assert list(ref) == list(nat), "keys differ"
        for key in ref:
            assert type(ref[key]) is type(nat[key]), f"{key}: scalar types differ"
            assert np.asarray(ref[key]).tobytes() == np.asarray(nat[key]).tobytes(), f"{key}: values differ"

    for dtype in ("float32", "float64"):
        df = pd.DataFrame({"OBSVALUE": _series(n).astype(dtype)})
        yield Case(
            kernel=f"chartkit.calculate_stats ({dtype})",
            size=f"{n:,} samples, 5 NaN",
            reference=lambda df=df: reference.calculate_stats(df),
            native=lambda df=df: chartkit.calculate_stats(df),
            check=check,
        )
