"""gzip-packed OBSVALUE of minute tables: one row per station-day, decompressed and decoded."""

import gzip

import numpy as np
import reference
from run import Case


def _rows(n_rows: int, seed: int = 7) -> list:
    rng = np.random.default_rng(seed)
    rows = []
    for _ in range(n_rows):
        values = np.round(np.cumsum(rng.normal(0, 0.05, 1440)) + 100.0, 4)
        rows.append(gzip.compress(" ".join(f"{v:.4f}" for v in values).encode(), compresslevel=6))
    return rows


def cases(scale: float):
    from lumoreq import fetching

    n = max(1, int(7300 * scale))
    rows = _rows(n)

    def check(ref, nat):
        assert ref == nat, "native and reference texts differ"

    yield Case(
        kernel="fetching._gunzip_texts",
        size=f"{n} minute rows (1,440 samples each)",
        reference=lambda: reference.gunzip_texts(rows),
        native=lambda: fetching._gunzip_texts(rows),
        check=check,
    )
