"""The sample network copied into PostgreSQL, so the statements meant for Oracle run there too.

Every table of the DuckDB file's schema ``ZODUZA`` is created with the same (unquoted, so
case-insensitive) name, the same columns and matching types, and filled with the same rows.
``ALL_TABLES`` becomes a view with Oracle's ``OWNER`` and ``TABLE_NAME`` columns (upper-case
names, as Oracle's dictionary shows them). PostgreSQL's own ``to_date(text, 'yyyymmdd')``
already gives a date that ``+ 1`` moves to the next day, so nothing stands in for ``TO_DATE``.
"""

from __future__ import annotations

import re
from pathlib import Path

SCHEMA = "ZODUZA"
_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")

# DuckDB column type -> PostgreSQL column type
TYPES = {
    "BOOLEAN": "boolean",
    "TINYINT": "smallint",
    "SMALLINT": "smallint",
    "INTEGER": "integer",
    "BIGINT": "bigint",
    "FLOAT": "real",
    "DOUBLE": "double precision",
    "VARCHAR": "text",
    "BLOB": "bytea",
    "DATE": "date",
    "TIMESTAMP": "timestamp",
    "TIMESTAMP WITH TIME ZONE": "timestamptz",
}


def _ident(name: str) -> str:
    if not _IDENT.match(name):
        raise ValueError(f"not a plain identifier: {name!r}")
    return name


def network_tables(duckdb_path) -> dict[str, list[tuple[str, str]]]:
    """Table name -> [(column, DuckDB type)] of the sample network's schema, in column order."""
    import duckdb

    con = duckdb.connect(str(Path(duckdb_path)), read_only=True)
    try:
        rows = con.execute(
            "SELECT table_name, column_name, data_type FROM duckdb_columns() "
            "WHERE schema_name = ? AND database_name = current_database() ORDER BY table_name, column_index",
            [SCHEMA],
        ).fetchall()
    finally:
        con.close()
    tables: dict[str, list[tuple[str, str]]] = {}
    for table, column, kind in rows:
        tables.setdefault(table, []).append((column, kind))
    return tables


def load_network(duckdb_path, pg_url) -> dict[str, int]:
    """Copy the sample network at ``duckdb_path`` into the empty PostgreSQL database ``pg_url``
    (an SQLAlchemy URL); returns the rows copied per table."""
    import duckdb
    import psycopg

    tables = network_tables(duckdb_path)
    if not tables:
        raise ValueError(f"{duckdb_path}: no tables in schema {SCHEMA}")
    source = duckdb.connect(str(Path(duckdb_path)), read_only=True)
    counts = {}
    try:
        with psycopg.connect(host=pg_url.host, port=pg_url.port, user=pg_url.username, password=pg_url.password,
                             dbname=pg_url.database, connect_timeout=10) as target:
            target.execute(f"CREATE SCHEMA {SCHEMA}")
            for table, columns in tables.items():
                names = [_ident(c) for c, _ in columns]
                try:
                    types = [TYPES[kind] for _, kind in columns]
                except KeyError as e:
                    raise ValueError(f"{table}: no PostgreSQL type for DuckDB type {e.args[0]}") from None
                target.execute(f"CREATE TABLE {SCHEMA}.{_ident(table)} ("
                               + ", ".join(f"{n} {t}" for n, t in zip(names, types)) + ")")
                cursor = source.execute(f'SELECT {", ".join(names)} FROM {SCHEMA}."{table}"')
                n = 0
                with target.cursor().copy(f"COPY {SCHEMA}.{table} ({', '.join(names)}) FROM STDIN") as copy:
                    copy.set_types(types)
                    while batch := cursor.fetchmany(2000):
                        for row in batch:
                            copy.write_row(row)
                        n += len(batch)
                counts[table] = n
            target.execute(
                "CREATE VIEW ALL_TABLES AS SELECT upper(tablename::text) AS TABLE_NAME, "
                f"upper(schemaname::text) AS OWNER FROM pg_catalog.pg_tables WHERE schemaname = '{SCHEMA.lower()}'"
            )
            target.execute("ANALYZE")
    finally:
        source.close()
    return counts


def loaded_database(server, duckdb_path, name: str = "lumoreq_network"):
    """A database ``name`` on ``server`` (a pg_server.PgServer) holding the sample network at
    ``duckdb_path``; returns its SQLAlchemy URL. An existing database of that name is replaced."""
    url = server.create_database(name)
    load_network(duckdb_path, url)
    return url
