"""Data access on a real PostgreSQL server: the network loads completely, a fetch and an export
give what they give on the DuckDB file, and a server that fails under a running fetch (stopped,
its backend terminated, a statement timeout) ends the fetch within seconds with an error naming
the cause, writes nothing, and leaves a connection that can still be closed."""

from __future__ import annotations

import os
import pwd
import subprocess
import threading
import time

import pandas as pd
import pg_server as pg_server_module
import pytest
import sqlalchemy
from conftest_sample import pg_connect
from pg_network import network_tables
from pg_server import backend_pid, wait_until

from lumoreq import export, fetching, sample

DF = fetching.DataFetcher

# A day fetch of two methods: it reads DYU_90_221 and DYU_90_231. The faults are injected while
# the data statement waits for a lock held on the second table, so they strike mid-query.
FETCH = ("20240101", "20240110", "形变", "全部", "日均值", "预处理库")
LOCKED = "ZODUZA.DYU_90_231"
BOUND = 10.0  # seconds within which a fault must end the fetch


@pytest.fixture
def no_default_cache(tmp_path, monkeypatch):
    """Point the per-user metadata cache at an empty folder, so no stored copy hides a failure."""
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("LOCALAPPDATA", str(tmp_path / "home"))


def old_target(tmp_path):
    target = tmp_path / "out" / "series.ruzi"
    target.parent.mkdir()
    target.write_bytes(b"the previous export")
    return target


def assert_untouched(target):
    assert target.read_bytes() == b"the previous export"
    assert sorted(p.name for p in target.parent.iterdir()) == [target.name]


class BlockedFetch:
    """A fetch (then an export of its rows) run in a thread on ``conn``, held inside its data
    statement by a lock that a second session takes on LOCKED."""

    def __init__(self, server, database, conn, target):
        self.server, self.conn, self.target = server, conn, target
        self.holder = server.admin(database)
        self.holder.autocommit = False
        self.holder.execute(f"LOCK TABLE {LOCKED} IN ACCESS EXCLUSIVE MODE")
        self.pid = backend_pid(conn)
        self.outcome = {}
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        began = time.monotonic()
        try:
            df = DF.fetch_data(self.conn, *FETCH)
            self.outcome["df"] = df
            DF.export_ruzi(self.conn, df, self.target, "日均值")
        except Exception as e:  # noqa: BLE001 - the test looks at it
            self.outcome["error"] = e
        ended = time.monotonic()
        self.outcome["seconds"] = ended - began
        self.outcome["after_fault"] = ended - self.faulted

    def start(self):
        """Start the fetch; returns once it waits inside its data statement."""
        self.faulted = float("inf")
        self.thread.start()
        with self.server.admin() as admin:
            waiting = wait_until(lambda: admin.execute(
                "SELECT wait_event_type FROM pg_stat_activity WHERE pid = %s", [self.pid]).fetchone() == ("Lock",))
        assert waiting, "the fetch never reached its data statement"
        self.faulted = time.monotonic()  # the caller strikes now

    def finish(self):
        self.thread.join(BOUND + 5)
        alive = self.thread.is_alive()
        try:
            self.holder.close()
        except Exception:  # noqa: BLE001 - the holder may have been ended with the server
            pass
        if alive:
            self.thread.join(30)  # the lock is gone now; do not leave the thread behind
        assert not alive, "the fetch did not return after the fault"
        return self.outcome


def driver_error(error):
    """The SQLAlchemy error under ``error`` (pandas wraps it in its own DatabaseError)."""
    while error is not None and not isinstance(error, sqlalchemy.exc.DBAPIError):
        error = error.__cause__ or error.__context__
    return error


def cause_chain(error):
    texts = []
    while error is not None:
        texts.append(str(error))
        error = error.__cause__ or error.__context__
    return "\n".join(texts)


def assert_failed_cleanly(outcome, target, fault: str, message: str):
    """The fetch raised the server's error (``message`` somewhere in its causes) and wrote nothing."""
    assert "error" in outcome, f"{fault} gave {outcome.get('df')!r}"
    error = outcome["error"]
    assert isinstance(driver_error(error), sqlalchemy.exc.OperationalError), repr(error)
    assert message in cause_chain(error)
    assert_untouched(target)


# --- the server itself ----------------------------------------------------------------------------


def test_without_a_server_the_tests_skip_but_ci_fails(monkeypatch):
    monkeypatch.setattr(pg_server_module, "find_bindir", lambda: None)
    for name in ("CI", "LUMOREQ_REQUIRE_PG"):
        monkeypatch.delenv(name, raising=False)
    with pytest.raises(pytest.skip.Exception, match="install Debian's 'postgresql'"):
        pg_server_module.require_server()
    for name, value in [("LUMOREQ_REQUIRE_PG", "1"), ("CI", "true")]:
        with monkeypatch.context() as env:
            env.setenv(name, value)
            with pytest.raises(pytest.fail.Exception, match="CI runs the tests on PostgreSQL"):
                pg_server_module.require_server()


