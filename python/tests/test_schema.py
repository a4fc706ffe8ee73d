"""Registration, schema versions and change plans through the Python methods."""
import json

import pytest

import quarn

from conftest import fields

V1 = fields(("id", "int64"), ("name", "string"))
V2_OPTIONAL = fields(("id", "int64"), ("name", "string"), ("nick", {"optional": "string"}))
V2_REQUIRED = fields(("id", "int64"), ("name", "string"), ("age", "int64"))
BY_NAME = json.dumps([{"name": "by_name", "path": ["name"], "kind": "unique"}])


@pytest.fixture
def db(mem_db):
    assert mem_db.register_collection("c", V1, "id") == (1, 1)
    return mem_db


def test_ids_and_versions(db):
    assert db.register_collection("d", V1, "id") == (2, 1)
    assert db.register_schema_version("c", V2_OPTIONAL) == 2
    db.insert("c", {"id": 1, "name": "a", "nick": "x"})


def test_plan_of_unchanged_schema(db):
    plan = db.plan_schema_version("c", V1)
    assert plan == {"change": "safe", "steps": []}
    assert list(plan) == ["change", "steps"]


def test_plan_that_needs_migration(db):
    plan = db.plan_schema_version("c", V2_REQUIRED)
    assert list(plan) == ["change", "reason", "steps"]
    assert plan["change"] == "needs_migration"
    assert isinstance(plan["reason"], str) and plan["reason"]
    assert plan["steps"] == ["backfill_top_level_field:" + plan["reason"]]


def test_plan_with_new_unique_index(db):
    plan = db.plan_schema_version("c", V1, BY_NAME)
    assert plan["change"] == "needs_migration"
    assert plan["steps"] == ["rebuild_indexes"]


def test_plan_of_breaking_change_writes_nothing(db):
    before = db.snapshot_bytes()
    plan = db.plan_schema_version("c", fields(("id", "int64")))
    assert plan["change"] == "breaking" and plan["steps"] == []
    assert db.snapshot_bytes() == before


def test_migration_needs_force(db):
    with pytest.raises(ValueError):
        db.register_schema_version("c", V2_REQUIRED)
    assert db.register_schema_version("c", V2_REQUIRED, None, True) == 2
    assert db.register_schema_version("c", V2_REQUIRED, force=False) == 3


def test_force_must_be_bool(db):
    with pytest.raises(TypeError) as excinfo:
        db.register_schema_version("c", V1, force=1)
    assert str(excinfo.value) == "argument 'force': 'int' object cannot be converted to 'PyBool'"


def test_numpy_bool_is_accepted_as_force(db):
    np = pytest.importorskip("numpy")
    assert db.register_schema_version("c", V1, force=np.bool_(True)) == 2


def test_json_is_checked_before_the_name(db):
    for call in (lambda: db.register_schema_version("nope", "{"),
                 lambda: db.plan_schema_version("nope", "[]", "{}")):
        with pytest.raises(ValueError) as excinfo:
            call()
        assert "unknown collection" not in str(excinfo.value)


def test_refused_registration_changes_nothing(db):
    with pytest.raises(ValueError):
        db.register_collection("x", V1, "missing")
    assert db.collection_names() == ["c"]
