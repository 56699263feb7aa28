"""One call per native kernel on small made-up data, shared by the thread and leak tests.

Each entry: name -> make(seed, size) giving (function, args); the same seed and size always
give equal inputs, different seeds different data.
"""

import gzip

import numpy as np
import pandas as pd
from lumoreq import QCAT, chartkit, chartwork, cleaning, fetching, refinery

T0 = pd.Timestamp("2024-01-01")


def _rng(seed):
    return np.random.default_rng(seed)


def packed(seed, size):
    rng = _rng(seed)
    texts = [" ".join(f"{v:.3f}" for v in rng.normal(size=8)) for _ in range(size)]
    starts = pd.DatetimeIndex([T0 + pd.Timedelta(minutes=8 * i) for i in range(size)]).as_unit("us")
    df = pd.DataFrame({"STATIONID": "51001", "STARTDATE": starts, "OBSVALUE": texts})
    return cleaning.split_lines, (df, 60)


def series(seed, size):
    rng = _rng(seed)
    x = rng.normal(size=size)
    x[:: max(size // 7, 1)] += 40  # spikes
    idx = pd.date_range(T0, periods=size, freq="min")
    return pd.Series(x, index=idx, name="OBSVALUE")


def frame(seed, size):
    df = series(seed, size).to_frame()
    df["STATIONID"] = "51001"
    return df


def table(seed, size):
    """A fetched table: STARTDATE and key columns, two points interleaved."""
    s = series(seed, size)
    return pd.DataFrame(
        {
            "SAMPLERATE": "01",
            "STARTDATE": s.index,
            "STATIONID": "51001",
            "POINTID": ["1", "2"] * (size // 2) + ["1"] * (size % 2),
            "ITEMID": "4112",
            "OBSVALUE": s.to_numpy(),
        }
    )


def catalogue_text(seed, size):
    rng = _rng(seed)
    lines = []
    for i in range(size):
        t = (T0 + pd.Timedelta(hours=int(rng.integers(0, 10**5)))).strftime("%Y%m%d%H%M%S")
        lat, lon, mag = rng.uniform(30, 50), rng.uniform(100, 130), rng.uniform(1, 7)
        lines.append(f"{t:<14} {lat:>6.2f}{lon:>6.2f} {mag:>4.1f}       地点{i}")
    return ("\n".join(lines) + "\n").encode()


def qcat_frame(seed, size):
    rng = _rng(seed)
    idx = pd.DatetimeIndex(
        [T0 + pd.Timedelta(hours=int(h)) for h in rng.integers(0, 10**5, size)], name="ind"
    )
    return pd.DataFrame(
        {
            "lon": rng.uniform(110, 120, size),
            "lat": rng.uniform(35, 45, size),
            "magnitude": rng.uniform(1, 7, size),
            "name": [f"地震{i}" for i in range(size)],
        },
        index=idx,
    )


def gz_values(seed, size):
    rng = _rng(seed)
    return [gzip.compress(" ".join(f"{v:.2f}" for v in rng.normal(size=20)).encode()) for _ in range(size)]


def make_read_qcat(tmp_path):
    def make(seed, size):
        path = tmp_path / f"cat_{seed}_{size}.txt"
        if not path.exists():
            path.write_bytes(catalogue_text(seed, size))
        return QCAT.read_QCAT, (str(path),)

    return make


KERNELS = {
    "split_lines": packed,
    "filter_with_fast_mad": lambda s, n: (refinery.filter_with_fast_mad, (series(s, n), 15, 3.0)),
    "fast_mad": lambda s, n: (refinery.fast_mad, (series(s, n).to_numpy(),)),
    "create_normalized_dates": lambda s, n: (refinery.create_normalized_dates, (frame(s, n), 2023)),
    "resample_timeseries_data": lambda s, n: (refinery.resample_timeseries_data, (table(s, n), "h", "mean")),
    "filtered_qcats": lambda s, n: (QCAT.filtered_qcats, (qcat_frame(s, n),)),
    "_gunzip_texts": lambda s, n: (fetching._gunzip_texts, (gz_values(s, n),)),
    "chartwork.calculate_stats": lambda s, n: (chartwork.calculate_stats, (frame(s, n),)),
    "chartwork.reindex_df_by_interval": lambda s, n: (
        chartwork.reindex_df_by_interval,
        (frame(s, n).iloc[::2],),
    ),
    "chartkit.calculate_stats": lambda s, n: (chartkit.calculate_stats, (frame(s, n),)),
    "chartwork._reduce_indices": lambda s, n: (
        chartwork._reduce_indices,
        (series(s, n).index.asi8, series(s, n).to_numpy(), max(n // 16, 1)),
    ),
    "chartwork._key_groups": lambda s, n: (
        chartwork._key_groups,
        (table(s, n).astype({k: "str" for k in ("STATIONID", "POINTID", "ITEMID")}), "ITEMID", "STATIONID",
         "POINTID"),
    ),
    "chartkit.reindex_df_by_interval": lambda s, n: (
        chartkit.reindex_df_by_interval,
        (frame(s, n).iloc[::2],),
    ),
}


def assert_equal(a, b):
    if isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b, check_exact=True)
    elif isinstance(a, pd.Series):
        pd.testing.assert_series_equal(a, b, check_exact=True)
    elif isinstance(a, float) and np.isnan(a):
        assert np.isnan(b)
    elif isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and np.array_equal(a, b)
    elif isinstance(a, dict):
        assert a.keys() == b.keys()
        for k in a:
            assert_equal(a[k], b[k])
    else:
        assert a == b
