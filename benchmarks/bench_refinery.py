"""Series processing: the Hampel filter, normalised dates and resampling, on realistic series."""

import numpy as np
import pandas as pd
import reference
from run import Case


def _strain_series(n: int, seed: int = 11) -> pd.Series:
    """Minute samples: tide, drift, noise, spikes and a few missing stretches, stored as float32."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    values = 50.0 * np.sin(2 * np.pi * t / 745.0) + np.cumsum(rng.normal(0, 0.02, n)) + rng.normal(0, 0.3, n)
    spikes = rng.choice(n, n // 500, replace=False)
    values[spikes] += rng.normal(0, 400, spikes.size)
    for start in rng.choice(n, 20, replace=False):
        values[start : start + rng.integers(1, 200)] = np.nan
    index = pd.date_range("2020-01-01", periods=n, freq="min", name="STARTDATE")
    return pd.Series(values.astype("float32"), index=index, name="OBSVALUE")


def _minute_table(n_series: int, days: int, seed: int = 5) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    n = days * 1440
    t = pd.date_range("2024-03-01", periods=n, freq="min")
    parts = []
    for k in range(n_series):
        parts.append(
            pd.DataFrame(
                {
                    "STARTDATE": t,
                    "OBSVALUE": (np.cumsum(rng.normal(0, 0.05, n)) + 100).astype("float32"),
                    "STATIONID": f"{53001 + k // 5}",
                    "POINTID": str(k % 5 + 1),
                    "ITEMID": "4112",
                    "SAMPLERATE": "01",
                }
            )
        )
    return pd.concat(parts, ignore_index=True)


def cases(scale: float):
    from lumoreq import refinery

    n = max(1000, int(1_000_000 * scale))
    series = _strain_series(n)

    def same_series(ref, nat):
        pd.testing.assert_series_equal(ref, nat, check_exact=True)

    yield Case(
        kernel="refinery.filter_with_fast_mad",
        size=f"{n:,} float32 samples, window 15",
        reference=lambda: reference.filter_with_fast_mad(series),
        native=lambda: refinery.filter_with_fast_mad(series),
        check=same_series,
        repeat=1,
    )
    try:
        from scipy import ndimage
    except ImportError:  # scipy comes with the bench extra
        ndimage = None
    if ndimage is not None:
        plain = series.to_numpy(dtype="float64")
        yield Case(
            kernel="refinery.filter_with_fast_mad vs scipy",
            size=f"{n:,} samples, one median_filter(15)",
            reference=lambda: ndimage.median_filter(plain, size=15, mode="nearest"),
            native=lambda: refinery.filter_with_fast_mad(series),
            notes=["ratio = one scipy.ndimage.median_filter pass / the whole native filter (target >= 0.5)"],
        )

    n_dates = max(1000, int(1_000_000 * scale))
    rng = np.random.default_rng(3)
    start = pd.Timestamp("2019-01-01").value
    span = pd.Timestamp("2024-01-01").value - start
    stamps = pd.DatetimeIndex(np.sort(start + rng.integers(0, span, n_dates)), name="STARTDATE")
    ref_frame = pd.DataFrame({"OBSVALUE": np.zeros(n_dates, dtype="float32")}, index=stamps)
    nat_frame = ref_frame.copy()

    def same_frame(ref, nat):
        pd.testing.assert_frame_equal(ref, nat, check_exact=True)

    yield Case(
        kernel="refinery.create_normalized_dates",
        size=f"{n_dates:,} timestamps over five years",
        reference=lambda: reference.create_normalized_dates(ref_frame),
        native=lambda: refinery.create_normalized_dates(nat_frame),
        check=same_frame,
        repeat=3,
    )

    n_series = max(2, int(50 * scale))
    table = _minute_table(n_series, 30)
    yield Case(
        kernel="refinery.resample_timeseries_data",
        size=f"{n_series} series x 30 days of minutes -> h",
        reference=lambda: reference.resample_timeseries_data(table, "h"),
        native=lambda: refinery.resample_timeseries_data(table, "h"),
        check=lambda ref, nat: pd.testing.assert_frame_equal(
            ref, nat, check_exact=True, check_index_type=True
        ),
        repeat=3,
    )
