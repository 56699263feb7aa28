"""Settings files, thick mode and the connection URL (driver and engine replaced)."""

import logging

import pytest
import sqlalchemy

from lumoreq import fetching

SECTION = """[{db}]
HOST = {host}
PORT = 1521
USERNAME = {user}
PASSWORD = {password}
TNSNAME = ORCL
{extra}
"""


class FakeDriver:
    def __init__(self, fail=False):
        self.calls = []
        self.fail = fail

    def init_oracle_client(self, **kwargs):
        self.calls.append(kwargs)
        if self.fail:
            raise RuntimeError("DPI-1047: Cannot locate a 64-bit Oracle Client library")


class FakeEngine:
    def __init__(self, url):
        self.url = url

    def connect(self):
        return ("connection", self.url)


@pytest.fixture
def env(tmp_path, monkeypatch):
    """A working directory and a home of our own, a fake driver and a recording engine."""
    home = tmp_path / "home"
    (home / ".lumor").mkdir(parents=True)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.chdir(work)
    driver = FakeDriver()
    monkeypatch.setattr(fetching, "oracledb", driver)
    monkeypatch.setattr(fetching, "_ORACLE_THICK_MODE_READY", False)
    engines = []

    def create_engine(url, **kwargs):
        engines.append((url, kwargs))
        return FakeEngine(url)

    monkeypatch.setattr(sqlalchemy, "create_engine", create_engine)
    return dict(home=home, work=work, driver=driver, engines=engines)


def write(path, db="db1", host="h1", user="u", password="p", extra=""):
    path.write_text(SECTION.format(db=db, host=host, user=user, password=password, extra=extra),
                    encoding="utf-8")


def errors(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "fetching" and r.levelno == logging.ERROR]


@pytest.mark.parametrize("where", ["work", "home", "both"])
def test_settings_files_in_order(env, where, caplog):
    if where in ("work", "both"):
        write(env["work"] / "default.conf", host="work-host")
    if where in ("home", "both"):
        write(env["home"] / ".lumor" / "default.conf", host="home-host")
    conn = fetching.conn_to_Oracle("db1")
    url = conn[1]
    assert url.host == ("work-host" if where == "work" else "home-host")
    assert env["engines"][0][1] == {"echo": False}
    assert errors(caplog) == []


def test_url_keeps_special_characters(env):
    write(env["work"] / "default.conf", user="a@b:c", password="p@ss:w/o%%rd#?x")
    conn = fetching.DatabaseConnector.connect_to_oracle("db1")
    url = conn[1]
    assert url.drivername == "oracle+oracledb"
    assert (url.username, url.password, url.port, url.database) == ("a@b:c", "p@ss:w/o%rd#?x", 1521, "ORCL")
    # the rendered URL parses back to the same parts, so the driver gets them intact
    back = sqlalchemy.engine.make_url(url.render_as_string(hide_password=False))
    assert (back.username, back.password) == ("a@b:c", "p@ss:w/o%rd#?x")


@pytest.mark.parametrize("content, message", [
    (None, "数据库配置文件缺失或不完整，请检查default.conf"),
    ("", "数据库配置文件缺失或不完整，请检查default.conf"),
    ("[other]\nHOST=x\n", "数据库配置文件缺失或不完整，请检查default.conf"),
])
def test_missing_settings(env, caplog, content, message):
    if content is not None:
        (env["work"] / "default.conf").write_text(content)
    assert fetching.conn_to_Oracle("db1") is None
    assert errors(caplog) == [message]
    assert env["engines"] == []


def test_missing_key_is_logged_with_the_parser_message(env, caplog):
    (env["work"] / "default.conf").write_text("[db1]\nHOST=h\nPORT=1\nUSERNAME=u\nPASSWORD=p\n")
    assert fetching.conn_to_Oracle("db1") is None
    (msg,) = errors(caplog)
    assert msg.startswith("数据库连接错误: ") and "TNSNAME".lower() in msg.lower()
    assert env["engines"] == [] and env["driver"].calls == []


@pytest.mark.parametrize("content", [
    b"HOST = h\n",                                  # not INI: no section header
    b"[db1]\nHOST = 50%\nPORT=1\nUSERNAME=u\nPASSWORD=p\nTNSNAME=t\n",  # bad interpolation
    b"[db1]\nHOST = \xff\xfe\x00bad\n",             # not decodable
])
def test_unparseable_settings_are_a_logged_failure(env, caplog, content):
    (env["work"] / "default.conf").write_bytes(content)
    assert fetching.conn_to_Oracle("db1") is None
    (msg,) = errors(caplog)
    assert msg.startswith("数据库连接错误: ")


def test_thick_mode_once_per_process_with_stripped_directories(env, caplog):
    write(env["work"] / "default.conf", extra="ORACLE_CLIENT_LIB_DIR =    \nORACLE_CONFIG_DIR =  /etc/ora  ")
    caplog.set_level(logging.DEBUG, logger="fetching")
    assert fetching.conn_to_Oracle("db1") is not None
    assert fetching.conn_to_Oracle("db1") is not None
    assert env["driver"].calls == [{"config_dir": "/etc/ora"}]
    assert fetching._ORACLE_THICK_MODE_READY is True
    messages = [r.getMessage() for r in caplog.records if r.name == "fetching"]
    assert messages.count("python-oracledb Thick mode initialized.") == 1
    assert messages.count("h1 已连接...") == 2


def test_thick_mode_failure_keeps_flag_and_returns_none(env, caplog):
    write(env["work"] / "default.conf")
    env["driver"].fail = True
    assert fetching.conn_to_Oracle("db1") is None
    assert fetching._ORACLE_THICK_MODE_READY is False
    assert errors(caplog) == ["数据库连接错误: DPI-1047: Cannot locate a 64-bit Oracle Client library"]
    assert env["engines"] == []


def test_missing_driver(env, caplog, monkeypatch):
    write(env["work"] / "default.conf")
    monkeypatch.setattr(fetching, "oracledb", None)
    with pytest.raises(ImportError, match="oracledb is not installed"):
        fetching.DatabaseConnector._init_oracle_thick_mode(None, "db1")
    assert fetching.conn_to_Oracle("db1") is None
    assert errors(caplog) == ["数据库连接错误: oracledb is not installed"]


def test_connect_failure_is_logged(env, caplog, monkeypatch):
    write(env["work"] / "default.conf")

    def refuse(url, **kwargs):
        raise sqlalchemy.exc.OperationalError("connect", {}, Exception("listener refused"))

    monkeypatch.setattr(sqlalchemy, "create_engine", refuse)
    assert fetching.conn_to_Oracle("db1") is None
    (msg,) = errors(caplog)
    assert msg.startswith("数据库连接错误: ") and "listener refused" in msg


def test_documentation_strings():
    assert fetching.DatabaseConnector.__doc__ == "数据库连接管理类"
    assert fetching.DatabaseConnector.connect_to_oracle.__doc__ == "连接到Oracle数据库"
    assert fetching.conn_to_Oracle.__doc__ == "连接到Oracle数据库"
    assert fetching.DatabaseConnector._init_oracle_thick_mode.__doc__ == (
        "Initialize python-oracledb in Thick mode for legacy Oracle compatibility.")
