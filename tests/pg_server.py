"""A throw-away PostgreSQL server for the tests.

The server gets its own data directory in a fresh temporary folder, listens on a free loopback
port only (and on a unix socket inside that folder), and is stopped and removed at the end.
``initdb`` and ``postgres`` refuse to run as root, so when the tests run as root the folder is
handed to the unprivileged ``postgres`` account and the server programs run as that account.

Reusable outside the fixtures here::

    with PgServer.started() as server:
        url = pg_network.loaded_database(server, "network.duckdb")   # SQLAlchemy URL, sample loaded
        ...
        server.terminate_backends(url.database)       # what a crashed backend looks like
        server.stop("fast"); server.start()           # the server going away and coming back

In the tests the session fixtures ``pg_server`` (the server), ``pg_sample_url`` (the session's
sample network, read only) and ``pg_copy_url`` (a private copy per test) hand these out.

``find_bindir()`` is None when no server programs are installed; the fixtures then skip, except
under ``make ci`` (``LUMOREQ_REQUIRE_PG=1``) or a CI service (``CI=true``), where that is an error.
"""

from __future__ import annotations

import glob
import os
import pwd
import re
import secrets
import shutil
import socket
import subprocess
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

SERVER_ACCOUNT = "postgres"
APP_ROLE = "lumoreq"
_NAME = re.compile(r"[a-z_][a-z0-9_]*\Z")


def in_ci() -> bool:
    """True where the server tests must run rather than skip: ``make ci`` (LUMOREQ_REQUIRE_PG=1)
    or a CI service (CI=true)."""
    flags = (os.environ.get("LUMOREQ_REQUIRE_PG", ""), os.environ.get("CI", ""))
    return any(f.strip().lower() in ("1", "true", "yes") for f in flags)


def find_bindir() -> Path | None:
    """The folder holding ``initdb``, ``pg_ctl`` and ``postgres``: ``LUMOREQ_PG_BINDIR``, else the
    newest Debian server (``/usr/lib/postgresql/<version>/bin``), else the ``PATH``."""
    wanted = ("initdb", "pg_ctl", "postgres")
    candidates = []
    if os.environ.get("LUMOREQ_PG_BINDIR"):
        candidates.append(Path(os.environ["LUMOREQ_PG_BINDIR"]))
    versions = glob.glob("/usr/lib/postgresql/*/bin")
    versions.sort(key=lambda p: [int(x) for x in re.findall(r"\d+", p)], reverse=True)
    candidates += [Path(p) for p in versions]
    found = shutil.which("initdb")
    if found:
        candidates.append(Path(os.path.realpath(found)).parent)
    for folder in candidates:
        if all(os.access(folder / name, os.X_OK) for name in wanted):
            return folder
    return None


def missing_reason() -> str | None:
    """Why a server cannot be started here, or None when it can."""
    if find_bindir() is None:
        return "no PostgreSQL server programs (initdb, pg_ctl, postgres); install Debian's 'postgresql'"
    try:
        import psycopg  # noqa: F401
    except ImportError:
        return "the PostgreSQL driver psycopg is not installed (pip install 'psycopg[binary]')"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam(SERVER_ACCOUNT)
        except KeyError:
            return f"running as root and there is no '{SERVER_ACCOUNT}' account to run the server"
    return None


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PgServerError(RuntimeError):
    pass


