"""Bad inputs to every native kernel's public function, and what each gives.

ROWS is the one table: every row is a test here, and docs/bad-inputs.md is rendered from it
(`python tests/test_bad_inputs.py` rewrites the file; a test checks it is current).
"""

import gzip
import math
import sys
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from lumoreq import QCAT, chartkit, chartwork, cleaning, fetching, refinery

T0 = pd.Timestamp("2024-01-01")
SD = pd.DatetimeIndex([T0, T0 + pd.Timedelta(days=1)])
DOC = Path(__file__).resolve().parent.parent / "docs" / "bad-inputs.md"


@dataclass(frozen=True)
class Raises:
    exc: type
    message: str  # the start of str(exception)

    def render(self):
        return f"raises `{self.exc.__name__}`: “{self.message.replace('|', chr(92) + '|')}…”"


@dataclass(frozen=True)
class Gives:
    text: str  # what the result is, in words
    check: object  # result -> bool
    warning: str = ""  # the start of a warning's message, when one is raised

    def render(self):
        return self.text + (f"; warns “{self.warning}…”" if self.warning else "")


def _frame(texts, starts=SD):
    return pd.DataFrame({"STARTDATE": starts, "OBSVALUE": pd.Series(texts, dtype=object)})


def _table(**changes):
    t = pd.DataFrame(
        {
            "STARTDATE": pd.to_datetime(["2024-01-01 01:00", "2024-01-01 02:00"]),
            "STATIONID": "1",
            "POINTID": "1",
            "ITEMID": "x",
            "OBSVALUE": [1.0, 2.0],
        }
    )
    return t.assign(**changes)


def _catalogue(**changes):
    cat = pd.DataFrame(
        {"lon": [116.0], "lat": [40.0], "magnitude": [5.0], "name": ["x"]},
        index=pd.DatetimeIndex(["2024-01-01"], name="ind"),
    )
    return cat.assign(**changes)


def _file(name, data):
    """A call that writes `data` to a file in the test's directory and reads it."""

    def call(tmp_path):
        path = tmp_path / name
        path.write_bytes(data)
        return QCAT.read_QCAT(str(path))

    return call


def _values(out):
    return out["OBSVALUE"].tolist()


def _nan(x):
    return isinstance(x, float) and math.isnan(x)


def _all_nan_stats(d):
    return set(d) == {"mean", "median", "std", "min", "max", "lower_limit", "upper_limit"} and all(
        _nan(float(v)) for v in d.values()
    )


SPIKY = pd.Series([1.0, 2.0, 3.0, 100.0, 2.0])

