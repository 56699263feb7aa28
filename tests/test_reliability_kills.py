"""Writers killed at chosen moments (SIGKILL, plain and with slowed writes) leave the old file or
the new one, never a part; what they leave behind is swept once they are gone."""

import os
import sys

import pytest

import reliability_kit as kit

pytestmark = pytest.mark.skipif(
    not hasattr(os, "fork") or sys.platform == "darwin", reason="kill trials fork a server process"
)

# Kill moments per writer in this suite; `make reliability` runs dozens.
KILLS = 4


@pytest.fixture(scope="module")
def server():
    with kit.ForkServer() as s:
        yield s


def expect_old_or_new(outcomes, allowed):
    assert outcomes and set(outcomes) <= set(allowed), outcomes


def test_atomic_path_block(server, tmp_path):
    target = tmp_path / "blob.bin"
    args = {"target": str(target), "version": 2, "size": 4_000_000}

    def reset():
        target.write_bytes(bytes([1]) * 1_000_000)

    def state():
        data = target.read_bytes()
        if data == bytes([1]) * 1_000_000:
            return "old"
        return "new" if data == bytes([2]) * 4_000_000 else "part"

    for slow in (False, True):
        expect_old_or_new(kit.run_kills(server, "write_bytes", args, KILLS, slow, state, reset), {"old", "new"})
    from lumoreq import _files

    # killed blocks leave their temporary files; once their processes are gone they are swept
    _files.sweep(tmp_path)
    assert kit.temp_leftovers(tmp_path) == []


def test_export_ruzi(server, sample_db, tmp_path):
    target = tmp_path / "out.ruzi"
    rows = 200_000
    old = {"db": str(sample_db), "target": str(target), "version": 1, "rows": rows}
    new = dict(old, version=2)
    assert server.trial("export", old, None)["outcome"] == "finished"
    first = target.read_bytes()

    def reset():
        target.write_bytes(first)

    for slow in (False, True):
        outcomes = kit.run_kills(server, "export", new, KILLS, slow, lambda: kit.ruzi_state(target, rows=rows), reset)
        expect_old_or_new(outcomes, {"v1", "v2"})
    # the next export clears what the killed ones left
    assert server.trial("export", new, None)["outcome"] == "finished"
    assert kit.temp_leftovers(tmp_path) == []
    assert kit.ruzi_state(target, rows=rows) == "v2"


@pytest.mark.parametrize("scenario", ["figure", "annual"])
def test_figure_saves(server, tmp_path, scenario):
    name = "panel" if scenario == "figure" else "annual.png"
    target = tmp_path / "figures" / ("panel.png" if scenario == "figure" else "annual.png")
    args = {"cwd": str(tmp_path), "name": name, "version": 1}
    assert server.trial(scenario, args, None)["outcome"] == "finished"
    first = target.read_bytes()

    def reset():
        target.write_bytes(first)

    for slow in (False, True):
        outcomes = kit.run_kills(server, scenario, dict(args, version=2), KILLS, slow,
                                 lambda: kit.png_state(target, first), reset)
        expect_old_or_new(outcomes, {"old", "new"})


def test_metadata_cache_refresh(server, tmp_path):
    a = kit.dictionary_db(tmp_path / "a.duckdb", "A")
    b = kit.dictionary_db(tmp_path / "b.duckdb", "B")
    cache = tmp_path / "cache"
    assert server.trial("cache", {"db": str(a), "cache_dir": str(cache)}, None)["outcome"] == "finished"
    assert kit.cache_state(cache) == "A"
    args = {"db": str(b), "cache_dir": str(cache)}
    for slow in (False, True):
        # no reset: each trial starts from whatever the one before left, which must be whole
        outcomes = kit.run_kills(server, "cache", dict(args, db=str(a)), KILLS // 2, slow, lambda: kit.cache_state(cache))
        outcomes += kit.run_kills(server, "cache", args, KILLS // 2, slow, lambda: kit.cache_state(cache))
        expect_old_or_new(outcomes, {"A", "B"})
    assert server.trial("cache", args, None)["outcome"] == "finished"
    assert kit.cache_state(cache) == "B"
    assert not [n for n in os.listdir(cache) if n.startswith(".")]
    assert len([n for n in os.listdir(cache) if n.startswith("gen-")]) <= 3


def test_sample_build(server, tmp_path):
    target = tmp_path / "net" / "n.duckdb"
    args = {"target": str(target), "seed": 1, "days": 10}
    assert server.trial("sample", args, None)["outcome"] == "finished"
    assert kit.sample_state(target) == "seed1"
    outcomes = kit.run_kills(server, "sample", dict(args, seed=2), 2 * KILLS, False, lambda: kit.sample_state(target))
    # complete (old or new), or found out as incomplete (a new catalogue beside the old
    # database): never a network that is used while half there
    expect_old_or_new(outcomes, {"seed1", "seed2", "incomplete"})
    from lumoreq import sample

    sample.ensure(target, days=10, minute_days=1, second_days=0, seed=2)
    assert kit.sample_state(target) == "seed2"
    assert kit.temp_leftovers(target.parent) == []
