"""A short tour of quarn: a file database with an indexed collection, a transaction, a reopen,
a builder query and an SQL query, and an in-memory database turned into bytes and back."""
import json
import os
import tempfile

import quarn

print("quarn", quarn.__version__)

FIELDS = json.dumps([
    {"path": ["id"], "type": "int64"},
    {"path": ["email"], "type": "string", "constraints": [{"email": True}]},
    {"path": ["age"], "type": {"optional": "int64"}, "constraints": [{"min_i64": 0}]},
])
INDEXES = json.dumps([{"name": "by_email", "path": ["email"], "kind": "unique"}])

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "demo.qdb")
    db = quarn.Database.open(path)
    print("opened", db.path())
    ids = db.register_collection("users", FIELDS, "id", INDEXES)
    print("registered users as (collection id, schema version)", ids)

    with db.transaction():
        db.insert("users", {"id": 1, "email": "ann@example.com", "age": 31})
        db.insert("users", {"id": 2, "email": "bob@example.com"})
    print("committed two rows in one transaction")
    print("get 1 ->", db.get("users", 1))

    try:
        db.insert("users", {"id": 3, "email": "ann@example.com"})
    except ValueError as e:
        print("refused duplicate email:", e)

    del db
    db = quarn.Database.open(path)
    print("reopened; get 2 ->", db.get("users", 2))

    users = db.collection("users")
    query = users.where("email", "bob@example.com")
    print("query plan:\n" + query.explain(), end="")
    print("query ->", query.all(fields=["id", "email"]))
    del users, query, db

    conn = quarn.dbapi.connect(path)
    cur = conn.cursor()
    cur.execute("SELECT id, email FROM users WHERE id >= ? ORDER BY email DESC", (1,))
    print("SQL columns:", [d[0] for d in cur.description])
    print("SQL rows, ORDER BY email DESC:", cur.fetchall())
    del cur, conn

mem = quarn.Database.open_in_memory()
mem.register_collection("users", FIELDS, "id", INDEXES)
mem.insert("users", {"id": 7, "email": "cy@example.com", "age": 5})
image = mem.snapshot_bytes()
copy = quarn.Database.open_snapshot_bytes(image)
print(f"snapshot of {len(image)} bytes reopened; get 7 ->", copy.get("users", 7))
