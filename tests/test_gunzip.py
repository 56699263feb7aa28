"""The gzip column of minute and second tables, against one gzip.decompress per row."""

import gzip

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
from lumoreq import fetching

texts = st.text(alphabet=st.sampled_from(list("0123456789.- NULaé漢")), max_size=300)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.one_of(st.none(), texts.map(lambda t: gzip.compress(t.encode()))), max_size=20))
def test_equals_reference(values):
    assert fetching._gunzip_texts(values) == reference.gunzip_texts(values)


def test_multi_member_and_empty():
    two = gzip.compress(b"1 2 ") + gzip.compress(b"3")
    padded = gzip.compress(b"7") + b"\0\0\0"  # zero padding after the last member is allowed
    assert fetching._gunzip_texts([two, b"", None, padded]) == ["1 2 3", "", "", "7"]


@pytest.mark.parametrize("bad", [b"not gzip", gzip.compress(b"12")[:-3], gzip.compress(b"1") + b"ab",
                                 gzip.compress(b"\xff\xfe"), "text", 5])
def test_errors_are_the_hosts(bad):
    with pytest.raises(Exception) as native:
        fetching._gunzip_texts([gzip.compress(b"ok"), bad])
    with pytest.raises(Exception) as ref:
        reference.gunzip_texts([gzip.compress(b"ok"), bad])
    assert type(native.value) is type(ref.value) and str(native.value) == str(ref.value)