def test_server_listens_on_loopback_only(pg_server):
    with pg_server.admin() as admin:
        assert admin.execute("SHOW listen_addresses").fetchone() == ("127.0.0.1",)
        assert admin.execute("SHOW unix_socket_directories").fetchone() == (str(pg_server.sockets),)
        assert admin.execute("SELECT current_setting('data_directory')").fetchone()[0].startswith(
            str(pg_server.root))
    if os.geteuid() == 0:  # the server runs as the unprivileged account, never as root
        assert pg_server.data.stat().st_uid == pwd.getpwnam(pg_server_module.SERVER_ACCOUNT).pw_uid != 0


# --- the network on the server -------------------------------------------------------------------


def test_every_table_is_copied_whole(sample_db, pg_sample_url):
    tables = network_tables(sample_db)
    duck = sample.connect(sample_db, read_only=True)
    conn = pg_connect(pg_sample_url)
    try:
        listed = pd.read_sql(sqlalchemy.text("SELECT TABLE_NAME, OWNER FROM ALL_TABLES"), conn)
        assert sorted(listed["table_name"]) == sorted(tables) and set(listed["owner"]) == {"ZODUZA"}
        for table, columns in tables.items():
            names = ", ".join(c for c, _ in columns)
            order = ", ".join(c for c, _ in columns if c != "OBSVALUE")
            query = sqlalchemy.text(f"SELECT {names} FROM ZODUZA.{table} ORDER BY {order}")
            a = pd.read_sql(query, duck)
            b = pd.read_sql(query, conn)
            b.columns = a.columns  # the server folds unquoted names to lower case
            assert len(a) == len(b), table
            pd.testing.assert_frame_equal(a, b, check_dtype=False, obj=table)
            assert [str(t) for t in a.dtypes] == [str(t) for t in b.dtypes], table
    finally:
        duck.close()
        conn.close()


def test_to_date_is_a_day_that_plus_one_moves(pg_sample_url):
    conn = pg_connect(pg_sample_url)
    try:
        got = conn.execute(sqlalchemy.text(
            "SELECT TO_DATE('20240229', 'yyyymmdd') + 1, TO_DATE('20241231', 'yyyymmdd') + 1")).one()
    finally:
        conn.close()
    assert [pd.Timestamp(v) for v in got] == [pd.Timestamp("2024-03-01"), pd.Timestamp("2025-01-01")]


def test_export_from_the_server_equals_the_export_from_the_file(sample_db, pg_sample_url, tmp_path, splitter):
    paths = {}
    for name, conn in [("duckdb", sample.connect(sample_db, read_only=True)), ("pg", pg_connect(pg_sample_url))]:
        try:
            df = DF.fetch_data(conn, "20240101", "20240103", "流体", "全部", "分钟值", "预处理库", gzip_flag=True)
            paths[name] = tmp_path / f"{name}.ruzi"
            DF.export_ruzi(conn, df, paths[name], "分钟值")
        finally:
            conn.close()
    (a, meta_a), (b, meta_b) = export.read_ruzi(paths["duckdb"]), export.read_ruzi(paths["pg"])
    assert len(a) > 3 * 1440
    pd.testing.assert_frame_equal(a, b, check_exact=True)
    meta_a.pop("export_time"), meta_b.pop("export_time")
    assert meta_a == meta_b and meta_a["station_info"]


# --- faults under a running fetch ---------------------------------------------------------------


@pytest.fixture(scope="module")
def whole_fetch(pg_sample_url):
    """What FETCH gives while the server is well."""
    conn = pg_connect(pg_sample_url)
    try:
        df = DF.fetch_data(conn, *FETCH)
    finally:
        conn.close()
    assert len(df) > 0
    return df


def test_backend_terminated_mid_query(pg_server, pg_sample_url, whole_fetch, tmp_path, no_default_cache, splitter):
    target = old_target(tmp_path)
    conn = pg_connect(pg_sample_url)
    try:
        run = BlockedFetch(pg_server, pg_sample_url.database, conn, target)
        run.start()
        assert pg_server.terminate_backends(pid=run.pid) == 1
        outcome = run.finish()
        assert_failed_cleanly(outcome, target, "a terminated backend", "terminating connection due to administrator command")
        assert 0 <= outcome["after_fault"] < BOUND
        # the connection notices it was lost; after a rollback it reaches a new backend
        assert conn.invalidated
        conn.rollback()
        assert backend_pid(conn) != run.pid
        pd.testing.assert_frame_equal(DF.fetch_data(conn, *FETCH), whole_fetch)
    finally:
        conn.close()
    assert conn.closed


