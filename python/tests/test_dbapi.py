"""The DB-API adapter: connections, the cursor's states, parameters, columns and ORDER BY."""
import json
import os
import resource
import signal
import subprocess
import sys
import textwrap

import pytest

import quarn
from quarn import dbapi

from conftest import PLAYERS_FIELDS as FIELDS



def make_db(path, count):
    db = quarn.Database.open(path)
    db.register_collection("players", FIELDS, "id", '[{"name": "by_name", "path": ["name"], "kind": "unique"}]')
    with db.transaction():
        for i in range(count):
            db.insert(
                "players",
                {
                    "id": i,
                    "name": f"p{i:05d}",
                    # Scores repeat and run against the ids, so ties are broken by key bytes.
                    "score": float((count - i) % 97),
                    "team": "red" if i % 2 else None,
                    "info": {"city": "Rome" if i % 3 else "Oslo"},
                },
            )
    del db


@pytest.fixture
def small(db_path):
    make_db(db_path, 10)
    return db_path


@pytest.fixture
def cur(small):
    return dbapi.connect(small).cursor()


def test_fresh_cursor_has_nothing(cur):
    assert cur.description is None
    assert cur.fetchone() is None
    assert cur.fetchall() == []
    assert cur.fetchmany(3) == []


def test_select_star_description_and_rows(cur):
    cur.execute("SELECT * FROM players WHERE name = ?", ("p00003",))
    assert cur.description == tuple(
        (name, None, None, None, None, None, None) for name in ("id", "name", "score", "team", "info")
    )
    assert cur.fetchone() == (3, "p00003", 7.0, "red", {"city": "Oslo"})
    assert cur.fetchone() is None


def test_column_list_with_nested_path_and_absent_values(db_path):
    fields = json.dumps(
        [
            {"path": ["id"], "type": "int64"},
            {"path": ["team"], "type": {"optional": "string"}},
        ]
    )
    db = quarn.Database.open(db_path)
    db.register_collection("t", fields, "id")
    db.insert("t", {"id": 1})
    del db
    cur = dbapi.connect(db_path).cursor()
    cur.execute("select team, id, team from t")
    assert [d[0] for d in cur.description] == ["team", "id", "team"]
    assert cur.fetchall() == [(None, 1, None)]


def test_matching_nothing_keeps_the_description(cur):
    cur.execute("SELECT id FROM players WHERE id > ?", [100])
    assert cur.fetchone() is None
    assert cur.fetchall() == []
    assert cur.description == (("id", None, None, None, None, None, None),)


@pytest.mark.parametrize(
    "sql,params,exc,message",
    [
        ("SELECT * FROM players WHERE id = ?", None, ValueError, "expected 1 SQL parameters, got 0"),
        ("SELECT * FROM players", (1,), ValueError, "expected 0 SQL parameters, got 1"),
        ("SELECT * FROM players WHERE id = ?", {"id": 1}, ValueError, "params must be a tuple or list"),
        ("SELECT * FROM players WHERE id = 5", None, ValueError, "expected parameter '?'"),
        ("SELECT * FROM nobody", None, ValueError, 'unknown collection name "nobody"'),
        ("SELECT nope FROM players", None, ValueError, 'unknown field path ["nope"]'),
        ("SELECT * FROM players WHERE info.city = ?", ("Rome",), ValueError, 'unknown field path ["info", "city"]'),
        ("SELECT * FROM players WHERE team = ?", ("red",), ValueError,
         "internal: scalar_from_py called on composite type"),
        ("SELECT * FROM players WHERE id = ?", ("1",), TypeError, None),
        ("SELECT * FROM players WHERE id = ?", (2**63,), OverflowError, None),
    ],
)
def test_execute_errors(cur, sql, params, exc, message):
    with pytest.raises(exc) as excinfo:
        cur.execute(sql, params)
    assert excinfo.type is exc
    if message is not None:
        assert str(excinfo.value) == message


def test_failed_execute_keeps_the_previous_plan(cur):
    cur.execute("SELECT id FROM players WHERE id < ? ORDER BY id", (4,))
    assert cur.fetchone() == (0,)
    with pytest.raises(ValueError):
        cur.execute("SELECT id FROM players WHERE id < ?", ())
    assert cur.fetchall() == [(1,), (2,), (3,)]
    assert cur.description == (("id", None, None, None, None, None, None),)


def test_fetchmany_sizes(cur):
    cur.execute("SELECT id FROM players ORDER BY id")
    assert cur.fetchmany() == [(0,)]
    assert cur.fetchmany(0) == []
    assert cur.fetchmany(3) == [(1,), (2,), (3,)]
    with pytest.raises(OverflowError):
        cur.fetchmany(-1)
    with pytest.raises(TypeError) as excinfo:
        cur.fetchmany(None)
    assert str(excinfo.value).startswith("argument 'size': ")
    assert cur.fetchall() == [(i,) for i in range(4, 10)]
    assert cur.fetchone() is None


def test_refill_buffers_and_later_fetches_skip(cur):
    cur.execute("SELECT id FROM players ORDER BY id DESC LIMIT 7")
    cur.refill(5)
    assert [cur.fetchone() for _ in range(6)] == [(9,), (8,), (7,), (6,), (5,), (4,)]
    assert cur.fetchall() == [(3,)]


