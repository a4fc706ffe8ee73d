"""The query builder: paths, filters, limits, projection, explain, and what it sees."""
import json

import pytest

import quarn

FIELDS = json.dumps(
    [
        {"path": ["id"], "type": "int64"},
        {"path": ["email"], "type": "string"},
        {"path": ["age"], "type": "int64"},
        {"path": ["team"], "type": {"optional": "string"}},
        {"path": ["tier"], "type": {"enum": ["free", "paid"]}},
        {"path": ["address"], "type": {"object": [{"path": ["city"], "type": "string"}]}},
    ]
)
INDEXES = json.dumps(
    [
        {"name": "by_email", "path": ["email"], "kind": "unique"},
        {"name": "by_age", "path": ["age"], "kind": "index"},
    ]
)
PEOPLE = [
    {"id": 1, "email": "ann", "age": 30, "tier": "free", "address": {"city": "Rome"}},
    {"id": 2, "email": "bob", "age": 30, "tier": "paid", "address": {"city": "Oslo"}},
    {"id": 3, "email": "cy", "age": 41, "team": "red", "tier": "free", "address": {"city": "Rome"}},
]


@pytest.fixture
def db():
    db = quarn.Database.open_in_memory()
    db.register_collection("users", FIELDS, "id", INDEXES)
    for row in PEOPLE:
        db.insert("users", row)
    return db


@pytest.fixture
def users(db):
    return db.collection("users")


def ids(rows):
    return sorted(row["id"] for row in rows)


def test_where_uses_the_unique_index_and_returns_whole_rows(users):
    query = users.where("email", "bob")
    assert query.explain() == 'Plan:\n  IndexLookup index="by_email" kind=Unique\n'
    assert query.all() == [
        {"id": 2, "email": "bob", "age": 30, "team": None, "tier": "paid", "address": {"city": "Oslo"}}
    ]


def test_and_where_explains_and_runs_as_and_of_eqs_in_order(users):
    query = users.where("age", 30).and_where(("email",), "ann").limit(5)
    assert query.explain() == (
        "Plan:\n"
        '  IndexLookup index="by_email" kind=Unique\n'
        '  ResidualFilter Eq { path: FieldPath(["age"]), value: Int64(30) }\n'
        "  Limit 5\n"
    )
    assert ids(query.all()) == [1]


def test_non_unique_lookup_and_scan(users):
    assert users.where("age", 30).explain() == (
        'Plan:\n  IndexLookup index="by_age" kind=NonUnique\n'
    )
    assert ids(users.where("age", 30).all()) == [1, 2]
    assert ids(users.all()) == [1, 2, 3]


def test_builders_are_immutable_and_branch(users):
    base = users.where("age", 30)
    narrow = base.and_where("email", "bob")
    limited = base.limit(1).limit(2)
    assert ids(base.all()) == [1, 2]
    assert ids(narrow.all()) == [2]
    assert len(limited.all()) == 2
    assert base.limit(0).all() == []
    assert "Limit" not in base.explain()


@pytest.mark.parametrize(
    "path,message",
    [
        ("", "path must be non-empty"),
        ("  \n", "path must be non-empty"),
        ((), "path must have at least one segment"),
        (["email", ""], "path segments must be non-empty"),
        (7, 'path must be a dotted string ("a.b") or a tuple of strings ("a","b")'),
        (b"email", 'path must be a dotted string ("a.b") or a tuple of strings ("a","b")'),
        (("email", 1), 'path must be a dotted string ("a.b") or a tuple of strings ("a","b")'),
        ("email..x", "invalid path"),
        (".email", "invalid path"),
        ("nope", "unknown field path"),
        ("address. city", "unknown field path"),
        ("address.city", "unknown field path"),
    ],
)
def test_where_path_errors(users, path, message):
    with pytest.raises(ValueError) as excinfo:
        users.where(path, "x")
    assert excinfo.type is ValueError
    assert str(excinfo.value) == message


