"""Damage that is found out, names that match literally, figures that stay in ./figures/, and
commands that share files: a RUZI file or a cache file with a flipped byte never reads back as
wrong values; refreshes, exports and readers side by side all see whole files."""

import json
import os
import random
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import sqlalchemy

import reliability_kit as kit
from lumoreq import export, fetching, sample
from lumoreq.metadata_cache import CACHE_KEY, HOW_TO_REFRESH, MetadataCache

MF = fetching.MetadataFetcher
FLIPS = 40


def flipped_copies(source: Path, folder: Path, count: int, seed: int):
    """`count` copies of `source`, each with one byte at a random position flipped."""
    data = source.read_bytes()
    rng = random.Random(seed)
    for i in range(count):
        position = rng.randrange(len(data))
        damaged = bytearray(data)
        damaged[position] ^= 1 << rng.randrange(8)
        path = folder / f"flip{i}{source.suffix}"
        path.write_bytes(bytes(damaged))
        yield position, path


def mixed_frame(rows=3000):
    index = pd.date_range("2024-01-01", periods=rows, freq="h", name="STARTDATE")
    rng = np.random.default_rng(3)
    values = rng.normal(size=rows).astype("float32")
    values[::97] = np.nan
    return pd.DataFrame(
        {
            "STATIONID": np.where(np.arange(rows) % 2, "11012", "37005"),
            "ITEMID": "2311",
            "OBSVALUE": values,
            "DATAFLAG": np.array([("A", None, "B")[i % 3] for i in range(rows)], dtype=object),
            "COUNT": np.arange(rows, dtype=np.int64),
        },
        index=index,
    )


# ---------------------------------------------------------------------------------------------
# RUZI: digest, page checksums, earlier version
# ---------------------------------------------------------------------------------------------


def test_ruzi_records_a_digest_and_reads_back(tmp_path):
    df = mixed_frame()
    path = tmp_path / "a.ruzi"
    export.write_ruzi(export.to_ruzi(df, {"k": 1}), path)
    context = json.loads(pq.read_schema(path).metadata[export.METADATA_KEY])
    assert context["version"] == export.FORMAT_VERSION == 2
    assert context["digest"]["algorithm"] == "sha256" and len(context["digest"]["columns"]) == 6
    back, meta = export.read_ruzi(path)
    pd.testing.assert_frame_equal(back, df, check_freq=False)
    assert meta == {"k": 1}
    assert os.listdir(tmp_path) == ["a.ruzi"]


@pytest.mark.parametrize("unit, tz", [("s", None), ("s", "Asia/Shanghai"), ("ns", None)])
def test_digest_covers_what_parquet_gives_back(tmp_path, unit, tz):
    # Parquet keeps seconds as milliseconds: the digest must describe the stored column
    df = mixed_frame(50)
    df.index = df.index.as_unit(unit) if tz is None else df.index.as_unit(unit).tz_localize(tz)
    df["WHEN"] = pd.Series(df.index.tz_localize(None) if tz else df.index, index=df.index).dt.as_unit(unit)
    export.write_ruzi(export.to_ruzi(df), tmp_path / "s.ruzi")
    back, _ = export.read_ruzi(tmp_path / "s.ruzi")
    pd.testing.assert_frame_equal(back, df, check_freq=False)


@pytest.mark.parametrize("kind", [pa.string(), pa.binary(), pa.large_string(), pa.int64(), pa.float32(),
                                  pa.timestamp("us"), pa.date32()])
