"""Trace storage in SQLite."""

import sqlite3


def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
    with sqlite3.connect(db_path, timeout=timeout) as connection:
        connection.execute(
            "CREATE TABLE IF NOT EXISTS traces (id INTEGER PRIMARY KEY, trace_id TEXT, msgpack BLOB)"
        )
        connection.execute(
            "INSERT INTO traces (trace_id, msgpack) VALUES (?, ?)", (trace_id, msgpack)
        )