# (function, bad input, call(tmp_path), outcome)
ROWS = [
    # split_lines
    (
        "cleaning.split_lines",
        "no OBSVALUE column",
        lambda p: cleaning.split_lines(pd.DataFrame({"STARTDATE": SD}), 60),
        Raises(KeyError, "'OBSVALUE'"),
    ),
    (
        "cleaning.split_lines",
        "no STARTDATE column",
        lambda p: cleaning.split_lines(pd.DataFrame({"OBSVALUE": ["1", "2"]}), 60),
        Raises(KeyError, "'STARTDATE'"),
    ),
    (
        "cleaning.split_lines",
        'a piece that is not a number (`"1 x"`, `"--"`)',
        lambda p: cleaning.split_lines(_frame(["1 x", "--"]), 60),
        Gives(
            "NaN for that sample, at its own time",
            lambda r: _values(r)[0] == 1 and all(map(_nan, _values(r)[1:])) and len(r) == 3,
        ),
    ),
    (
        "cleaning.split_lines",
        'two blanks in a row (`"1  2"`)',
        lambda p: cleaning.split_lines(_frame(["1  2", "3"]), 60),
        Gives(
            "an empty piece: NaN at its minute",
            lambda r: len(r) == 4 and _nan(_values(r)[1]) and _values(r)[2] == 2,
        ),
    ),
    (
        "cleaning.split_lines",
        "OBSVALUE missing (None)",
        lambda p: cleaning.split_lines(_frame([None, "1"]), 60),
        Gives(
            "one NaN sample at the row's own STARTDATE",
            lambda r: list(r.index) == list(SD) and _nan(_values(r)[0]),
        ),
    ),
    (
        "cleaning.split_lines",
        "STARTDATE missing (NaT)",
        lambda p: cleaning.split_lines(_frame(["1 2", "1"], pd.DatetimeIndex([pd.NaT, T0])), 60),
        Gives(
            "the row's samples at NaT, sorted last", lambda r: r.index[0] == T0 and r.index[1:].isna().all()
        ),
    ),
    (
        "cleaning.split_lines",
        "OBSVALUE as bytes",
        lambda p: cleaning.split_lines(_frame([b"1 2", b"3"]), 60),
        Raises(TypeError, "Cannot use .str.strip with values of inferred dtype 'bytes'."),
    ),
    (
        "cleaning.split_lines",
        "STARTDATE as text",
        lambda p: cleaning.split_lines(_frame(["1", "2"], ["2024-01-01", "x"]), 60),
        Raises(TypeError, "operation 'add' not supported for dtype 'str'"),
    ),
    (
        "cleaning.split_lines",
        'sample_by_seconds as text (`"60"`)',
        lambda p: cleaning.split_lines(_frame(["1 2", "3"]), "60"),
        Raises(TypeError, "'<=' not supported between instances of 'str' and 'int'"),
    ),
    (
        "cleaning.split_lines",
        "sample times past the year 2262 (ns unit)",
        lambda p: cleaning.split_lines(
            _frame(
                [" ".join(["1"] * 3000), "1"], pd.DatetimeIndex(["2262-04-11", "2024-01-01"]).as_unit("ns")
            ),
            60,
        ),
        Raises(OverflowError, "Overflow in int64 addition"),
    ),
    (
        "cleaning.split_lines",
        "not a frame (a list)",
        lambda p: cleaning.split_lines([1, 2], 60),
        Raises(TypeError, "list indices must be integers or slices, not str"),
    ),
    # filter_with_fast_mad
    (
        "refinery.filter_with_fast_mad",
        "window_size = -1",
        lambda p: refinery.filter_with_fast_mad(SPIKY, -1),
        Raises(ValueError, "window must be an integer 0 or greater"),
    ),
    (
        "refinery.filter_with_fast_mad",
        "window_size = 2.5",
        lambda p: refinery.filter_with_fast_mad(SPIKY, 2.5),
        Raises(ValueError, "window must be an integer 0 or greater"),
    ),
    (
        "refinery.filter_with_fast_mad",
        "window_size = 0",
        lambda p: refinery.filter_with_fast_mad(SPIKY, 0),
        Gives("the data unchanged", lambda r: r.equals(SPIKY), "Mean of empty slice"),
    ),
    (
        "refinery.filter_with_fast_mad",
        "window longer than the data",
        lambda p: refinery.filter_with_fast_mad(SPIKY, 15),
        Gives("the data unchanged", lambda r: r.equals(SPIKY)),
    ),
    (
        "refinery.filter_with_fast_mad",
        "NaN among the values",
        lambda p: refinery.filter_with_fast_mad(pd.Series([1.0, np.nan, 3.0, 100.0, 2.0]), 3),
        Gives(
            "NaN stays NaN; windows holding it judge nothing",
            lambda r: _nan(r[1]) and r[0] == 1 and r[3] == 3,
        ),
    ),
    (
        "refinery.filter_with_fast_mad",
        "threshold_factor = NaN",
        lambda p: refinery.filter_with_fast_mad(SPIKY, 3, float("nan")),
        Gives("the data unchanged (nothing exceeds NaN)", lambda r: r.equals(SPIKY)),
    ),
    (
        "refinery.filter_with_fast_mad",
        "empty series",
        lambda p: refinery.filter_with_fast_mad(pd.Series([], dtype=float), 3),
        Gives("an empty series", lambda r: len(r) == 0),
    ),
    (
        "refinery.filter_with_fast_mad",
        "text values",
        lambda p: refinery.filter_with_fast_mad(pd.Series(["a", "b", "c"]), 3),
        Raises(pd.errors.DataError, "No numeric types to aggregate"),
    ),
    (
        "refinery.filter_with_fast_mad",
        "a list instead of a series",
        lambda p: refinery.filter_with_fast_mad([1.0, 2.0, 3.0], 3),
        Raises(AttributeError, "'list' object has no attribute 'rolling'"),
    ),
    # fast_mad
    (
        "refinery.fast_mad",
        "empty array",
        lambda p: refinery.fast_mad(np.array([])),
        Gives("NaN", _nan, "Mean of empty slice"),
    ),
    (
        "refinery.fast_mad",
        "NaN among the values",
        lambda p: refinery.fast_mad(np.array([1.0, np.nan])),
        Gives("NaN", _nan),
    ),
    (
        "refinery.fast_mad",
        "inf among the values",
        lambda p: refinery.fast_mad(np.array([1.0, np.inf, 2.0])),
        Gives("the MAD of the finite middle (1.4826)", lambda r: r == 1.4826),
    ),
    (
        "refinery.fast_mad",
        "text array",
        lambda p: refinery.fast_mad(np.array(["a", "b"])),
        Raises(TypeError, "the resolved dtypes are not compatible with add.reduce"),
    ),
    (
        "refinery.fast_mad",
        "None",
        lambda p: refinery.fast_mad(None),
        Raises(TypeError, "unsupported operand type(s) for /: 'NoneType' and 'int'"),
    ),
    # create_normalized_dates
    (
        "refinery.create_normalized_dates",
        "reference_year = 0",
        lambda p: refinery.create_normalized_dates(pd.DataFrame({"OBSVALUE": [1.0, 2.0]}, index=SD), 0),
        Raises(ValueError, "year 0 is out of range"),
    ),
    (
        "refinery.create_normalized_dates",
        "reference_year = 10000",
        lambda p: refinery.create_normalized_dates(pd.DataFrame({"OBSVALUE": [1.0, 2.0]}, index=SD), 10000),
        Raises(ValueError, "year 10000 is out of range"),
    ),
    (
        "refinery.create_normalized_dates",
        "reference_year as text",
        lambda p: refinery.create_normalized_dates(pd.DataFrame({"OBSVALUE": [1.0, 2.0]}, index=SD), "2024"),
        Raises(TypeError, "'str' object cannot be interpreted as an integer"),
    ),
    (
        "refinery.create_normalized_dates",
        "NaT in the index",
        lambda p: refinery.create_normalized_dates(
            pd.DataFrame({"OBSVALUE": [1.0, 2.0]}, index=pd.DatetimeIndex([pd.NaT, "2024-02-29"])), 2023
        ),
        Raises(TypeError, "'float' object cannot be interpreted as an integer"),
    ),
    (
        "refinery.create_normalized_dates",
        "an integer index",
        lambda p: refinery.create_normalized_dates(pd.DataFrame({"OBSVALUE": [1.0]}), 2024),
        Gives(
            "read as nanoseconds since 1970: 1 January",
            lambda r: r["datetime_norm"].iloc[0] == pd.Timestamp("2024-01-01"),
        ),
    ),
    # resample_timeseries_data
    (
        "refinery.resample_timeseries_data",
        'unknown freq (`"xyz"`)',
        lambda p: refinery.resample_timeseries_data(_table(), "xyz"),
        Raises(ValueError, "Invalid frequency: xyz"),
    ),
    (
        "refinery.resample_timeseries_data",
        'unknown agg_method (`"avg"`)',
        lambda p: refinery.resample_timeseries_data(_table(), "D", "avg"),
        Raises(ValueError, "不支持的聚合方法，请选择'mean', 'sum', 'median', 'max', 'min'之一"),
    ),
    (
        "refinery.resample_timeseries_data",
        "no OBSVALUE column",
        lambda p: refinery.resample_timeseries_data(_table().drop(columns=["OBSVALUE"]), "D"),
        Raises(ValueError, "缺少必要的列: OBSVALUE"),
    ),
    (
        "refinery.resample_timeseries_data",
        "no rows",
        lambda p: refinery.resample_timeseries_data(_table().iloc[:0], "D"),
        Raises(ValueError, "No objects to concatenate"),
    ),
    (
        "refinery.resample_timeseries_data",
        "text values",
        lambda p: refinery.resample_timeseries_data(_table(OBSVALUE=["a", "b"]), "D"),
        Raises(TypeError, "dtype 'str' does not support operation 'mean'"),
    ),
    # read_QCAT
    (
        "QCAT.read_QCAT",
        "a path that does not exist",
        lambda p: QCAT.read_QCAT(str(p / "none.txt")),
        Raises(FileNotFoundError, "[Errno 2] No such file or directory"),
    ),
    (
        "QCAT.read_QCAT",
        "a directory",
        lambda p: QCAT.read_QCAT(str(p)),
        Raises(IsADirectoryError, "[Errno 21] Is a directory"),
    ),
    (
        "QCAT.read_QCAT",
        "an empty file",
        _file("empty.txt", b""),
        Gives(
            "an empty frame with the four columns",
            lambda r: len(r) == 0 and list(r.columns) == ["lon", "lat", "magnitude", "name"],
        ),
    ),
    (
        "QCAT.read_QCAT",
        "a short line (time cut, no magnitude)",
        _file("short.txt", b"2024010112 39.90\n"),
        Gives(
            'one row: NaT time (10 digits), fields cut by column (lat `"0"` is 0), NaN beyond the line',
            lambda r: (
                len(r) == 1
                and r.index.isna().all()
                and r.iloc[0].tolist()[1] == 0
                and _nan(r["magnitude"].iloc[0])
            ),
        ),
    ),
    (
        "QCAT.read_QCAT",
        "GBK-encoded text",
        _file("gbk.txt", "20240101123045  39.90116.40  3.5       北京".encode("gbk")),
        Gives("read through the fallback encoding", lambda r: r["name"].iloc[0] == "北京"),
    ),
    (
        "QCAT.read_QCAT",
        "bytes valid in no encoding (`\\xff\\xfe`)",
        _file("bad.txt", b"garbage line here\n\xff\xfe\n"),
        Raises(UnicodeDecodeError, "'gb18030' codec can't decode byte 0xff"),
    ),
    # filtered_qcats
    (
        "QCAT.filtered_qcats",
        "no magnitude column",
        lambda p: QCAT.filtered_qcats(_catalogue().drop(columns=["magnitude"])),
        Raises(KeyError, "'magnitude'"),
    ),
    (
        "QCAT.filtered_qcats",
        "a rule that is not a pair",
        lambda p: QCAT.filtered_qcats(_catalogue(), filters=[(1,)]),
        Raises(ValueError, "not enough values to unpack (expected 2, got 1)"),
    ),
    (
        "QCAT.filtered_qcats",
        "latitude 95",
        lambda p: QCAT.filtered_qcats(_catalogue(lat=[95.0])),
        Gives(
            "distance inf, not flagged",
            lambda r: r["distance"].iloc[0] == np.inf and not r["flag"].iloc[0],
            "Latitude normalization has been prohibited",
        ),
    ),
    (
        "QCAT.filtered_qcats",
        "NaN latitude",
        lambda p: QCAT.filtered_qcats(_catalogue(lat=[np.nan])),
        Gives(
            "distance inf, not flagged", lambda r: r["distance"].iloc[0] == np.inf and not r["flag"].iloc[0]
        ),
    ),
    # _gunzip_texts
    (
        "fetching._gunzip_texts",
        "bytes that are not gzip",
        lambda p: fetching._gunzip_texts([b"not gzip"]),
        Raises(gzip.BadGzipFile, "Not a gzipped file (b'no')"),
    ),
    (
        "fetching._gunzip_texts",
        "a cut-off stream",
        lambda p: fetching._gunzip_texts([gzip.compress(b"12")[:-3]]),
        Raises(EOFError, "Compressed file ended before the end-of-stream marker was reached"),
    ),
    (
        "fetching._gunzip_texts",
        "garbage after the last member",
        lambda p: fetching._gunzip_texts([gzip.compress(b"1") + b"ab"]),
        Raises(gzip.BadGzipFile, "Not a gzipped file (b'ab')"),
    ),
    (
        "fetching._gunzip_texts",
        "text that is not UTF-8",
        lambda p: fetching._gunzip_texts([gzip.compress(b"\xff\xfe")]),
        Raises(UnicodeDecodeError, "'utf-8' codec can't decode byte 0xff in position 0"),
    ),
    (
        "fetching._gunzip_texts",
        "a str value",
        lambda p: fetching._gunzip_texts(["text"]),
        Raises(TypeError, "a bytes-like object is required, not 'str'"),
    ),
    (
        "fetching._gunzip_texts",
        "None and empty bytes",
        lambda p: fetching._gunzip_texts([None, b""]),
        Gives("empty texts", lambda r: r == ["", ""]),
    ),
    (
        "fetching._gunzip_texts",
        "not an iterable (5)",
        lambda p: fetching._gunzip_texts(5),
        Raises(TypeError, "_gunzip_texts(): incompatible function arguments"),
    ),
]