@pytest.mark.parametrize("missing", [False, True])
def test_a_column_digest_does_not_depend_on_its_layout(kind, missing):
    # one chunk without missing values is digested from its own buffers, anything else through
    # casts: a column read back in other chunks, or sliced, must still match its digest
    rng = random.Random(7)
    count = 301
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        items = [rng.choice(["", "昌平", "a", "11012", "NULLALL"]) for _ in range(count)]
    elif pa.types.is_binary(kind):
        items = [bytes(rng.randrange(256) for _ in range(rng.randrange(4))) for _ in range(count)]
    elif pa.types.is_floating(kind):
        items = [rng.choice([0.0, -0.0, 1.5, float("nan"), float("inf")]) for _ in range(count)]
    else:
        items = [rng.randrange(-(10**6), 10**6) for _ in range(count)]
    if missing:
        items = [None if i % 7 == 3 else v for i, v in enumerate(items)]
    whole = pa.array(items, type=pa.int32() if kind == pa.date32() else pa.int64() if pa.types.is_temporal(kind) else kind)
    whole = whole.cast(kind) if pa.types.is_temporal(kind) else whole
    digests = set()
    for column in [pa.chunked_array([whole.slice(1)]), pa.chunked_array([whole]).slice(1),
                   pa.chunked_array([whole.slice(1, 100), whole.slice(101)])]:
        digest = export._hashlib.sha256()
        export._feed_column(digest, column)
        digests.add(digest.hexdigest())
    assert len(digests) == 1
    # and a value moved gives another digest
    changed = pa.chunked_array([whole.slice(2, 150), whole.slice(1, 1), whole.slice(152)])
    digest = export._hashlib.sha256()
    export._feed_column(digest, changed)
    assert digest.hexdigest() not in digests


def test_single_byte_flips_of_a_ruzi_file_never_read_as_wrong_values(tmp_path):
    df = mixed_frame()
    source = tmp_path / "good.ruzi"
    export.write_ruzi(export.to_ruzi(df, {"station": "昌平"}), source)
    outcomes = {"same": 0, "detected": 0}
    for position, path in flipped_copies(source, tmp_path, FLIPS, seed=11):
        try:
            back, meta = export.read_ruzi(path)
        except ValueError as error:
            assert str(path) in str(error), (position, error)
            outcomes["detected"] += 1
            continue
        # a flip in bytes no reader looks at (statistics, padding): the same values
        pd.testing.assert_frame_equal(back, df, check_freq=False, obj=f"flip at byte {position}")
        assert meta == {"station": "昌平"}
        outcomes["same"] += 1
    assert outcomes["detected"] > FLIPS // 2, outcomes


def test_damaged_column_found_by_the_digest_even_without_page_checksums(tmp_path):
    df = mixed_frame(500)
    table = export.to_ruzi(df)
    # Same data, one value changed, the original digest kept: as if a page were damaged in a
    # way its checksum did not catch (or a file written without checksums).
    values = table.column("OBSVALUE").to_numpy(zero_copy_only=False).copy()
    values[7] = values[7] + 1
    forged = table.set_column(table.schema.get_field_index("OBSVALUE"), table.schema.field("OBSVALUE"),
                              pa.array(values, pa.float32()))
    pq.write_table(forged, tmp_path / "f.ruzi")
    with pytest.raises(ValueError, match=r"damaged RUZI file: .*f\.ruzi: column 'OBSVALUE'"):
        export.read_ruzi(tmp_path / "f.ruzi")


def test_first_version_files_still_read(tmp_path):
    df = mixed_frame(100)
    table = export.to_ruzi(df, {"a": 1})
    meta = dict(table.schema.metadata)
    meta[export.METADATA_KEY] = json.dumps({"format": "RUZI", "version": 1, "metadata": {"a": 1}}).encode()
    pq.write_table(table.replace_schema_metadata(meta), tmp_path / "v1.ruzi")
    back, context = export.read_ruzi(tmp_path / "v1.ruzi")
    pd.testing.assert_frame_equal(back, df, check_freq=False)
    assert context == {"a": 1}
    meta[export.METADATA_KEY] = json.dumps({"format": "RUZI", "version": 9}).encode()
    pq.write_table(table.replace_schema_metadata(meta), tmp_path / "v9.ruzi")
    with pytest.raises(ValueError, match="unsupported RUZI version 9 in .*v9.ruzi"):
        export.read_ruzi(tmp_path / "v9.ruzi")