def test_blank_padded_text_path_is_trimmed(users):
    assert ids(users.where("  email\t", "cy").all()) == [3]


@pytest.mark.parametrize("field", ["team", "tier", "address"])
def test_where_on_a_composite_field_is_refused(users, field):
    with pytest.raises(ValueError) as excinfo:
        users.where(field, "red")
    assert str(excinfo.value) == "internal: scalar_from_py called on composite type"


def test_where_value_of_the_wrong_type(users):
    with pytest.raises(TypeError):
        users.where("age", "thirty")


@pytest.mark.parametrize(
    "n,exc", [(-1, OverflowError), (2**64, OverflowError), ("3", TypeError), (None, TypeError)]
)
def test_limit_argument_errors(users, n, exc):
    with pytest.raises(exc) as excinfo:
        users.where("age", 30).limit(n)
    assert excinfo.type is exc
    if exc is TypeError:
        assert str(excinfo.value).startswith("argument 'n': ")


@pytest.mark.parametrize(
    "fields,expected",
    [
        (["email"], [{"email": "ann"}]),
        (("age", "email"), [{"age": 30, "email": "ann"}]),
        ("address", [{"address": {"city": "Rome"}}]),
        (["team"], [{"team": None}]),
    ],
)
def test_projection(users, fields, expected):
    assert users.where("email", "ann").all(fields=fields) == expected


@pytest.mark.parametrize(
    "fields,message",
    [
        ([], "fields must list at least one schema path"),
        ((), "fields must list at least one schema path"),
        (["nope"], 'unknown field path for this collection: ["nope"]'),
        ([("address", "city")], 'unknown field path for this collection: ["address", "city"]'),
        (["email", "a..b"], "invalid path"),
    ],
)
def test_projection_errors(users, fields, message):
    with pytest.raises(ValueError) as excinfo:
        users.all(fields)
    assert str(excinfo.value) == message


def test_nested_paths_in_three_forms_filter_the_same_field():
    db = quarn.Database.open_in_memory()
    fields = json.dumps(
        [{"path": ["id"], "type": "int64"}, {"path": ["address", "city"], "type": "string"}]
    )
    db.register_collection("places", fields, "id")
    places = db.collection("places")
    texts = {places.where(p, "Rome").explain() for p in ("address.city", ("address", "city"), ["address", "city"])}
    assert texts == {
        'Plan:\n  CollectionScan\n  Filter Eq { path: FieldPath(["address", "city"]), value: String("Rome") }\n'
    }
    assert places.where("address.city", "Rome").all(fields=["address.city"]) == []


def test_queries_see_the_open_transaction(db, users):
    tx = db.transaction()
    tx.__enter__()
    db.insert("users", {"id": 9, "email": "dee", "age": 30, "tier": "free", "address": {"city": "Rome"}})
    assert ids(users.where("age", 30).all()) == [1, 2, 9]
    tx.__exit__(RuntimeError, RuntimeError("boom"), None)
    assert ids(users.where("age", 30).all()) == [1, 2]


def test_collection_registered_in_a_rolled_back_transaction_stops_resolving(db):
    with pytest.raises(KeyError):
        with db.transaction():
            db.register_collection("temp", FIELDS, "id")
            temp = db.collection("temp")
            raise KeyError("roll back")
    with pytest.raises(ValueError) as excinfo:
        temp.all()
    assert str(excinfo.value) == 'unknown collection name "temp"'


def test_collection_name_keeps_its_blanks_and_still_resolves(db):
    assert ids(db.collection("  users ").where("age", 41).all()) == [3]


@pytest.mark.parametrize("cls", [quarn.Collection, quarn.Query])
def test_builder_classes_have_no_constructor(cls):
    with pytest.raises(TypeError) as excinfo:
        cls()
    assert str(excinfo.value) == f"No constructor defined for {cls.__name__}"
