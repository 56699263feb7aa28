"""read_QCAT against the pandas reference: fixed columns by characters, the host's strip and
float() rules, the table library's time pattern, the encoding fallback and universal newlines."""

import math

import numpy as np
import pandas as pd
import pytest
import reference
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from lumoreq import QCAT


def write(tmp_path, data: bytes, name="catalogue.txt"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def same_as_reference(path):
    native = QCAT.read_QCAT(path)
    pd.testing.assert_frame_equal(native, reference.read_QCAT(path), check_exact=True)
    return native


def line(time="20240101123045", lat="39.90", lon="116.40", mag="3.5", name="北京市昌平区"):
    return f"{time:<14} {lat:>6}{lon:>6} {mag:>4}       {name}"


def test_one_event(tmp_path):
    df = same_as_reference(write(tmp_path, (line() + "\n").encode()))
    assert list(df.columns) == ["lon", "lat", "magnitude", "name"]
    assert df.index.name == "ind" and df.index[0] == pd.Timestamp("2024-01-01 12:30:45")
    assert df.iloc[0].tolist() == [116.4, 39.9, 3.5, "北京市昌平区"]


@pytest.mark.parametrize(
    "text, check",
    [
        ("   \n\t\n" + line() + "\n\n", lambda df: len(df) == 1),
        ("20240101123045 39.90\n", lambda df: df[["lon", "magnitude", "name"]].isna().all(axis=None)),
        ("2024010112 39.90116.40 3.5\n", lambda df: len(df) == 1 and df.index.isna().all()),
        (line(name="")[:39] + "\n", lambda df: math.isnan(df["name"].iloc[0])),
        (line(lat="-12.5", lon="77.25"), lambda df: (df["lat"].iloc[0], df["lon"].iloc[0]) == (-12.5, 77.25)),
        # a non-ASCII character before column 39 shifts nothing: columns count characters
        (
            line(time="２０２４0101123045", mag="３.５", name="X") + "\n",
            lambda df: (df.index[0], df["magnitude"].iloc[0]) == (pd.Timestamp("2024-01-01 12:30:45"), 3.5),
        ),
        ("20240101123045\t39.90\t116.4\t3.5\n", lambda df: len(df) == 1),
        ("20240101123045 3\x009.9 116.4 3.5\x00      \x00名\x00\n", lambda df: math.isnan(df["lat"].iloc[0])),
    ],
    ids=["blank-lines", "short-line", "ten-digit-time", "39-chars", "columns", "wide-chars", "tabs", "nul"],
)
def test_documented_edges(tmp_path, text, check):
    assert check(same_as_reference(write(tmp_path, text.encode())))


@pytest.mark.parametrize(
    "field, value",
    [
        ("1_000", 1000.0),
        ("1__0", None),
        ("_1", None),
        ("1_", None),
        ("1_.5", None),
        ("-inf", -math.inf),
        ("+Inf", math.inf),
        ("nan", "nan"),
        ("-nan", "nan"),
        ("1e5", 1e5),
        ("1e", None),
        (".", None),
        ("1.", 1.0),
        (".5", 0.5),
        ("１２.５", 12.5),
        ("٣", 3.0),
        ("1\u30002", None),
        ("0x1", None),
        ("1e999", math.inf),
        ("1\u00a0", 1.0),
        ("a1", None),
        ("+-1", None),
        ("1e+0_1", 10.0),
        ("in_f", None),
    ],
)
def test_number_fields_follow_float(tmp_path, field, value):
    df = same_as_reference(write(tmp_path, line(lat=field).encode()))
    got = df["lat"].iloc[0]
    if value is None or value == "nan":
        assert math.isnan(got)
    else:
        assert got == value


@pytest.mark.parametrize(
    "time",
    [
        "202411111",
        "2024111",
        "20241 1010101",
        "20240101123060",
        "20240101123062",
        "20240230000000",
        "20240229000000",
        "20230229000000",
        "00000101000000",
        "10000101000000",
        "1970010100000０",
        "２０２４０１０１０００",
        "2024-01-01",
        "nan",
        "NaT",
        "",
        "+2024010112304",
    ],
)
def test_times_as_the_table_library_reads_them(tmp_path, time):
    df = same_as_reference(write(tmp_path, f"{time:<14} 39.90 116.4 3.5\n".encode()))
    expected = pd.to_datetime(pd.Series([time]), format="%Y%m%d%H%M%S", errors="coerce")
    assert df.index[0] is pd.NaT if expected.isna()[0] else df.index[0] == expected[0]


def test_now_is_the_wall_clock(tmp_path):
    before = pd.Timestamp.now()
    df = QCAT.read_QCAT(write(tmp_path, b"now            39.90116.40 3.5\n20240101000000\n"))
    assert before <= df.index[0] <= pd.Timestamp.now()
    assert df.index.dtype == "datetime64[us]" and df.index[1] == pd.Timestamp("2024-01-01")


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_line_ends(tmp_path, newline):
    text = newline.join([line(), "", line(time="20230101000000", name="河北"), ""])
    df = same_as_reference(write(tmp_path, text.encode()))
    assert df["name"].tolist() == ["北京市昌平区", "河北"]


def test_gb18030_file_reads_like_utf8(tmp_path):
    text = line() + "\n" + line(name="四川省汶川县") + "\n"
    utf8 = QCAT.read_QCAT(write(tmp_path, text.encode("utf-8"), "u.txt"))
    gb = same_as_reference(write(tmp_path, text.encode("gb18030"), "g.txt"))
    pd.testing.assert_frame_equal(utf8, gb)


def test_byte_order_mark_is_not_part_of_the_first_line(tmp_path):
    df = same_as_reference(write(tmp_path, b"\xef\xbb\xbf" + (line() + "\n").encode()))
    assert df.index[0] == pd.Timestamp("2024-01-01 12:30:45") and df["lat"].iloc[0] == 39.9


def test_bytes_of_neither_encoding_raise_the_codec_error(tmp_path):
    path = write(tmp_path, (line() + "\n").encode() + b"\xff\xff\x80\n")
    with pytest.raises(UnicodeDecodeError) as native:
        QCAT.read_QCAT(path)
    with pytest.raises(UnicodeDecodeError) as ref:
        reference.read_QCAT(path)
    assert str(native.value) == str(ref.value) and native.value.encoding == "gb18030"


@pytest.mark.parametrize("data", [b"", b"  \n\r\n\t \n"], ids=["empty", "blank"])
def test_files_without_events(tmp_path, data):
    df = same_as_reference(write(tmp_path, data))
    assert df.empty and df.index.name == "ind"


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        QCAT.read_QCAT(tmp_path / "missing.txt")
    with pytest.raises(TypeError):
        QCAT.read_QCAT(None)


# Characters that exercise stripping, float(), the time pattern and character counting. No
# "o", "w", "t", "d" or "y": "now" and "today" read the wall clock and cannot be compared.
ALPHABET = st.sampled_from(
    list("0123456789") * 6
    + list(" .+-_eEinfaINFA,x\t\x00\x0b\x0c\x1c\x1f\x85\xa0")
    + ["\u3000", "\u2028", "１", "٣", "𝟗", "北", "京", "é", "\U0001f600"]
)
NEWLINES = st.sampled_from(["\n", "\r\n", "\r"])


@st.composite
def catalogue_lines(draw):
    if draw(st.booleans()):
        time = draw(
            st.sampled_from(
                [
                    "20240101123045",
                    "19991231235959",
                    "202411111",
                    "20241 1010101",
                    "20240230000000",
                    "1970010100000０",
                ]
            )
        )
        fields = draw(st.text(ALPHABET, max_size=30))
        return time + " " + fields + draw(st.text(ALPHABET, max_size=12))
    return draw(st.text(ALPHABET, max_size=60))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(st.tuples(catalogue_lines(), NEWLINES), max_size=12), gb=st.booleans())
def test_random_catalogues_equal_reference(tmp_path, lines, gb):
    text = "".join(body + end for body, end in lines)
    data = text.encode("utf-8")
    if gb:
        try:
            data = text.encode("gb18030")
        except UnicodeEncodeError:
            pass
    same_as_reference(write(tmp_path, data))


def test_dtypes(tmp_path):
    df = QCAT.read_QCAT(write(tmp_path, (line() + "\n" + line(name="") + "\n").encode()))
    assert df.index.dtype == "datetime64[us]"
    assert (df.dtypes.iloc[:3] == np.float64).all() and df["name"].dtype == pd.StringDtype(na_value=np.nan)