def test_truncated_and_missing_files(tmp_path):
    path = tmp_path / "t.ruzi"
    export.write_ruzi(export.to_ruzi(mixed_frame(100)), path)
    data = path.read_bytes()
    for size in (0, 4, len(data) // 2, len(data) - 1):
        path.write_bytes(data[:size])
        with pytest.raises(ValueError, match=str(path)):
            export.read_ruzi(path)
    with pytest.raises(FileNotFoundError):
        export.read_ruzi(tmp_path / "none.ruzi")


# ---------------------------------------------------------------------------------------------
# Metadata cache: generations, damage, the real cause
# ---------------------------------------------------------------------------------------------


def test_refresh_writes_a_generation_and_switches_the_pointer(sample_conn, tmp_path):
    first = MetadataCache.refresh_cache(conn=sample_conn, cache_dir=tmp_path)
    generation = MetadataCache.current_generation(tmp_path)
    assert (tmp_path / "CURRENT").read_text().strip() == generation.name
    assert all(p.parent == generation and p.exists() for p in first.values())
    # a refresh of one table carries the others over
    second = MetadataCache.refresh_cache(conn=sample_conn, cache_dir=tmp_path, tables="items")
    assert list(second) == ["items"]
    newer = MetadataCache.current_generation(tmp_path)
    assert newer != generation and sorted(p.name for p in newer.iterdir()) == sorted(
        f"{n}.parquet" for n in MetadataCache.TABLES)
    pd.testing.assert_frame_equal(MetadataCache.get_table("stations", tmp_path),
                                  pd.read_parquet(first["stations"]).pipe(lambda f: MetadataCache.get_table(
                                      "stations", tmp_path)))
    for _ in range(4):
        MetadataCache.refresh_cache(conn=sample_conn, cache_dir=tmp_path, tables=["methods"])
    assert len([p for p in tmp_path.iterdir() if p.name.startswith("gen-")]) == 3


def test_a_failed_refresh_keeps_the_previous_cache(sample_db, sample_conn, tmp_path):
    MetadataCache.refresh_cache(conn=sample_conn, cache_dir=tmp_path)
    before = MetadataCache.current_generation(tmp_path)
    broken = tmp_path / "broken.duckdb"
    shutil.copy(sample_db, broken)
    conn = sample.connect(broken, read_only=False)
    try:
        conn.execute(sqlalchemy.text("DROP TABLE ZODUZA.QZ_DICT_METHODS"))
        conn.commit()
        with pytest.raises(Exception, match="QZ_DICT_METHODS"):
            MetadataCache.refresh_cache(conn=conn, cache_dir=tmp_path)
    finally:
        conn.close()
    assert MetadataCache.current_generation(tmp_path) == before
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_earlier_flat_layout_still_reads(sample_conn, tmp_path):
    frame = pd.read_sql(sqlalchemy.text("SELECT * FROM ZODUZA.QZ_DICT_STATIONS"), sample_conn)
    frame.to_parquet(tmp_path / "stations.parquet", index=False)
    got = MetadataCache.get_table("stations", tmp_path)
    assert list(got["STATIONID"])[:2] == ["11012", "13021"]


def test_single_byte_flips_of_a_cache_file_never_read_as_wrong_values(sample_conn, tmp_path):
    cache = tmp_path / "cache"
    written = MetadataCache.refresh_cache(conn=sample_conn, cache_dir=cache)
    good = MetadataCache.get_table("stations", cache)
    source = tmp_path / "stations.parquet"
    shutil.copy(written["stations"], source)
    detected = 0
    for position, path in flipped_copies(source, tmp_path, FLIPS, seed=5):
        shutil.copy(path, written["stations"])
        try:
            got = MetadataCache.get_table("stations", cache)
        except ValueError as error:
            assert str(written["stations"]) in str(error) and "refresh" in str(error), error
            detected += 1
            continue
        pd.testing.assert_frame_equal(got, good, obj=f"flip at byte {position}")
    assert detected > FLIPS // 2


def test_cache_errors_name_the_file_and_the_database_failure(sample_cache, tmp_path):
    # a damaged pointer
    cache = tmp_path / "c"
    shutil.copytree(sample_cache, cache)
    (cache / "CURRENT").write_text("../../etc\n")
    with pytest.raises(ValueError, match=r"pointer .*CURRENT is damaged.*refresh_metadata_cache"):
        MetadataCache.get_table("items", cache)
    # no cache, and a database that cannot answer: the fixed message, with the real cause
    engine = sqlalchemy.create_engine(f"duckdb:///{tmp_path / 'empty.duckdb'}", poolclass=sqlalchemy.pool.NullPool)
    with engine.connect() as conn:
        with pytest.raises(RuntimeError) as info:
            MF.get_timeseries_info(conn, cache_dir=tmp_path / "none")
    assert str(info.value).startswith("未找到本地元数据缓存")
    notes = "\n".join(getattr(info.value, "__notes__", []) + getattr(info.value.__cause__, "__notes__", []))
    assert "QZ_DICT_STATIONS" in notes and "database" in notes
    # the look-ups' fall-back says the same
    with engine.connect() as conn:
        with pytest.raises(FileNotFoundError) as info:
            MF.get_station_ids(conn, "泰安", cache_dir=tmp_path / "none")
    assert "QZ_DICT_STATIONS" in "\n".join(info.value.__notes__)
    assert HOW_TO_REFRESH in info.value.__notes__


def test_damaged_cache_file_is_reported_by_the_lookups(sample_cache, tmp_path):
    cache = tmp_path / "c"
    shutil.copytree(sample_cache, cache)
    path = MetadataCache._file("stations", cache)
    path.write_bytes(path.read_bytes()[:-40])
    with pytest.raises(ValueError, match=f"{path}.*refresh"):
        MF.get_station_ids(None, "泰安", cache_dir=cache)
    schema = pq.read_schema(MetadataCache._file("items", cache))
    assert CACHE_KEY in schema.metadata


# ---------------------------------------------------------------------------------------------
# Side by side: processes that refresh, export, read and fetch at once
# ---------------------------------------------------------------------------------------------


def run_python(code: str, *args: str) -> subprocess.Popen:
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.path.dirname(__file__))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(procs, timeout=120):
    results = []
    for p in procs:
        out, err = p.communicate(timeout=timeout)
        results.append((p.returncode, out, err))
    return results


