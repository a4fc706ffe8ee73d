"""Query and cursor costs beside sqlite3, measured in the same run on the same rows.

Rows: id int64 random primary key, name str with a non-unique index (about 20 rows per value),
ival int in [0, 1000), fval float, blob 16 bytes. Every figure is the median of a few runs (fewer
when one run is slow); the table shows quarn, sqlite3 and quarn / sqlite3 (below 1.00x quarn
is ahead). Results are checked against sqlite3 outside the timed runs.

Run: python3 python/benchmarks/bench_query.py [--sizes 10000,40000,160000] [--budget 60]
"""
import argparse
import json
import os
import sqlite3
import statistics
import sys
import tempfile
import time

import quarn
from quarn import dbapi

from rows import FIELDS, INDEXES, make_rows



class Pair:
    """One loaded quarn file (with its dbapi connection) and the same rows in sqlite3."""

    def __init__(self, workdir, n, extra=None):
        self.n = n
        self.rows = make_rows(n)
        d = tempfile.mkdtemp(dir=workdir, prefix=f"q{n}-")
        self.path = os.path.join(d, "db.quarn")
        db = quarn.Database.open(self.path)
        db.register_collection("recs", FIELDS, "id", INDEXES)
        with db.transaction():
            for r in self.rows:
                db.insert("recs", r)
        if extra:
            db.register_collection("big", FIELDS, "id", INDEXES)
            with db.transaction():
                for r in make_rows(extra, seed=2):
                    db.insert("big", r)
        del db
        self.db = quarn.Database.open(self.path)
        self.recs = self.db.collection("recs")
        self.conn = dbapi.connect(self.path)
        self.sq = sqlite3.connect(os.path.join(d, "db.sqlite"), isolation_level=None)
        self.sq.execute("PRAGMA journal_mode=WAL")
        self.sq.execute("PRAGMA synchronous=FULL")
        self.sq.execute("CREATE TABLE recs (id INTEGER PRIMARY KEY, name TEXT NOT NULL, "
                        "ival INTEGER NOT NULL, fval REAL NOT NULL, blob BLOB NOT NULL)")
        self.sq.execute("CREATE INDEX recs_name ON recs(name)")
        self.sq.execute("BEGIN")
        self.sq.executemany("INSERT INTO recs VALUES (:id, :name, :ival, :fval, :blob)",
                            self.rows)
        self.sq.execute("COMMIT")

    def sql(self, text, params=(), how="fetchall", cap=None):
        cur = self.conn.cursor()
        cur.execute(text, params)
        if how == "fetchall":
            out = cur.fetchall()
        else:
            out = []
            deadline = None if cap is None else time.perf_counter() + cap
            while (row := cur.fetchone()) is not None:
                out.append(row)
                if deadline is not None and len(out) % 64 == 0 and time.perf_counter() > deadline:
                    self.capped = len(out)
                    break
        cur.close()
        return out

    def sqlite(self, text, params=(), how="fetchall"):
        cur = self.sq.execute(text, params)
        if how == "fetchall":
            return cur.fetchall()
        out = []
        while (row := cur.fetchone()) is not None:
            out.append(row)
        return out


def timed(fn, repeat, budget):
    """Median seconds of up to `repeat` runs; stops early once `budget` seconds are spent."""
    times = []
    spent = 0.0
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        dt = time.perf_counter() - t0
        times.append(dt)
        spent += dt
        if spent > budget:
            break
    return statistics.median(times), result