def test_or_and_precedence_and_ranges(cur):
    cur.execute(
        "SELECT id FROM players WHERE id = ? OR id >= ? AND id < ? ORDER BY id", (0, 5, 7)
    )
    assert cur.fetchall() == [(0,), (5,), (6,)]


def test_closed_cursor_and_connection(small):
    conn = dbapi.connect(small)
    cur = conn.cursor()
    cur.execute("SELECT id FROM players")
    cur.close()
    cur.close()
    with pytest.raises(RuntimeError) as excinfo:
        cur.execute("SELECT id FROM players")
    assert str(excinfo.value) == "cursor is closed"
    assert cur.fetchone() is None
    assert cur.fetchall() == []
    assert cur.description is None

    other = conn.cursor()
    conn.close()
    with pytest.raises(RuntimeError) as excinfo:
        conn.cursor()
    assert str(excinfo.value) == "connection is closed"
    other.execute("SELECT id FROM players WHERE id = ?", (1,))
    assert other.fetchall() == [(1,)]
    assert conn.commit() is None
    assert conn.rollback() is None


@pytest.mark.parametrize("count", [1025, 2049])
def test_order_by_over_many_rows_returns_everything_in_order(db_path, count):
    make_db(db_path, count)
    size = os.path.getsize(db_path)
    cur = dbapi.connect(db_path).cursor()
    cur.execute("SELECT score, id FROM players ORDER BY score DESC")
    rows = cur.fetchall()
    assert os.path.getsize(db_path) == size
    assert len(rows) == count
    expected = sorted(((float((count - i) % 97), i) for i in range(count)), key=lambda r: -r[0])
    assert [r[0] for r in rows] == [r[0] for r in expected]
    assert sorted(r[1] for r in rows) == list(range(count))
    # Batches come from fresh sorts: the order must be the same in every one of them.
    cur.execute("SELECT score, id FROM players ORDER BY score DESC")
    first = cur.fetchmany(1500)
    assert first + cur.fetchall() == rows
    assert os.path.getsize(db_path) == size


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.mark.parametrize("count", [30, 2100])
def test_file_keeps_its_bytes_after_every_fetch(db_path, count):
    make_db(db_path, count)
    before = file_bytes(db_path)
    cur = dbapi.connect(db_path).cursor()
    cur.execute("SELECT id FROM players WHERE id < ? ORDER BY name DESC", (count - 10,))
    seen = []
    while (row := cur.fetchone()) is not None:
        if len(seen) % 500 == 0:
            assert file_bytes(db_path) == before
        seen.append(row[0])
    assert seen == list(range(count - 11, -1, -1))
    assert file_bytes(db_path) == before
    reopened = quarn.Database.open(db_path)
    assert reopened.get("players", 3)["name"] == "p00003"


def test_failed_spill_write_leaves_the_database_file_alone(db_path):
    make_db(db_path, 2100)
    before = file_bytes(db_path)
    cur = dbapi.connect(db_path).cursor()
    cur.execute("SELECT id FROM players ORDER BY id DESC")
    # Every write past 1000 bytes fails, so the sort's first run (2048 items) cannot be spilled.
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1000, hard))
    try:
        with pytest.raises(OSError) as excinfo:
            cur.fetchone()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, old_handler)
    assert excinfo.type is OSError
    assert str(excinfo.value) == "File too large (os error 27)"
    assert file_bytes(db_path) == before
    assert cur.fetchone() == (2099,)
    assert file_bytes(db_path) == before


# Commits to the file through a handle of its own, printing the id of every row whose insert
# returned.
WRITER = textwrap.dedent(
    """
    import sys
    import quarn

    db = quarn.Database.open(sys.argv[1])
    for i in range(int(sys.argv[2])):
        db.insert("players", {"id": 100000 + i, "name": "w%d" % i, "score": 1.0,
                              "info": {"city": "Oslo"}})
        print(100000 + i, flush=True)
    """
)


def test_order_by_beside_a_writer_process_loses_no_commit(db_path):
    make_db(db_path, 2500)
    cur = dbapi.connect(db_path).cursor()
    writer = subprocess.Popen([sys.executable, "-c", WRITER, db_path, "40"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    queries = 0
    while writer.poll() is None or queries < 3:
        cur.execute("SELECT id FROM players ORDER BY score DESC")
        assert len(cur.fetchall()) == 2500
        queries += 1
    out, err = writer.communicate(timeout=60)
    assert writer.returncode == 0, err
    acknowledged = [int(line) for line in out.split()]
    assert len(acknowledged) == 40
    reopened = quarn.Database.open(db_path)
    assert [i for i in acknowledged if reopened.get("players", i) is None] == []


def test_connect_errors(tmp_path):
    with pytest.raises(OSError) as excinfo:
        dbapi.connect(str(tmp_path / "missing" / "x.qdb"))
    assert excinfo.type is OSError
    with pytest.raises(TypeError) as excinfo:
        dbapi.connect(tmp_path / "x.qdb")
    assert str(excinfo.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("cls", [dbapi.Connection, dbapi.Cursor])
def test_adapter_classes_have_no_constructor(cls):
    with pytest.raises(TypeError) as excinfo:
        cls()
    assert str(excinfo.value) == f"No constructor defined for {cls.__name__}"


def test_dbapi_is_not_a_package():
    assert dbapi.__all__ == ["connect", "Connection", "Cursor"]
    with pytest.raises(ModuleNotFoundError):
        __import__("quarn.dbapi")