def test_two_refreshes_at_once_both_succeed_while_a_reader_reads(tmp_path):
    a = kit.dictionary_db(tmp_path / "a.duckdb", "A")
    b = kit.dictionary_db(tmp_path / "b.duckdb", "B")
    cache = tmp_path / "cache"
    code = """
        import sys
        from lumoreq import sample
        from lumoreq.metadata_cache import MetadataCache
        conn = sample.connect(sys.argv[1])
        for _ in range(6):
            MetadataCache.refresh_cache(conn=conn, cache_dir=sys.argv[2])
        print("ok")
    """
    procs = [run_python(code, str(a), str(cache)), run_python(code, str(b), str(cache))]
    seen = set()
    while any(p.poll() is None for p in procs):
        state = kit.cache_state(cache)
        assert state in {"absent", "A", "B"}, state
        seen.add(state)
    for code_, out, err in finish(procs):
        assert code_ == 0 and out.strip() == "ok", err
    assert kit.cache_state(cache) in {"A", "B"}
    assert not [n for n in os.listdir(cache) if n.startswith(".")]


def test_two_exports_to_one_path_with_a_reader_polling(sample_db, tmp_path):
    target = tmp_path / "shared.ruzi"
    code = """
        import sys
        import reliability_kit as kit
        from lumoreq import fetching, sample
        conn = sample.connect(sys.argv[1])
        df = kit.series_frame(int(sys.argv[3]), 100_000)
        for _ in range(6):
            fetching.DataFetcher.export_ruzi(conn, df, sys.argv[2], "01")
        print("ok")
    """
    procs = [run_python(code, str(sample_db), str(target), "1"), run_python(code, str(sample_db), str(target), "2")]
    reads = []
    while any(p.poll() is None for p in procs):
        state = kit.ruzi_state(target, rows=100_000)
        assert state in {"absent", "v1", "v2"}, state
        reads.append(state)
    for code_, out, err in finish(procs):
        assert code_ == 0 and out.strip() == "ok", err
    assert kit.ruzi_state(target, rows=100_000) in {"v1", "v2"}
    assert kit.temp_leftovers(tmp_path) == []


