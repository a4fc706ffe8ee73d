"""Opening a database and compacting it, on fresh and on long-used files, each open beside its
floor measured in the same run: reading the whole file and computing its CRC-32C once (the
least any open of the file must do, since an open checks every checksum).

Workloads, rows of the benchmarks' shape (rows.py):
- fresh: N rows loaded in one transaction;
- long-used: N rows, then each row replaced R times, in transactions of 1,000 rows (a job table,
  a session store): the file holds (R + 1) * N records, the live state N rows.
For each: the file's size, the open's time and its floor, compaction against sqlite3's VACUUM of
the same rows, then the compacted file's size and open time.

Run: PYTHONPATH=path/to/module python3 python/benchmarks/bench_open.py [--n 20000] [--replaced 20]
"""
import argparse
import ctypes
import ctypes.util
import gc
import os
import shutil
import sqlite3
import tempfile
import time

from rows import FIELDS, INDEXES, make_rows


def crc32c_function():
    """ISA-L's CRC-32C, the one the engine uses, or None when the library is not found."""
    name = ctypes.util.find_library("isal") or "libisal.so.2"
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        return None
    fn = lib.crc32_iscsi
    fn.restype = ctypes.c_uint32
    fn.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_uint32]
    return fn


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def read_floor(path, crc, repeat):
    def once():
        with open(path, "rb") as f:
            data = f.read()
        if crc is not None:
            crc(data, len(data), 0xFFFFFFFF)
    return best(once, repeat)


def load_quarn(quarn, path, rows, replaced):
    db = quarn.Database.open(path)
    db.register_collection("recs", FIELDS, "id", INDEXES)
    with db.transaction():
        for r in rows:
            db.insert("recs", r)
    for rep in range(replaced):
        for start in range(0, len(rows), 1000):
            with db.transaction():
                for r in rows[start:start + 1000]:
                    db.insert("recs", dict(r, ival=(r["ival"] + rep + 1) % 1000))


def load_sqlite(path, rows, replaced):
    conn = sqlite3.connect(path)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=FULL")
    conn.execute("CREATE TABLE recs (id INTEGER PRIMARY KEY, name TEXT NOT NULL, ival INTEGER "
                 "NOT NULL, fval REAL NOT NULL, blob BLOB NOT NULL)")
    conn.execute("CREATE INDEX by_name ON recs (name)")
    insert = "INSERT OR REPLACE INTO recs VALUES (:id, :name, :ival, :fval, :blob)"
    with conn:
        conn.executemany(insert, rows)
    for rep in range(replaced):
        for start in range(0, len(rows), 1000):
            with conn:
                conn.executemany(insert, [dict(r, ival=(r["ival"] + rep + 1) % 1000)
                                          for r in rows[start:start + 1000]])
    return conn


def mib(path):
    return os.path.getsize(path) / 2**20


def run(quarn, n, replaced, workdir, repeat, crc):
    rows = make_rows(n)
    d = tempfile.mkdtemp(dir=workdir)
    try:
        qpath = os.path.join(d, "db.quarn")
        load_quarn(quarn, qpath, rows, replaced)
        out = {"records": n * (replaced + 1), "file_mib": mib(qpath)}
        out["open_ms"] = best(lambda: quarn.Database.open(qpath), repeat) * 1e3
        out["floor_ms"] = read_floor(qpath, crc, repeat) * 1e3
        db = quarn.Database.open(qpath)
        t0 = time.perf_counter()
        db.compact()
        out["compact_ms"] = (time.perf_counter() - t0) * 1e3
        del db
        out["compacted_mib"] = mib(qpath)
        out["compacted_open_ms"] = best(lambda: quarn.Database.open(qpath), repeat) * 1e3
        out["compacted_floor_ms"] = read_floor(qpath, crc, repeat) * 1e3

        spath = os.path.join(d, "db.sqlite")
        conn = load_sqlite(spath, rows, replaced)
        t0 = time.perf_counter()
        conn.execute("VACUUM")
        out["vacuum_ms"] = (time.perf_counter() - t0) * 1e3
        conn.close()
        return out
    finally:
        shutil.rmtree(d, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=20000, help="live rows (default 20000)")
    ap.add_argument("--replaced", type=int, default=20,
                    help="times each row is replaced in the long-used file (default 20)")
    ap.add_argument("--repeat", type=int, default=5, help="opens timed per file; best is shown")
    ap.add_argument("--workdir", default=".", help="where the files go (default: here)")
    args = ap.parse_args()
    import quarn
    crc = crc32c_function()
    if crc is None:
        print("note: libisal not found; the floors read the file without a CRC-32C")
    print(f"quarn {quarn.__version__}, N={args.n}, best of {args.repeat} opens")
    header = ("workload", "records", "MiB", "open ms", "floor ms", "x floor", "compact ms",
              "VACUUM ms", "x VACUUM", "after MiB", "open after ms", "floor after ms")
    print(" | ".join(header))
    for name, replaced in (("fresh", 0), (f"long-used (x{args.replaced + 1})", args.replaced)):
        r = run(quarn, args.n, replaced, args.workdir, args.repeat, crc)
        print(" | ".join([
            name, str(r["records"]), f"{r['file_mib']:.1f}", f"{r['open_ms']:.1f}",
            f"{r['floor_ms']:.2f}", f"{r['open_ms'] / r['floor_ms']:.1f}x",
            f"{r['compact_ms']:.1f}", f"{r['vacuum_ms']:.1f}",
            f"{r['compact_ms'] / r['vacuum_ms']:.2f}x", f"{r['compacted_mib']:.1f}",
            f"{r['compacted_open_ms']:.1f}", f"{r['compacted_floor_ms']:.2f}"]))


if __name__ == "__main__":
    main()
