"""Stock kept in an SQLite database in a temporary directory."""

import os
import shutil
import sqlite3
import tempfile


def create(items):
    path = os.path.join(tempfile.mkdtemp(prefix="demo_app-"), "stock.sqlite3")
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE stock (item TEXT PRIMARY KEY, quantity INTEGER NOT NULL)")
        connection.executemany("INSERT INTO stock VALUES (?, ?)", [(item, 2) for item in items])
    return path


def stock(path):
    with sqlite3.connect(path) as connection:
        rows = connection.execute("SELECT item, quantity FROM stock ORDER BY item").fetchall()
    return dict(rows)


def restock(path, missing):
    with sqlite3.connect(path) as connection:
        for item, quantity in missing.items():
            connection.execute("UPDATE stock SET quantity = quantity + ? WHERE item = ?", (quantity + 5, item))


def remove(path):
    shutil.rmtree(os.path.dirname(path), ignore_errors=True)
