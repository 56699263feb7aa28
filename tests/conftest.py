import os
import sys

import pytest

# The reference lives beside the tests; the package under test is the installed one.
sys.path.insert(0, os.path.dirname(__file__))

# Figures are drawn without a screen.
os.environ.setdefault("MPLBACKEND", "Agg")


@pytest.fixture
def in_tmp_cwd(tmp_path, monkeypatch):
    """Run the test in an empty working directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


# Data access: the sample network, a connection to it and a filled metadata cache.
from conftest_sample import (  # noqa: E402, F401
    pg_copy_url,
    pg_sample_url,
    pg_server,
    pg_template,
    sample_cache,
    sample_conn,
    sample_db,
    splitter,
    writable_conn,
)
