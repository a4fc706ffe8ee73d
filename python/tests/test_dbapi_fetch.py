"""Cursor results whatever the fetch pattern: every mix of fetchone, fetchmany, refill and
fetchall gives the rows of one straightforward run of the statement, across batch boundaries,
limits and errors, and never changes the database file."""
import json
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quarn
from quarn import dbapi

from conftest import PLAYERS_FIELDS as FIELDS



def row(i, count):
    # Scores repeat (ties go by primary-key bytes); some rows have no team.
    return {"id": i * 7 - 40, "name": f"p{(i * 31) % count:05d}", "score": float((count - i) % 97),
            "team": "red" if i % 3 else None, "info": {"city": "Rome" if i % 2 else "Oslo"}}


@pytest.fixture(scope="session")
def made(tmp_path_factory):
    """(path, rows) of a database with `count` players, made once per count."""
    _made = {}

    def make(count):
        if count not in _made:
            path = str(tmp_path_factory.mktemp("fetch") / "db.qdb")
            db = quarn.Database.open(path)
            db.register_collection("players", FIELDS, "id")
            rows = [row(i, count) for i in range(count)]
            with db.transaction():
                for r in rows:
                    db.insert("players", r)
            del db
            _made[count] = (path, rows)
        return _made[count]

    return make


def pk_bytes(r):
    return r["id"].to_bytes(8, "little", signed=True)


def model(rows, order=None, desc=False, limit=None, columns=("id", "score")):
    """The statement over the rows in Python: the external sort's order, ties by key bytes."""
    out = list(rows)
    if order is not None:
        out.sort(key=lambda r: (r[order], pk_bytes(r)), reverse=desc)
    if limit is not None:
        out = out[:limit]
    return [tuple(r[c] for c in columns) for r in out]


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# Each pattern is a list of calls; the results are concatenated in order.
PATTERNS = {
    "fetchall": [("fetchall",)],
    "fetchone_loop": [("fetchone_loop",)],
    "fetchmany_1000": [("fetchmany", 1000)] * 3 + [("fetchall",)],
    "mixed": [("fetchone",), ("fetchmany", 1023), ("refill", 5), ("fetchone",), ("fetchone",),
              ("fetchmany", 1500), ("refill", 3000), ("fetchmany", 1), ("fetchall",),
              ("fetchall",), ("fetchone",)],
}


def run_pattern(cur, calls, path=None, before=None):
    got = []
    for call in calls:
        if call[0] == "fetchall":
            got += cur.fetchall()
        elif call[0] == "fetchone_loop":
            while (r := cur.fetchone()) is not None:
                got.append(r)
        elif call[0] == "fetchone":
            r = cur.fetchone()
            if r is not None:
                got.append(r)
        elif call[0] == "fetchmany":
            part = cur.fetchmany(call[1])
            assert len(part) <= call[1]
            got += part
        else:
            assert cur.refill(call[1]) is None
        if path is not None:
            assert file_bytes(path) == before
    return got


STATEMENTS = [
    ("SELECT id, score FROM players ORDER BY score", {"order": "score"}),
    ("SELECT id, score FROM players ORDER BY score DESC", {"order": "score", "desc": True}),
    ("SELECT id, score FROM players ORDER BY name LIMIT 7", {"order": "name", "limit": 7}),
    ("SELECT id, score FROM players ORDER BY score LIMIT 1024", {"order": "score", "limit": 1024}),
    ("SELECT id, score FROM players ORDER BY score DESC LIMIT 1500",
     {"order": "score", "desc": True, "limit": 1500}),
    ("SELECT id, score FROM players ORDER BY score LIMIT 2049", {"order": "score", "limit": 2049}),
]


@pytest.mark.parametrize("count", [1023, 1024, 1025, 2047, 2048, 2049])
@pytest.mark.parametrize("pattern", sorted(PATTERNS))
def test_every_fetch_pattern_gives_the_model_result(made, count, pattern):
    path, rows = made(count)
    before = file_bytes(path)
    cur = dbapi.connect(path).cursor()
    for sql, how in STATEMENTS:
        cur.execute(sql)
        assert run_pattern(cur, PATTERNS[pattern], path, before) == model(rows, **how), sql
    # Without ORDER BY the order is the map's: the same for every pattern and every run.
    cur.execute("SELECT * FROM players")
    whole = dbapi.connect(path).cursor()
    whole.execute("SELECT * FROM players")
    expected = whole.fetchall()
    assert sorted(r[0] for r in expected) == sorted(r["id"] for r in rows)
    assert run_pattern(cur, PATTERNS[pattern], path, before) == expected
    cur.execute("SELECT name, id FROM players LIMIT 1025")
    assert run_pattern(cur, PATTERNS[pattern]) == [(r[1], r[0]) for r in expected[:1025]]
    assert file_bytes(path) == before


@settings(max_examples=40, deadline=None)
@given(
    calls=st.lists(
        st.one_of(
            st.just(("fetchone",)),
            st.just(("fetchall",)),
            st.tuples(st.just("fetchmany"), st.integers(0, 40)),
            st.tuples(st.just("refill"), st.integers(0, 40)),
        ),
        max_size=12,
    ),
    limit=st.one_of(st.none(), st.integers(0, 60)),
    desc=st.booleans(),
)
def test_random_fetch_sequences_read_one_run_in_order(made, calls, limit, desc):
    path, rows = made(50)
    sql = "SELECT id, score FROM players ORDER BY score" + (" DESC" if desc else "")
    if limit is not None:
        sql += f" LIMIT {limit}"
    cur = dbapi.connect(path).cursor()
    cur.execute(sql)
    got = run_pattern(cur, calls + [("fetchall",)])
    assert got == model(rows, order="score", desc=desc, limit=limit)


def test_conversion_error_mid_result_keeps_the_rows_before_it(tmp_path, monkeypatch):
    path = str(tmp_path / "u.qdb")
    db = quarn.Database.open(path)
    db.register_collection(
        "t", json.dumps([{"path": ["id"], "type": "int64"}, {"path": ["u"], "type": "uuid"}]), "id")
    with db.transaction():
        for i in range(3000):
            db.insert("t", {"id": i, "u": uuid.UUID(int=i)})
    del db
    cur = dbapi.connect(path).cursor()
    cur.execute("SELECT id, u FROM t ORDER BY id")
    first = cur.fetchmany(2)
    real = uuid.UUID
    calls = []

    def failing(*args, **kwargs):
        calls.append(1)
        if len(calls) == 1500:
            raise KeyError("uuid hook")
        return real(*args, **kwargs)

    monkeypatch.setattr(uuid, "UUID", failing)
    with pytest.raises(KeyError):
        cur.fetchall()
    monkeypatch.setattr(uuid, "UUID", real)
    # fetchall dropped its first batch (1024 rows, still counted as fetched); the 475 tuples of
    # the second batch made before the failure stay buffered, and the failed row is made again.
    rest = cur.fetchall()
    assert first + rest == [(i, uuid.UUID(int=i)) for i in list(range(2)) + list(range(1026, 3000))]
    assert cur.fetchone() is None
