"""How the engine's state costs grow with the database, each figure beside sqlite3 (WAL,
synchronous=FULL) measured in the same run: begin+rollback at several sizes, a transaction of one
insert against one auto-committed insert, reopen, compaction against VACUUM, RSS per open row,
bulk insert in one transaction, a durable one-row commit against a two-fsync floor, get by key.

Every system and size runs in its own subprocess, so memory figures are its own. Rows have the
shape of the shared peers benchmark: id int64 primary key, name str (non-unique index, about 20
rows per value), ival int, fval float, blob 16 bytes.

Run: PYTHONPATH=path/to/module python3 python/benchmarks/bench_state.py [--sizes 10000,40000,160000]
"""
import argparse
import gc
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from rows import FIELDS, INDEXES, make_rows

INSERT = "INSERT OR REPLACE INTO recs VALUES (:id, :name, :ival, :fval, :blob)"


def extra_row(i):
    return {"id": (1 << 62) + i, "name": "extra", "ival": 1, "fval": 0.5, "blob": b"x" * 16}


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_quarn(n, d, durable_n):
    import quarn
    out = {}
    path = os.path.join(d, "db.quarn")
    data = make_rows(n)
    db = quarn.Database.open(path)
    db.register_collection("recs", FIELDS, "id", INDEXES)

    def load():
        with db.transaction():
            for r in data:
                db.insert("recs", r)
    t0 = time.perf_counter()
    load()
    out["bulk_insert_s"] = time.perf_counter() - t0
    del db
    gc.collect()
    # A fresh process, so the figure holds only what the open database keeps.
    probe = subprocess.run([sys.executable, __file__, "--rss-probe", path], capture_output=True,
                           text=True, check=True)
    out["rss_per_row_b"] = float(probe.stdout.strip()) / n
    t0 = time.perf_counter()
    db = quarn.Database.open(path)
    out["reopen_s"] = time.perf_counter() - t0

    def begin_rollback():
        try:
            with db.transaction():
                raise KeyError
        except KeyError:
            pass
    out["begin_rollback_us"] = best(begin_rollback, 20) * 1e6
    counter = iter(range(10**9))

    def one_txn():
        with db.transaction():
            db.insert("recs", extra_row(next(counter)))
    out["txn_one_insert_ms"] = best(one_txn, 7) * 1e3
    out["autocommit_insert_ms"] = best(lambda: db.insert("recs", extra_row(next(counter))), 7) * 1e3
    keys = [r["id"] for r in random.Random(3).sample(data, min(n, 2000))]

    def gets():
        for k in keys:
            db.get("recs", k)
    out["get_us"] = best(gets, 5) / len(keys) * 1e6
    t0 = time.perf_counter()
    db.compact()
    out["compact_s"] = time.perf_counter() - t0
    del db
    gc.collect()

    dpath = os.path.join(d, "durable.quarn")
    ddb = quarn.Database.open(dpath)
    ddb.register_collection("recs", FIELDS, "id", INDEXES)
    t0 = time.perf_counter()
    for i in range(durable_n):
        ddb.insert("recs", extra_row(i))
    out["durable_commit_us"] = (time.perf_counter() - t0) / durable_n * 1e6
    out["maxrss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return out


def run_sqlite(n, d, durable_n):
    import sqlite3
    out = {}
    path = os.path.join(d, "db.sqlite")
    data = make_rows(n)

    def connect(p):
        c = sqlite3.connect(p, isolation_level=None)
        c.execute("PRAGMA journal_mode=WAL")
        c.execute("PRAGMA synchronous=FULL")
        return c
    c = connect(path)
    c.execute("CREATE TABLE recs (id INTEGER PRIMARY KEY, name TEXT, ival INTEGER, fval REAL, "
              "blob BLOB)")
    c.execute("CREATE INDEX by_name ON recs(name)")
    t0 = time.perf_counter()
    c.execute("BEGIN")
    c.executemany(INSERT, data)
    c.execute("COMMIT")
    out["bulk_insert_s"] = time.perf_counter() - t0
    c.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    c.close()
    t0 = time.perf_counter()
    c = connect(path)
    c.execute("SELECT * FROM recs WHERE id = ?", (data[0]["id"],)).fetchone()
    out["reopen_s"] = time.perf_counter() - t0
    out["begin_rollback_us"] = best(lambda: (c.execute("BEGIN"), c.execute("ROLLBACK")), 20) * 1e6
    counter = iter(range(10**9))

    def one_txn():
        c.execute("BEGIN")
        c.execute(INSERT, extra_row(next(counter)))
        c.execute("COMMIT")
    out["txn_one_insert_ms"] = best(one_txn, 7) * 1e3
    out["autocommit_insert_ms"] = best(lambda: c.execute(INSERT, extra_row(next(counter))), 7) * 1e3
    keys = [r["id"] for r in random.Random(3).sample(data, min(n, 2000))]

    def gets():
        for k in keys:
            c.execute("SELECT * FROM recs WHERE id = ?", (k,)).fetchone()
    out["get_us"] = best(gets, 5) / len(keys) * 1e6
    t0 = time.perf_counter()
    c.execute("VACUUM")
    out["compact_s"] = time.perf_counter() - t0
    c.close()
    out["maxrss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return out


def two_fsync_floor_us(d, samples=100):
    """Append a frame, overwrite a 4 KiB slot, fsync twice: the floor of a two-sync commit."""
    path = os.path.join(d, "floor")
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        os.pwrite(fd, b"\0" * 8192, 0)
        os.fsync(fd)
        end = 8192
        t0 = time.perf_counter()
        for _ in range(samples):
            os.pwrite(fd, b"f" * 200, end)
            end += 200
            os.pwrite(fd, b"s" * 4096, 4096)
            os.fsync(fd)
            os.fsync(fd)
        return (time.perf_counter() - t0) / samples * 1e6
    finally:
        os.close(fd)


def rss_probe(path):
    import quarn
    gc.collect()
    base = rss_bytes()
    db = quarn.Database.open(path)
    print(rss_bytes() - base)
    del db


def child(system, n, d, durable_n):
    fn = run_quarn if system == "quarn" else run_sqlite
    print(json.dumps(fn(n, d, durable_n)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="10000,40000,160000")
    ap.add_argument("--durable-n", type=int, default=100)
    ap.add_argument("--workdir", default=".")
    ap.add_argument("--child", nargs=2)
    ap.add_argument("--rss-probe")
    a = ap.parse_args()
    if a.rss_probe:
        rss_probe(a.rss_probe)
        return
    if a.child:
        child(a.child[0], int(a.child[1]), a.workdir, a.durable_n)
        return
    sizes = [int(s) for s in a.sizes.split(",")]
    results = {}
    for n in sorted(set(sizes + [20000])):
        for system in ("quarn", "sqlite"):
            d = tempfile.mkdtemp(dir=a.workdir, prefix="bench-state-")
            try:
                p = subprocess.run([sys.executable, __file__, "--child", system, str(n),
                                    "--workdir", d, "--durable-n", str(a.durable_n)],
                                   capture_output=True, text=True)
                if p.returncode != 0:
                    sys.exit("%s at %d failed:\n%s" % (system, n, p.stderr[-2000:]))
                results[(system, n)] = json.loads(p.stdout.strip().splitlines()[-1])
            finally:
                shutil.rmtree(d, ignore_errors=True)
    d = tempfile.mkdtemp(dir=a.workdir, prefix="bench-state-")
    try:
        floor = two_fsync_floor_us(d)
    finally:
        shutil.rmtree(d, ignore_errors=True)

    def q(n, k):
        return results[("quarn", n)][k]

    def s(n, k):
        return results[("sqlite", n)][k]
    big = max(sizes)
    lines = []
    for n in sizes:
        lines.append(("begin + rollback, N=%d" % n, "us", q(n, "begin_rollback_us"),
                      s(n, "begin_rollback_us"), "sqlite"))
    lines.append(("transaction of one insert, N=%d" % big, "ms", q(big, "txn_one_insert_ms"),
                  q(big, "autocommit_insert_ms"), "quarn auto-commit insert"))
    lines.append(("auto-committed insert, N=%d" % big, "ms", q(big, "autocommit_insert_ms"),
                  s(big, "autocommit_insert_ms"), "sqlite"))
    for n in sorted({20000, big}):
        lines.append(("reopen (full replay), N=%d" % n, "ms", q(n, "reopen_s") * 1e3,
                      s(n, "reopen_s") * 1e3, "sqlite"))
    lines.append(("compaction, N=%d" % big, "s", q(big, "compact_s"), s(big, "compact_s"),
                  "sqlite VACUUM"))
    lines.append(("RSS per open row, N=20000", "B", q(20000, "rss_per_row_b"), 250.0,
                  "target 250 B"))
    lines.append(("bulk insert, one transaction, N=20000", "ms", q(20000, "bulk_insert_s") * 1e3,
                  s(20000, "bulk_insert_s") * 1e3, "sqlite executemany"))
    lines.append(("durable one-row commit", "us", q(20000, "durable_commit_us"), floor,
                  "two-fsync floor"))
    lines.append(("get by primary key, N=20000", "us", q(20000, "get_us"), s(20000, "get_us"),
                  "sqlite"))
    lines.append(("peak RSS, N=%d" % big, "MiB", q(big, "maxrss_mib"), s(big, "maxrss_mib"),
                  "sqlite"))
    print("| figure | unit | quarn | reference | ratio | reference is |")
    print("|---|---|---|---|---|---|")
    for label, unit, mine, ref, what in lines:
        ratio = mine / ref if ref else float("inf")
        print("| %s | %s | %.4g | %.4g | %.2fx | %s |" % (label, unit, mine, ref, ratio, what))


if __name__ == "__main__":
    main()