def test_statement_timeout(pg_server, pg_sample_url, whole_fetch, tmp_path, no_default_cache, splitter):
    target = old_target(tmp_path)
    conn = pg_connect(pg_sample_url)
    try:
        conn.execute(sqlalchemy.text("SET statement_timeout = '700ms'"))
        conn.commit()
        run = BlockedFetch(pg_server, pg_sample_url.database, conn, target)
        run.start()
        outcome = run.finish()
        assert_failed_cleanly(outcome, target, "a statement timeout", "canceling statement due to statement timeout")
        assert 0.5 < outcome["seconds"] < BOUND
        # only the statement failed: the same session goes on after a rollback
        assert not conn.invalidated
        conn.rollback()
        assert backend_pid(conn) == run.pid
        pd.testing.assert_frame_equal(DF.fetch_data(conn, *FETCH), whole_fetch)
    finally:
        conn.close()
    assert conn.closed


def test_server_stopped_mid_fetch(pg_server, pg_sample_url, whole_fetch, tmp_path, no_default_cache, splitter):
    target = old_target(tmp_path)
    conn = pg_connect(pg_sample_url)
    try:
        run = BlockedFetch(pg_server, pg_sample_url.database, conn, target)
        run.start()
        pg_server.stop("fast")
        outcome = run.finish()
        assert_failed_cleanly(outcome, target, "a stopped server", "terminating connection due to administrator command")
        assert 0 <= outcome["after_fault"] < BOUND

        # With the server gone, the next fetch on the same connection fails at once and says the
        # server cannot be reached, not that a local cache is missing.
        conn.rollback()
        began = time.monotonic()
        with pytest.raises(Exception) as raised:
            DF.fetch_data(conn, *FETCH)
        assert time.monotonic() - began < BOUND
        assert "Connection refused" in cause_chain(raised.value) or "connection failed" in cause_chain(raised.value)
        # an export whose metadata cannot be read (no server, no cache) writes nothing
        with pytest.raises(RuntimeError):
            DF.export_ruzi(conn, frame_of_one_row(), target, "日均值")
        assert_untouched(target)
    finally:
        conn.close()
        pg_server.start()
    assert conn.closed
    # the server is back for the tests that follow
    again = pg_connect(pg_sample_url)
    try:
        pd.testing.assert_frame_equal(DF.fetch_data(again, *FETCH), whole_fetch)
    finally:
        again.close()


def frame_of_one_row():
    return pd.DataFrame({"STATIONID": ["11012"], "POINTID": ["1"], "ITEMID": ["2311"],
                         "OBSVALUE": [1.0]}, index=pd.DatetimeIndex([pd.Timestamp("2024-01-01")], name="STARTDATE"))


def test_leftovers_of_a_killed_run_are_removed_and_live_ones_kept(tmp_path, monkeypatch):
    monkeypatch.setattr(pg_server_module, "base_dir", lambda: tmp_path)
    gone = subprocess.Popen(["true"])
    gone.wait()
    for name, owner in [("dead", gone.pid), ("live", os.getppid()), ("mine", os.getpid())]:
        folder = tmp_path / (pg_server_module.PREFIX + name)
        (folder / "data").mkdir(parents=True)
        (folder / "owner").write_text(str(owner))
    (tmp_path / (pg_server_module.PREFIX + "unowned")).mkdir()  # being set up, or not ours
    pg_server_module.sweep_leftovers(pg_server_module.find_bindir() or tmp_path)
    assert sorted(p.name[len(pg_server_module.PREFIX):] for p in tmp_path.iterdir()) == ["live", "mine", "unowned"]


@pytest.mark.parametrize("lookup, table", [
    (lambda c: fetching.MetadataFetcher.get_station_ids(c, "泰安"), "QZ_DICT_STATIONS"),
    (lambda c: fetching.MetadataFetcher.get_item_ids(c, "水位"), "QZ_DICT_ITEMS"),
    (lambda c: fetching.MetadataFetcher.get_item_ids(c, ["水位"]), "QZ_DICT_ITEMS"),
    (lambda c: fetching.MetadataFetcher.get_method_ids(c, "水位"), "QZ_DICT_METHODS"),
    (lambda c: fetching.MetadataFetcher.get_method_ids(c, "流体"), "QZ_DICT_STATIONITEMS"),
])
def test_a_failed_lookup_without_a_cache_names_the_database_error(writable_conn, no_default_cache, lookup, table):
    writable_conn.execute(sqlalchemy.text(f"DROP TABLE ZODUZA.{table}"))
    writable_conn.commit()
    with pytest.raises(FileNotFoundError, match="metadata cache file not found") as raised:
        lookup(writable_conn)
    context = raised.value.__context__
    assert context is not None and table.lower() in str(context).lower()
    assert driver_error(context) is not None  # the driver's own error, not a stand-in