def show(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="10000,40000,160000")
    ap.add_argument("--small", type=int, default=20000, help="rows for the filter figures")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--budget", type=float, default=3.0, help="seconds of repeats per figure")
    ap.add_argument("--skip-over", type=float, default=120.0,
                    help="skip a quarn figure at a larger size once it took this long")
    ap.add_argument("--cap", type=float, default=60.0,
                    help="seconds after which the fetchone loop stops (its figure is then a bound)")
    ap.add_argument("--workdir", default=None)
    ap.add_argument("--json", default=None)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    workdir = tempfile.mkdtemp(prefix="bench-query-", dir=args.workdir)
    table = []
    slow = set()

    def figure(label, q_fn, s_fn, check=None, key=None):
        if key in slow:
            table.append((label, None, None, None))
            print(f"{label}: skipped (too slow at a smaller size)", flush=True)
            return None
        q_t, q_res = timed(q_fn, args.repeat, args.budget)
        s_t, s_res = timed(s_fn, args.repeat, args.budget)
        note = ""
        if check is not None and not check(q_res, s_res):
            note = "  RESULT MISMATCH"
        if key is not None and q_t > args.skip_over:
            slow.add(key)
        table.append((label, q_t, s_t, q_t / s_t))
        print(f"{label}: quarn {show(q_t)}  sqlite3 {show(s_t)}  {q_t / s_t:.2f}x{note}",
              flush=True)
        return q_t, s_t

    same_len = lambda a, b: len(a) == len(b)
    same_ids = lambda a, b: sorted(r[0] for r in a) == sorted(r[0] for r in b)

    for n in sizes:
        p = Pair(workdir, n)
        figure(f"fetchall SELECT id, N={n}", lambda: p.sql("SELECT id FROM recs"),
               lambda: p.sqlite("SELECT id FROM recs"), same_ids, key="scan")
        by_ival = lambda a, b: ([p.rows_by_id[r[0]]["ival"] for r in a] ==
                                [p.rows_by_id[r[0]]["ival"] for r in b])
        p.rows_by_id = {r["id"]: r for r in p.rows}
        figure(f"fetchall SELECT id ORDER BY ival, N={n}",
               lambda: p.sql("SELECT id FROM recs ORDER BY ival"),
               lambda: p.sqlite("SELECT id FROM recs ORDER BY ival"), by_ival, key="order")
        if n == max(sizes):
            figure(f"SELECT id ORDER BY ival LIMIT 10, N={n}",
                   lambda: p.sql("SELECT id FROM recs ORDER BY ival LIMIT 10"),
                   lambda: p.sqlite("SELECT id FROM recs ORDER BY ival LIMIT 10"), by_ival)
        del p

    p = Pair(workdir, args.small)
    n = args.small
    by_fval = lambda a, b: [r[3] for r in a] == [r[3] for r in b]
    figure(f"SELECT * WHERE ival >= 500 ORDER BY fval (~{n // 2} rows), N={n}",
           lambda: p.sql("SELECT * FROM recs WHERE ival >= ? ORDER BY fval", [500]),
           lambda: p.sqlite("SELECT * FROM recs WHERE ival >= ? ORDER BY fval", [500]), by_fval)
    figure(f"SELECT * WHERE ival >= 500 ORDER BY fval LIMIT 10, N={n}",
           lambda: p.sql("SELECT * FROM recs WHERE ival >= ? ORDER BY fval LIMIT 10", [500]),
           lambda: p.sqlite("SELECT * FROM recs WHERE ival >= ? ORDER BY fval LIMIT 10", [500]),
           by_fval)
    values = iter(range(10**9))
    figure(f"builder full scan ival = v (non-indexed), N={n}",
           lambda: p.recs.where("ival", next(values) % 1000).all(),
           lambda: p.sqlite("SELECT * FROM recs WHERE ival = ?", (next(values) % 1000,)))
    figure(f"SQL SELECT * WHERE ival < 10 (1%), N={n}",
           lambda: p.sql("SELECT * FROM recs WHERE ival < ?", [10]),
           lambda: p.sqlite("SELECT * FROM recs WHERE ival < ?", [10]), same_ids)
    names = [r["name"] for r in p.rows[:200]]
    name_at = iter(range(10**9))

    def q_index():
        for _ in range(100):
            p.recs.where("name", names[next(name_at) % 200]).all()

    def s_index():
        for _ in range(100):
            p.sqlite("SELECT * FROM recs WHERE name = ?", (names[next(name_at) % 200],))

    got = figure(f"indexed name = v (~20 rows), per query, N={n}", q_index, s_index)
    if got:
        table[-1] = (table[-1][0], got[0] / 100, got[1] / 100, got[0] / got[1])
    p.capped = None
    q_one = figure(f"fetchone loop SELECT *, N={n}",
                   lambda: p.sql("SELECT * FROM recs", how="fetchone", cap=args.cap),
                   lambda: p.sqlite("SELECT * FROM recs", how="fetchone"))
    if p.capped is not None:
        label = table[-1][0] + f" (stopped at {p.capped} rows: a lower bound)"
        table[-1] = (label,) + table[-1][1:]
        print(label, flush=True)
    q_all = figure(f"fetchall SELECT *, N={n}", lambda: p.sql("SELECT * FROM recs"),
                   lambda: p.sqlite("SELECT * FROM recs"), same_len)
    if q_one and q_all:
        print(f"fetchone loop / fetchall (quarn): {q_one[0] / q_all[0]:.2f}x", flush=True)
        table.append(("fetchone loop / fetchall, quarn alone", q_one[0], q_all[0],
                      q_one[0] / q_all[0]))
    t_all, got_rows = timed(lambda: p.recs.all(), args.repeat, args.budget)
    rate = len(got_rows) * 5 / t_all
    print(f"Collection.all() of {n} rows x 5 fields: {show(t_all)}, {rate / 1e6:.2f} M values/s",
          flush=True)
    table.append((f"Collection.all() {n} rows, M values/s", t_all, None, rate / 1e6))
    del p

    small = 1000
    alone = Pair(workdir, small)
    beside = Pair(workdir, small, extra=max(sizes))
    t_alone, _ = timed(lambda: alone.recs.where("ival", 7).all(), args.repeat * 10, args.budget)
    t_beside, _ = timed(lambda: beside.recs.where("ival", 7).all(), args.repeat * 10, args.budget)
    print(f"scan of {small} rows beside {max(sizes)} rows / alone: {t_beside / t_alone:.2f}x",
          flush=True)
    table.append((f"scan {small} rows beside {max(sizes)} / alone", t_beside, t_alone,
                  t_beside / t_alone))

    print("\n| figure | quarn | sqlite3 | ratio |\n|---|---|---|---|")
    for label, q, s, r in table:
        cells = [show(q) if q is not None else "skipped", show(s) if s is not None else "-",
                 f"{r:.2f}x" if r is not None else "-"]
        if label.startswith("Collection.all"):
            cells = [show(q), "-", f"{r:.2f} M/s"]
        print(f"| {label} | " + " | ".join(cells) + " |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(table, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