for _mod in (chartwork, chartkit):
    _name = _mod.__name__.rsplit(".", 1)[1]
    ROWS += [
        (
            f"{_name}.calculate_stats",
            "no such column",
            lambda p, m=_mod: m.calculate_stats(pd.DataFrame({"v": [1.0]})),
            Raises(KeyError, "'OBSVALUE'"),
        ),
        (
            f"{_name}.calculate_stats",
            "all values NaN",
            lambda p, m=_mod: m.calculate_stats(pd.DataFrame({"OBSVALUE": [np.nan] * 2})),
            Gives("every statistic NaN", _all_nan_stats),
        ),
        (
            f"{_name}.calculate_stats",
            "no rows",
            lambda p, m=_mod: m.calculate_stats(pd.DataFrame({"OBSVALUE": []}, dtype=float)),
            Gives("every statistic NaN", _all_nan_stats),
        ),
        (
            f"{_name}.calculate_stats",
            "text values",
            lambda p, m=_mod: m.calculate_stats(pd.DataFrame({"OBSVALUE": ["a", "b"]})),
            Raises(TypeError, "Cannot perform reduction 'mean' with string dtype"),
        ),
        (
            f"{_name}.reindex_df_by_interval",
            "no rows",
            lambda p, m=_mod: m.reindex_df_by_interval(
                pd.DataFrame({"OBSVALUE": []}, index=pd.DatetimeIndex([]))
            ),
            Raises(ValueError, "Neither `start` nor `end` can be NaT"),
        ),
        (
            f"{_name}.reindex_df_by_interval",
            "an integer index",
            lambda p, m=_mod: m.reindex_df_by_interval(pd.DataFrame({"OBSVALUE": [1.0, 2.0]})),
            Raises(AttributeError, "'numpy.float64' object has no attribute 'total_seconds'"),
        ),
        (
            f"{_name}.reindex_df_by_interval",
            "an unknown SAMPLERATE",
            lambda p, m=_mod: m.reindex_df_by_interval(
                pd.DataFrame({"OBSVALUE": [1.0, 2.0], "SAMPLERATE": "zz"}, index=SD)
            ),
            Gives("the modal spacing decides (daily here)", lambda r: len(r) == 2),
        ),
        (
            f"{_name}.reindex_df_by_interval",
            "repeated times (modal spacing 0)",
            lambda p, m=_mod: m.reindex_df_by_interval(
                pd.DataFrame(
                    {"OBSVALUE": [1.0, 2.0, 3.0]},
                    index=pd.DatetimeIndex([T0, T0, T0 + pd.Timedelta(minutes=1)]),
                )
            ),
            Raises(ZeroDivisionError, "integer division or modulo by zero"),
        ),
    ]


