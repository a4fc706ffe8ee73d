"""get, insert, delete, backfill and rebuild through a Database, in memory and on disk."""
import gc
import os

import pytest

import quarn

from conftest import fields

USERS = fields(("id", "int64"), ("email", "string"), ("age", {"optional": "int64"}))
UNIQUE_EMAIL = '[{"name": "by_email", "path": ["email"], "kind": "unique"}]'


@pytest.fixture
def users(mem_db):
    mem_db.register_collection("users", USERS, "id", UNIQUE_EMAIL)
    return mem_db


def test_insert_get_replace_delete(users):
    users.insert("users", {"id": 1, "email": "a"})
    assert users.get("users", 1) == {"age": None, "email": "a", "id": 1}
    users.insert("users", {"id": 1, "email": "b", "age": 3})
    assert users.get("users", 1) == {"age": 3, "email": "b", "id": 1}
    users.delete("users", 1)
    assert users.get("users", 1) is None
    assert users.delete("users", 1) is None


def test_unique_index_is_enforced(users):
    users.insert("users", {"id": 1, "email": "a"})
    with pytest.raises(ValueError):
        users.insert("users", {"id": 2, "email": "a"})
    assert users.get("users", 2) is None


def test_pk_of_wrong_class(users):
    with pytest.raises(TypeError):
        users.get("users", "1")
    users.register_collection("by_name", fields(("name", "string")), "name")
    with pytest.raises(TypeError) as excinfo:
        users.delete("by_name", 1)
    assert str(excinfo.value) == "'int' object cannot be converted to 'PyString'"


def test_composite_primary_field_is_refused_at_conversion(mem_db):
    mem_db.register_collection("c", fields(("id", {"optional": "int64"})), "id")
    with pytest.raises(ValueError) as excinfo:
        mem_db.get("c", 1)
    assert str(excinfo.value) == "internal: scalar_from_py called on composite type"


def test_names_are_trimmed_by_the_engine(users):
    users.insert("  users\t", {"id": 1, "email": "a"})
    assert users.get(" users ", 1)["email"] == "a"
    users.rebuild_indexes(" users ")
    coll = users.collection(" users ")
    assert type(coll) is quarn.Collection
    with pytest.raises(ValueError):
        users.collection("nobody")


def test_backfill_fills_rows_that_lack_the_field(mem_db):
    mem_db.register_collection("u", fields(("id", "int64")), "id")
    mem_db.insert("u", {"id": 1})
    assert mem_db.register_schema_version("u", USERS.replace('"string"', '{"optional": "string"}')) == 2
    mem_db.insert("u", {"id": 2, "age": 4})
    mem_db.backfill_top_level_field("u", "age", 9)
    assert mem_db.get("u", 1)["age"] == 9
    assert mem_db.get("u", 2)["age"] == 4
    with pytest.raises(ValueError) as excinfo:
        mem_db.backfill_top_level_field("u", "nope", 1)
    assert str(excinfo.value) == 'unknown field "nope"'
    with pytest.raises(TypeError):
        mem_db.backfill_top_level_field("u", "age", "x")


def test_collection_names_sorted(mem_db):
    for name in ("b", "B", "a"):
        mem_db.register_collection(name, USERS, "id")
    assert mem_db.collection_names() == ["B", "a", "b"]


def test_paths(mem_db, tmp_path, monkeypatch):
    assert mem_db.path() == ":memory:"
    monkeypatch.chdir(tmp_path)
    assert quarn.Database.open("rel.qdb").path() == "rel.qdb"


def test_rows_survive_reopen(db_path):
    db = quarn.Database.open(db_path)
    db.register_collection("users", USERS, "id", UNIQUE_EMAIL)
    db.insert("users", {"id": 1, "email": "a"})
    db.insert("users", {"id": 2, "email": "b"})
    db.delete("users", 2)
    del db
    gc.collect()
    again = quarn.Database.open(db_path)
    assert again.collection_names() == ["users"]
    assert again.get("users", 1) == {"age": None, "email": "a", "id": 1}
    assert again.get("users", 2) is None
    with pytest.raises(ValueError):
        again.insert("users", {"id": 3, "email": "a"})


def test_snapshot_round_trip_is_independent(users):
    users.insert("users", {"id": 1, "email": "a"})
    copy = quarn.Database.open_snapshot_bytes(users.snapshot_bytes())
    copy.insert("users", {"id": 2, "email": "b"})
    assert copy.get("users", 1)["email"] == "a"
    assert users.get("users", 2) is None


def test_empty_snapshot_is_a_new_database():
    empty = quarn.Database.open_snapshot_bytes(b"")
    assert empty.collection_names() == []
    assert empty.snapshot_bytes() == quarn.Database.open_in_memory().snapshot_bytes()


def test_compact_keeps_live_rows(db_path, tmp_path):
    db = quarn.Database.open(db_path)
    db.register_collection("users", USERS, "id", UNIQUE_EMAIL)
    for i in range(5):
        db.insert("users", {"id": i, "email": str(i)})
    for i in range(4):
        db.delete("users", i)
    before = os.path.getsize(db_path)
    dest = str(tmp_path / "copy.qdb")
    db.compact_to(dest)
    db.compact()
    assert os.path.getsize(db_path) < before
    for target in (db, quarn.Database.open(dest), quarn.Database.open(db_path)):
        assert target.get("users", 4)["email"] == "4"
        assert target.get("users", 0) is None