class PgServer:
    """One PostgreSQL server in its own temporary folder; see the module text."""

    def __init__(self, bindir: Path | None = None):
        self.bindir = Path(bindir) if bindir else find_bindir()
        if self.bindir is None:
            raise PgServerError(missing_reason() or "no PostgreSQL server programs")
        self.root = Path(tempfile.mkdtemp(prefix="lumoreq-pg-"))
        self.data = self.root / "data"
        self.sockets = self.root / "run"
        self.log = self.root / "server.log"
        self.port = None
        self.superuser_password = secrets.token_hex(16)
        self.app_password = secrets.token_hex(16)
        self._as_account = os.geteuid() == 0
        if self._as_account:
            account = pwd.getpwnam(SERVER_ACCOUNT)
            self._uid, self._gid = account.pw_uid, account.pw_gid
        self._initialised = False

    # --- running the server programs ---------------------------------------------------------

    def _run(self, program: str, *args: str, timeout: float = 120, check: bool = True):
        command = [str(self.bindir / program), *args]
        kwargs = {}
        if self._as_account:
            # the server programs as the unprivileged account, without root's groups
            kwargs = {"user": self._uid, "group": self._gid, "extra_groups": []}
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        env.update({"LC_ALL": "C", "LANG": "C", "HOME": str(self.root)})
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env, cwd=self.root,
                              **kwargs)
        if check and done.returncode != 0:
            raise PgServerError(f"{program} failed ({done.returncode}): {done.stderr.strip() or done.stdout.strip()}"
                                f"{self._log_tail()}")
        return done

    def _log_tail(self) -> str:
        try:
            lines = self.log.read_text(errors="replace").splitlines()[-15:]
        except OSError:
            return ""
        return "\nserver log:\n" + "\n".join(lines) if lines else ""

    def _give(self, path: Path) -> None:
        if self._as_account:
            os.chown(path, self._uid, self._gid)

    def initdb(self) -> None:
        self.sockets.mkdir(mode=0o700)
        pwfile = self.root / "pwfile"
        pwfile.write_text(self.superuser_password + "\n")
        pwfile.chmod(0o600)
        for path in (self.root, self.sockets, pwfile):
            self._give(path)
        self.log.touch()
        self._give(self.log)
        # local (socket) connections are trusted: the socket lives in a folder only the server
        # account can enter; TCP connections need the password
        self._run("initdb", "-D", str(self.data), "-U", "postgres", f"--pwfile={pwfile}", "--auth-local=trust",
                  "--auth-host=scram-sha-256", "--encoding=UTF8", "--locale=C", "--no-sync", "--no-instructions")
        pwfile.unlink()
        self._initialised = True

    def start(self, timeout: float = 60) -> None:
        """Start (or start again) on loopback; returns once the server accepts connections."""
        if not self._initialised:
            self.initdb()
        last = None
        for _ in range(3):  # a free port can be taken between choosing and binding it
            port = self.port or free_port()
            options = " ".join([
                f"-p {port}", "-c listen_addresses=127.0.0.1", f"-c unix_socket_directories='{self.sockets}'",
                "-c fsync=off", "-c synchronous_commit=off", "-c full_page_writes=off",
                "-c shared_buffers=16MB", "-c max_connections=40", "-c max_wal_size=256MB",
                "-c autovacuum=off", "-c logging_collector=off",
            ])
            done = self._run("pg_ctl", "start", "-D", str(self.data), "-l", str(self.log), "-w",
                             "-t", str(int(timeout)), "-o", options, check=False, timeout=timeout + 30)
            if done.returncode == 0:
                self.port = port
                return
            last = done
            self.port = None
        raise PgServerError(f"the PostgreSQL server did not start: {last.stderr.strip()}{self._log_tail()}")

    def stop(self, mode: str = "fast", timeout: float = 60) -> None:
        """Stop the server (``fast``: sessions are ended; ``immediate``: no clean shut-down)."""
        if self.data.joinpath("postmaster.pid").exists():
            self._run("pg_ctl", "stop", "-D", str(self.data), "-m", mode, "-w", "-t", str(int(timeout)),
                      check=False, timeout=timeout + 30)

    def running(self) -> bool:
        done = self._run("pg_ctl", "status", "-D", str(self.data), check=False)
        return done.returncode == 0

    def destroy(self) -> None:
        try:
            self.stop("immediate")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)

    @classmethod
    @contextmanager
    def started(cls, bindir: Path | None = None):
        server = cls(bindir)
        try:
            server.start()
            yield server
        finally:
            server.destroy()

    # --- connections -------------------------------------------------------------------------

    def url(self, database: str = "postgres", *, superuser: bool = False):
        """SQLAlchemy URL of ``database`` through psycopg, over TCP on loopback."""
        import sqlalchemy

        user, password = ("postgres", self.superuser_password) if superuser else (APP_ROLE, self.app_password)
        return sqlalchemy.engine.URL.create("postgresql+psycopg", username=user, password=password,
                                            host="127.0.0.1", port=self.port, database=database)

    def admin(self, database: str = "postgres"):
        """A psycopg connection as the superuser, in autocommit mode; the caller closes it."""
        import psycopg

        return psycopg.connect(host="127.0.0.1", port=self.port, user="postgres", password=self.superuser_password,
                               dbname=database, autocommit=True, connect_timeout=10)

    def create_database(self, name: str, template: str | None = None):
        """A new database owned by the application role (made on first use); returns its URL.
        ``template`` copies an existing database, which must have no open connections."""
        if not _NAME.match(name) or (template is not None and not _NAME.match(template)):
            raise ValueError(f"not a plain database name: {name!r} / {template!r}")
        with self.admin() as admin:
            exists = admin.execute("SELECT 1 FROM pg_roles WHERE rolname = %s", [APP_ROLE]).fetchone()
            if not exists:
                # the password goes in as a literal: CREATE ROLE takes no parameters
                admin.execute(f"CREATE ROLE {APP_ROLE} LOGIN PASSWORD '{self.app_password}'")
            admin.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")
            # a file copy of a small template is quicker than logging every block of it
            admin.execute(f"CREATE DATABASE {name} OWNER {APP_ROLE}"
                          + (f" TEMPLATE {template} STRATEGY FILE_COPY" if template else ""))
        return self.url(name)

    def drop_database(self, name: str) -> None:
        if not _NAME.match(name):
            raise ValueError(f"not a plain database name: {name!r}")
        with self.admin() as admin:
            admin.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")

    def terminate_backends(self, database: str | None = None, pid: int | None = None) -> int:
        """End the server processes of client sessions (all of ``database``'s, or the one ``pid``),
        as a crashed backend or an administrator would; returns how many were ended."""
        query = ("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                 "WHERE pid <> pg_backend_pid() AND backend_type = 'client backend'")
        params = []
        if database is not None:
            query += " AND datname = %s"
            params.append(database)
        if pid is not None:
            query += " AND pid = %s"
            params.append(int(pid))
        with self.admin() as admin:
            return int(admin.execute(query, params).fetchone()[0])


def backend_pid(conn) -> int:
    """The server process id behind an SQLAlchemy connection."""
    import sqlalchemy

    return int(conn.execute(sqlalchemy.text("SELECT pg_backend_pid()")).scalar())


def wait_until(predicate, timeout: float = 10.0, step: float = 0.05) -> bool:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
