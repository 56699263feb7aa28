"""fetch_data end to end on a large sample network (20 series of one year of minute data, gzip
on) against the same fetch done the plain pandas way: read_sql, a Python loop of
gzip.decompress, replace, the reference split."""

from functools import cache
from pathlib import Path

import pandas as pd
import reference
from run import Case

RESULTS = Path(__file__).resolve().parent / "results"
REQUEST = ("20240101", "20241231", "全部", "全部", "分钟值", "预处理库")


@cache
def network(days: int) -> Path:
    """The large network, built once and kept under benchmarks/results/ (not in git)."""
    from lumoreq import sample

    path = RESULTS / f"fetch_minute_{days}d.duckdb"
    if not path.exists():
        sample.build(path, days=2, minute_days=days, minute_series=20, second_days=0, catalogue=False)
    return path


def _splitters():
    """(native side's split, reference side's split). Until the native splitter is built, both
    sides use the plain one and the ratio measures everything but the split."""
    from lumoreq import cleaning

    plain = getattr(reference, "split_lines", None)
    if plain is None:
        from conftest_sample import plain_split_lines as plain
    native = getattr(cleaning, "split_lines", None)
    return native, plain


def cases(scale: float):
    from lumoreq import fetching, sample

    days = max(2, int(366 * scale))
    native_split, plain_split = _splitters()
    notes = [] if native_split else ["native split_lines not built yet: both sides use the plain split"]
    conns = {}

    def conn():
        if "c" not in conns:
            conns["c"] = sample.connect(network(days))
        return conns["c"]

    def native():
        if native_split is None:
            fetching.cleaning.split_lines = plain_split
        try:
            return fetching.DataFetcher.fetch_data(conn(), *REQUEST, gzip_flag=True)
        finally:
            if native_split is None:
                del fetching.cleaning.split_lines

    def plain():
        return reference.fetch_data(conn(), *REQUEST, gzip_flag=True, split_lines=plain_split)

    def check(ref, nat):
        pd.testing.assert_frame_equal(nat, ref, check_exact=True)

    yield Case(
        kernel="fetching.DataFetcher.fetch_data",
        size=f"20 series x {days} d of minutes, gzip",
        reference=plain,
        native=native,
        check=check,
        repeat=1,
        notes=notes,
    )

    yield Case(
        kernel="fetching.DataFetcher.fetch_data unsplit",
        size=f"20 series x {days} d of minutes, gzip",
        reference=lambda: reference.fetch_data(conn(), *REQUEST, gzip_flag=True, my_split_lines=False),
        native=lambda: fetching.DataFetcher.fetch_data(conn(), *REQUEST, gzip_flag=True, my_split_lines=False),
        check=check,
        repeat=3,
    )