def render():
    lines = [
        "# Bad inputs and what they give",
        "",
        "Every row is a test (`tests/test_bad_inputs.py`, which renders this page from its table:",
        "`python tests/test_bad_inputs.py` rewrites it). Messages are the start of `str(exception)`;",
        "warnings are Python warnings raised during the call. No bad input crashes the process: the",
        "sanitizer and fuzz runs cover the native side.",
        "",
        f"{len(ROWS)} rows.",
        "",
        "| Function | Bad input | Gives |",
        "|---|---|---|",
    ]
    for fn, what, _, outcome in ROWS:
        lines.append(f"| `{fn}` | {what} | {outcome.render()} |")
    return "\n".join(lines) + "\n"


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("function, what, call, outcome", ROWS, ids=[f"{r[0]}: {r[1]}" for r in ROWS])
def test_bad_input(function, what, call, outcome, tmp_path):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if isinstance(outcome, Raises):
            with pytest.raises(outcome.exc) as info:
                call(tmp_path)
            assert type(info.value) is outcome.exc
            assert str(info.value).startswith(outcome.message), str(info.value)
            return
        result = call(tmp_path)
    assert outcome.check(result), result
    messages = [str(w.message) for w in caught]
    if outcome.warning:
        assert any(m.startswith(outcome.warning) for m in messages), messages


