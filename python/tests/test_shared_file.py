"""Several handles on one database file, in one process and in several: one writes at a time,
a handle whose file another handle changed refuses its writes until it is opened again, and
opening, querying or compacting beside a writer loses nothing. After every scenario the file
opens and holds every acknowledged commit, and no refused one.

Run the process scenarios longer with `--shared-seconds=S`."""
import json
import subprocess
import sys

import pytest

import quarn

from conftest import fields

T = fields(("id", "int64"), ("v", "int64"))
CHANGED = (
    "the database file was changed by another handle; open the database again to write to it"
)
BUSY = (
    "the database file is being written by another handle; wait for it, then open the "
    "database again to write to it"
)

# Every child runs for a while, reports one line per outcome (flushed), and exits 0; any other
# error ends it with a traceback. Writers number their rows role * 10_000_000 + a counter and
# open the database again whenever a write is refused.
CHILD = r"""
import sys, time
import quarn
path, role, seconds, batch = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
refusals = {sys.argv[5], sys.argv[6]}
say = lambda line: (sys.stdout.write(line + "\n"), sys.stdout.flush())
# The second writer goes on alone for a moment after the first stops: a writer refused because
# the other appended reopens, and a writer that commits without pause can keep it refused.
deadline = time.monotonic() + seconds + (max(1.0, seconds / 4) if role == "writer2" else 0)

def refused(error):
    text = str(error)
    if type(error) is ValueError and text.startswith("i/o error: "):
        text = text[len("i/o error: "):]  # compaction raises every engine error so
    return text in refusals

if role.startswith("writer"):
    db = quarn.Database.open(path)
    next_id = int(role[len("writer"):]) * 10_000_000
    while time.monotonic() < deadline:
        ids = list(range(next_id, next_id + batch))
        next_id += batch
        try:
            if batch == 1:
                db.insert("t", {"id": ids[0], "v": ids[0]})
            else:
                with db.transaction():
                    for i in ids:
                        db.insert("t", {"id": i, "v": i})
        except OSError as e:
            if type(e) is not OSError or not refused(e):
                raise
            say("refused " + " ".join(map(str, ids)))
            db = quarn.Database.open(path)
            continue
        say("ok " + " ".join(map(str, ids)))
elif role == "opener":
    while time.monotonic() < deadline:
        quarn.Database.open(path)
        say("opened")
elif role == "compactor":
    db = quarn.Database.open(path)
    while time.monotonic() < deadline:
        try:
            db.compact()
        except ValueError as e:
            if not refused(e):
                raise
            say("refused")
            db = quarn.Database.open(path)
            continue
        say("compacted")
elif role == "querier":
    while time.monotonic() < deadline:
        conn = quarn.dbapi.connect(path)
        cur = conn.cursor()
        cur.execute("SELECT id, v FROM t WHERE v >= ? ORDER BY id DESC", (0,))
        rows = cur.fetchall()
        assert all(a[0] > b[0] for a, b in zip(rows, rows[1:])), rows[:3]
        assert all(i == v for i, v in rows)
        conn.close()
        say(f"queried {len(rows)}")
"""


@pytest.fixture
def shared_seconds(request):
    return request.config.getoption("--shared-seconds")


def new_db(path):
    db = quarn.Database.open(path)
    db.register_collection("t", T, "id", "[]")
    return db


