"""Transactions through the with statement: commit, rollback, nesting, sharing."""
import gc

import pytest

import quarn

from conftest import fields

T = fields(("id", "int64"), ("v", "string"))


@pytest.fixture
def db(db_path):
    d = quarn.Database.open(db_path)
    d.register_collection("t", T, "id")
    return d


def test_with_commits_and_binds_none(db, db_path):
    with db.transaction() as bound:
        assert bound is None
        db.insert("t", {"id": 1, "v": "a"})
        db.insert("t", {"id": 2, "v": "b"})
        assert db.get("t", 1)["v"] == "a"
    del db
    gc.collect()
    again = quarn.Database.open(db_path)
    assert [again.get("t", i)["v"] for i in (1, 2)] == ["a", "b"]


def test_exception_rolls_back_and_propagates(db, db_path):
    class Boom(Exception):
        pass

    with pytest.raises(Boom):
        with db.transaction():
            db.insert("t", {"id": 1, "v": "a"})
            db.register_collection("staged", T, "id")
            assert "staged" in db.collection_names()
            raise Boom()
    assert db.get("t", 1) is None
    assert db.collection_names() == ["t"]
    del db
    gc.collect()
    assert quarn.Database.open(db_path).get("t", 1) is None


def test_nested_with_is_refused_and_outer_rolls_back(db):
    with pytest.raises(RuntimeError) as excinfo:
        with db.transaction():
            db.insert("t", {"id": 1, "v": "a"})
            with db.transaction():
                pytest.fail("inner body ran")
    assert str(excinfo.value) == "nested transactions are not supported"
    assert db.get("t", 1) is None


def test_exit_without_enter(db):
    assert db.transaction().__exit__(None, None, None) is False
    first, second = db.transaction(), db.transaction()
    first.__enter__()
    db.insert("t", {"id": 1, "v": "a"})
    # The transaction belongs to the database: any Transaction object ends it.
    assert second.__exit__() is False
    assert db.get("t", 1)["v"] == "a"


def test_maintenance_inside_transaction_is_refused(db):
    with pytest.raises(RuntimeError):
        with db.transaction():
            db.rebuild_indexes("t")


def test_transaction_keeps_database_alive(db_path):
    d = quarn.Database.open(db_path)
    d.register_collection("t", T, "id")
    txn = d.transaction()
    del d
    gc.collect()
    txn.__enter__()
    assert txn.__exit__(None, None, None) is False