# The page ends with the command line's section, rendered by tests/test_cli.py.
CLI_SECTION = "\n## The command line\n"


def _kernel_part(text):
    cut = text.find(CLI_SECTION)
    return text if cut < 0 else text[:cut]


def test_doc_is_rendered_from_the_table():
    assert _kernel_part(DOC.read_text(encoding="utf-8")) == render(), "run: python tests/test_bad_inputs.py"


if __name__ == "__main__":
    DOC.parent.mkdir(exist_ok=True)
    old = DOC.read_text(encoding="utf-8") if DOC.exists() else ""
    DOC.write_text(render() + old[len(_kernel_part(old)):], encoding="utf-8")
    sys.exit(0)


# --- inputs found by the fuzz targets ---------------------------------------------------------


def test_corrupt_gzip_size_field_allocates_no_gigabyte():
    # A gzip header, a few corrupt bytes and a size field claiming ~1 GiB: the first output
    # buffer used to be sized from that field alone.
    import resource

    value = gzip.compress(b"1 2 3")[:10] + b"\x00" * 8 + b"\xff\xff\xff\x3f"
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    with pytest.raises(Exception) as native:
        fetching._gunzip_texts([value])
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    with pytest.raises(Exception) as plain:
        gzip.decompress(value)
    assert type(native.value) is type(plain.value) and str(native.value) == str(plain.value)
    assert grown_kib < 256 * 1024
