"""Rough timings of the main paths: durable single writes, a batched transaction, point reads,
index queries, an SQL ORDER BY through the external sort, reopen (log replay) and compaction.

Run: python3 python/benchmarks/bench.py [rows]
"""
import json
import os
import sys
import tempfile
import time

import quarn

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
FIELDS = json.dumps([
    {"path": ["id"], "type": "int64"},
    {"path": ["email"], "type": "string"},
    {"path": ["age"], "type": "int64"},
])
INDEXES = json.dumps([
    {"name": "by_email", "path": ["email"], "kind": "unique"},
    {"name": "by_age", "path": ["age"], "kind": "index"},
])


def timed(label, fn, count=1):
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    per = f", {elapsed / count * 1e6:.1f} us each" if count > 1 else ""
    print(f"{label}: {elapsed:.3f} s{per}")
    return result


def row(i):
    return {"id": i, "email": f"user{i}@example.com", "age": i % 90}


with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "bench.qdb")
    db = quarn.Database.open(path)
    db.register_collection("users", FIELDS, "id", INDEXES)

    def single_writes():
        for i in range(100):
            db.insert("users", row(ROWS + i))

    timed("100 auto-committed inserts (2 fsyncs each)", single_writes, 100)

    def batch():
        with db.transaction():
            for i in range(ROWS):
                db.insert("users", row(i))

    timed(f"{ROWS} inserts in one transaction", batch, ROWS)
    timed(f"{ROWS} gets", lambda: [db.get("users", i) for i in range(ROWS)], ROWS)
    users = db.collection("users")
    timed("1000 unique-index queries",
          lambda: [users.where("email", f"user{i}@example.com").all() for i in range(1000)], 1000)
    timed("non-unique query returning ~1/90 of the rows", lambda: users.where("age", 7).all())
    timed("full scan", lambda: users.all())
    del users, db

    def order_by():
        cur = quarn.dbapi.connect(path).cursor()
        cur.execute("SELECT id FROM users ORDER BY email DESC")
        return cur.fetchall()

    rows = timed(f"SQL ORDER BY over {ROWS + 100} rows (fetchall)", order_by)
    assert len(rows) == ROWS + 100
    print(f"file size: {os.path.getsize(path)} bytes")
    db = timed("reopen (full log replay)", lambda: quarn.Database.open(path))
    timed("compact in place", db.compact)
    print(f"file size after compaction: {os.path.getsize(path)} bytes")