def run_children(path, roles, seconds, batch=1):
    """Runs one child per role side by side; returns {role: [report line, ...]}."""
    children = {
        role: subprocess.Popen(
            [sys.executable, "-c", CHILD, path, role, str(seconds), str(batch), CHANGED, BUSY],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for role in roles
    }
    reports = {}
    for role, child in children.items():
        out, err = child.communicate(timeout=seconds + 120)
        assert child.returncode == 0, f"{role} failed:\n{err}"
        reports[role] = [line.split() for line in out.splitlines()]
    return reports


def check_writes(path, reports):
    """The file opens holding every acknowledged row and no refused one; returns the count of
    acknowledged rows per writer."""
    acked, refused = {}, set()
    for role, lines in reports.items():
        if not role.startswith("writer"):
            continue
        acked[role] = set()
        for kind, *ids in lines:
            (acked[role] if kind == "ok" else refused).update(int(i) for i in ids)
    db = quarn.Database.open(path)
    for role, ids in acked.items():
        missing = [i for i in ids if db.get("t", i) is None]
        assert missing == [], f"{role} lost {len(missing)} of {len(ids)} acknowledged rows"
    landed = [i for i in refused if db.get("t", i) is not None]
    assert landed == [], f"{len(landed)} refused rows are in the file"
    return {role: len(ids) for role, ids in acked.items()}


@pytest.mark.parametrize(
    "roles, batch",
    [
        (["writer1", "writer2"], 1),
        (["writer1", "writer2"], 20),
        (["writer1", "opener"], 1),
        (["writer1", "compactor"], 1),
        (["writer1", "querier"], 20),
    ],
    ids=["two-writers", "two-transaction-writers", "writer-and-opener", "writer-and-compactor",
         "writer-and-querier"],
)
def test_processes_beside_a_writer_lose_nothing(db_path, shared_seconds, roles, batch):
    new_db(db_path)
    reports = run_children(db_path, roles, shared_seconds, batch)
    acked = check_writes(db_path, reports)
    # Each side got work done; the writers were not starved into refusals only.
    for role, lines in reports.items():
        assert lines, f"{role} did nothing"
    assert all(n > 0 for n in acked.values()), acked


def test_a_handle_opened_before_a_compaction_refuses_writes(db_path):
    a = new_db(db_path)
    a.insert("t", {"id": 1, "v": 1})
    b = quarn.Database.open(db_path)
    b.compact()
    for pk in (2, 3):
        with pytest.raises(OSError) as excinfo:
            a.insert("t", {"id": pk, "v": pk})
        assert excinfo.type is OSError
        assert str(excinfo.value) == CHANGED
    # It still answers reads from what it replayed.
    assert a.get("t", 1) == {"id": 1, "v": 1}
    b.insert("t", {"id": 4, "v": 4})
    again = quarn.Database.open(db_path)
    assert [again.get("t", pk) is not None for pk in (1, 2, 3, 4)] == [True, False, False, True]
    again.insert("t", {"id": 2, "v": 2})
    assert quarn.Database.open(db_path).get("t", 2) == {"id": 2, "v": 2}


def test_a_handle_opened_before_a_schema_version_refuses_writes(db_path):
    a = new_db(db_path)
    b = quarn.Database.open(db_path)
    v2 = json.loads(T) + [{"path": ["w"], "type": "int64"}]
    b.register_schema_version("t", json.dumps(v2), "[]", force=True)
    with pytest.raises(OSError) as excinfo:
        a.insert("t", {"id": 1, "v": 1})
    assert excinfo.type is OSError
    assert str(excinfo.value) == CHANGED
    with pytest.raises(OSError, match="changed by another handle"), a.transaction():
        a.insert("t", {"id": 2, "v": 2})
    again = quarn.Database.open(db_path)
    assert again.get("t", 1) is None and again.get("t", 2) is None
    again.insert("t", {"id": 1, "v": 1, "w": 1})
    assert quarn.Database.open(db_path).get("t", 1) == {"id": 1, "v": 1, "w": 1}


def test_a_compaction_from_a_stale_view_is_refused(db_path):
    a = new_db(db_path)
    b = quarn.Database.open(db_path)
    b.insert("t", {"id": 1, "v": 1})
    with pytest.raises(ValueError) as excinfo:
        a.compact()
    assert str(excinfo.value) == "i/o error: " + CHANGED
    assert quarn.Database.open(db_path).get("t", 1) == {"id": 1, "v": 1}


def test_a_connection_reads_the_state_of_its_connect(db_path):
    db = new_db(db_path)
    db.insert("t", {"id": 1, "v": 1})
    conn = quarn.dbapi.connect(db_path)
    db.insert("t", {"id": 2, "v": 2})
    cur = conn.cursor()
    cur.execute("SELECT id FROM t WHERE v >= ? ORDER BY id", (0,))
    assert cur.fetchall() == [(1,)]
    # The writer goes on: the connection wrote nothing.
    db.insert("t", {"id": 3, "v": 3})
    assert quarn.Database.open(db_path).get("t", 3) == {"id": 3, "v": 3}
