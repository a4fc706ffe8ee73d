"""A child process commits in a loop and is killed at random moments: after each reopen every
acknowledged commit is there, nothing unattempted is, an unacknowledged transaction is there
whole or not at all, and no temporary file is left beside the database.

Run longer with `--kill-runs=N`."""
import os
import random
import signal
import subprocess
import sys
import time

import quarn

from conftest import fields

T = fields(("id", "int64"), ("v", "int64"))
BASE_SEED = 20261210

# Each line is written after flushing the one before: "try ..." before a call, "ok ..." only
# once it returned. Row ids are run * 1_000_000 + a counter, so runs never collide.
CHILD = r"""
import json, random, sys
import quarn
path, run, seed, fields_json = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(seed)
db = quarn.Database.open(path)
say = lambda line: (sys.stdout.write(line + "\n"), sys.stdout.flush())
next_id = run * 1_000_000
while True:
    roll = rng.random()
    if roll < 0.5:
        say(f"try row {next_id}")
        db.insert("t", {"id": next_id, "v": next_id})
        say(f"ok row {next_id}")
        next_id += 1
    elif roll < 0.85:
        n = rng.randint(2, 6)
        say(f"try txn {next_id} {n}")
        with db.transaction():
            for i in range(next_id, next_id + n):
                db.insert("t", {"id": i, "v": i})
        say(f"ok txn {next_id} {n}")
        next_id += n
    elif roll < 0.97:
        say("try schema")
        version = db.register_schema_version("t", fields_json)
        say(f"ok schema {version}")
    else:
        say("try compact")
        db.compact()
        say("ok compact")
"""


def current_version(db):
    # An unchanged definition is a safe new version: the number it gets tells the current one.
    return db.register_schema_version("t", T) - 1


def read_report(path):
    with open(path) as f:
        text = f.read()
    # A line cut by the kill is not a report.
    return [line.split() for line in text.split("\n")[:-1]]


def summarise(report, version_before):
    """(acknowledged ids, attempted ids, the unacknowledged transaction's ids or None, the last
    acknowledged schema version, whether a later schema version was attempted)."""
    acked, attempted, pending_txn = set(), set(), None
    acked_version, tried_schema = version_before, False
    for kind, what, *args in report:
        if what == "row":
            (attempted if kind == "try" else acked).add(int(args[0]))
        elif what == "txn":
            ids = set(range(int(args[0]), int(args[0]) + int(args[1])))
            if kind == "try":
                attempted |= ids
                pending_txn = ids
            else:
                acked |= ids
                pending_txn = None
        elif what == "schema":
            tried_schema = kind == "try"
            if kind == "ok":
                acked_version = int(args[0])
    return acked, attempted, pending_txn, acked_version, tried_schema


def test_killed_writer_loses_no_acknowledged_commit(tmp_path, kill_runs):
    home = tmp_path / "db"
    home.mkdir()
    path = str(home / "kill.qdb")
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    quarn.Database.open(path).register_collection("t", T, "id")
    version = 1
    expected = {}
    for run in range(1, kill_runs + 1):
        seed = BASE_SEED + run
        where = f"run {run}, seed {seed}"
        rng = random.Random(seed)
        out = tmp_path / f"report-{run}.txt"
        with open(out, "w") as stdout:
            child = subprocess.Popen(
                [sys.executable, str(script), path, str(run), str(seed), T], stdout=stdout
            )
            time.sleep(rng.uniform(0.05, 0.6))
            child.send_signal(signal.SIGKILL)
            assert child.wait() == -signal.SIGKILL, f"{where}: the child ended on its own"
        report = read_report(out)

        acked, attempted, pending_txn, acked_version, tried_schema = summarise(report, version)
        db = quarn.Database.open(path)
        present = {
            row["id"]: row["v"]
            for row in db.collection("t").all()
            if row["id"] // 1_000_000 == run
        }
        assert acked <= present.keys(), f"{where}: lost {sorted(acked - present.keys())}"
        unattempted = sorted(present.keys() - attempted)
        assert not unattempted, f"{where}: never written {unattempted}"
        if pending_txn is not None:
            whole = pending_txn <= present.keys() or not (pending_txn & present.keys())
            assert whole, f"{where}: part of transaction {sorted(pending_txn)}"
        assert all(v == pk for pk, v in present.items()), where
        # Earlier runs' rows stay as the earlier reopen found them.
        earlier = db.collection("t").all()
        assert {r["id"]: r["v"] for r in earlier if r["id"] // 1_000_000 != run} == expected, where
        expected.update(present)

        now = current_version(db)
        assert acked_version <= now <= acked_version + (1 if tried_schema else 0), (
            f"{where}: schema version {now}, acknowledged {acked_version}"
        )
        version = now + 1
        del db
        assert os.listdir(home) == ["kill.qdb"], f"{where}: left {sorted(os.listdir(home))}"