def test_two_commands_and_a_notebook_on_the_sample_network_at_once(sample_db, tmp_path):
    notebook = sample.connect(sample_db)  # held open the whole time, as a notebook would
    try:
        args = ["--sample-path", str(sample_db), "--method", "流体", "--rate", "日均值", "--kind", "预处理库",
                "--start", "2024-01-01", "--end", "2024-01-20"]
        env = dict(os.environ, HOME=str(tmp_path), LOCALAPPDATA=str(tmp_path), MPLBACKEND="Agg")
        procs = [subprocess.Popen([sys.executable, "-m", "lumoreq", "fetch", *args, "-o", str(tmp_path / f"{i}.ruzi")],
                                  env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for i in range(2)]
        second = sample.connect(sample_db)
        count = second.execute(sqlalchemy.text("SELECT count(*) FROM ZODUZA.QZ_DICT_STATIONS")).scalar()
        second.close()
        assert count == len(sample.STATIONS)
        for code_, out, err in finish(procs):
            assert code_ == 0, err
        frames = [export.read_ruzi(tmp_path / f"{i}.ruzi")[0] for i in range(2)]
        pd.testing.assert_frame_equal(frames[0], frames[1])
        assert len(frames[0]) > 0
        # reading is all a default connection can do
        with pytest.raises(Exception, match="read-only"):
            notebook.execute(sqlalchemy.text("DELETE FROM ZODUZA.QZ_DICT_STATIONS"))
    finally:
        notebook.close()


# ---------------------------------------------------------------------------------------------
# The sample network: complete or rebuilt
# ---------------------------------------------------------------------------------------------


SMALL = dict(days=4, minute_days=1, second_days=0)


def test_sample_network_half_there_is_rebuilt(tmp_path):
    path = tmp_path / "n.duckdb"
    sample.build(path, **SMALL)
    record = sample.check(path)
    assert record["complete"] == "yes" and len(record["catalogue_sha256"]) == 64
    catalogue = path.with_name("catalogue.txt")
    good = catalogue.read_bytes()
    for damage in ("empty catalogue", "other catalogue", "no catalogue", "no build record", "garbage"):
        if damage == "empty catalogue":
            catalogue.write_bytes(b"")
        elif damage == "other catalogue":
            catalogue.write_bytes(good[:-200])
        elif damage == "no catalogue":
            catalogue.unlink()
        elif damage == "no build record":
            conn = sample.connect(path, read_only=False)
            conn.execute(sqlalchemy.text(f"DROP TABLE {sample.INFO_TABLE}"))
            conn.commit()
            conn.close()
        else:
            path.write_bytes(b"\0" * 4096)
        with pytest.raises(ValueError, match=str(tmp_path)):
            sample.check(path)
        stamp = path.stat().st_mtime_ns
        sample.ensure(path, **SMALL)
        assert sample.check(path)["complete"] == "yes", damage
        assert catalogue.read_bytes() == good
        assert path.stat().st_mtime_ns != stamp
    # a complete one is used as it is
    stamp = path.stat().st_mtime_ns
    sample.ensure(path, **SMALL)
    assert path.stat().st_mtime_ns == stamp
    with pytest.raises(FileNotFoundError):
        sample.check(tmp_path / "none.duckdb")


def test_corrupt_sample_network_names_the_file(tmp_path):
    path = tmp_path / "bad.duckdb"
    path.write_bytes(b"DUCK" * 2000)
    with pytest.raises(Exception) as info:
        sample.connect(path).close()
    assert str(path) in str(info.value) + "".join(getattr(info.value, "__notes__", []))


# ---------------------------------------------------------------------------------------------
# Names: "%", "_" and "\" are characters, for the database as for the cache
# ---------------------------------------------------------------------------------------------


def test_wildcard_characters_in_names_are_literal_everywhere(sample_db, tmp_path):
    path = tmp_path / "names.duckdb"
    shutil.copy(sample_db, path)
    conn = sample.connect(path, read_only=False)
    try:
        for station, name in [(11012, "昌_平台"), (13021, "易%县台"), (32005, "南\\京台"), (37005, "泰安台")]:
            conn.execute(sqlalchemy.text("UPDATE ZODUZA.QZ_DICT_STATIONS SET STATIONNAME = :n WHERE STATIONID = :s"),
                         {"n": name, "s": station})
        conn.execute(sqlalchemy.text("UPDATE ZODUZA.QZ_DICT_ITEMS SET ITEMNAME = '静_水位' WHERE ITEMID = '4112'"))
        conn.execute(sqlalchemy.text("UPDATE ZODUZA.QZ_DICT_METHODS SET METHODNAME = '水%位' WHERE METHODID = '411'"))
        conn.commit()
        cache = tmp_path / "cache"
        MetadataCache.refresh_cache(conn=conn, cache_dir=cache)
        for name, expected in [("_", ["11012"]), ("%", ["13021"]), ("\\", ["32005"]), ("昌_", ["11012"]),
                               ("泰_", []), ("%县", ["13021"]), ("%台", []), ("\\京", ["32005"]), ("\\\\", [])]:
            live = list(MF.get_station_ids(conn, name)["stationid"].astype(str))
            cached = list(MF.get_station_ids(None, name, cache_dir=cache)["stationid"].astype(str))
            assert sorted(live) == sorted(cached) == expected, name
        for name, expected in [("_", ["4112"]), ("静%", [])]:
            assert list(MF.get_item_ids(conn, name)["itemid"]) == expected
            assert list(MF.get_item_ids(None, name, cache_dir=cache)["itemid"]) == expected
        assert list(MF.get_method_ids(conn, "%")["methodid"]) == ["411"]
        assert list(MF.get_method_ids(None, "%", cache_dir=cache)["methodid"]) == ["411"]
        assert list(MF.get_method_ids(conn, "水_")["methodid"]) == []
    finally:
        conn.close()


# ---------------------------------------------------------------------------------------------
# The annual comparison stays in ./figures/
# ---------------------------------------------------------------------------------------------


@pytest.fixture
def two_years():
    index = pd.date_range("2022-01-01", "2023-12-31", freq="D")
    return pd.DataFrame({"OBSVALUE": np.sin(np.arange(len(index)) / 20.0)}, index=index)


@pytest.mark.parametrize("name", ["../../x.png", "./figures/../x.png", "sub/../../y.png", "figures/../../z.png"])
def test_annual_comparison_refuses_names_outside_figures_before_drawing(in_tmp_cwd, two_years, name):
    import matplotlib.pyplot as plt

    from lumoreq import yearcompare

    before = plt.get_fignums()
    with pytest.raises(ValueError, match="outside ./figures/"):
        yearcompare.plot_annual_comparison(two_years, output_file=name, dpi=50)
    assert plt.get_fignums() == before
    assert not list(in_tmp_cwd.parent.glob("*.png")) and not list(in_tmp_cwd.rglob("*.png"))


def test_annual_comparison_paths_inside_and_absolute(in_tmp_cwd, two_years, tmp_path_factory):
    import matplotlib.pyplot as plt

    from lumoreq import yearcompare

    elsewhere = tmp_path_factory.mktemp("abs") / "abs.png"
    for name, where in [("sub/a.png", in_tmp_cwd / "figures" / "sub" / "a.png"),
                        ("./figures/b.svg", in_tmp_cwd / "figures" / "b.svg"),
                        ("noext", in_tmp_cwd / "figures" / "noext.png"),
                        (str(elsewhere), elsewhere)]:
        fig, _ = yearcompare.plot_annual_comparison(two_years, output_file=name, dpi=50)
        plt.close(fig)
        assert where.exists() and where.stat().st_size > 0, name
    assert b"<svg" in (in_tmp_cwd / "figures" / "b.svg").read_bytes()[:400]
    assert not [p for p in in_tmp_cwd.rglob(".*") if p.is_file()]
