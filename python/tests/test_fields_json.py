"""JSON field and index definitions: every message, in check order, and what is accepted."""
import json

import pytest

import quarn

ID = {"path": ["id"], "type": "int64"}


def register(fields_json, indexes_json=None):
    db = quarn.Database.open_in_memory()
    db.register_collection("c", fields_json, "id", indexes_json)
    return db


def field_error(field_list):
    text = field_list if isinstance(field_list, str) else json.dumps(field_list)
    with pytest.raises(Exception) as excinfo:
        register(text)
    assert excinfo.type is ValueError
    return str(excinfo.value)


FIELD_MESSAGES = [
    ("not-array", {}, "fields_json must be a JSON array"),
    ("field-not-object", [1], "each field must be a JSON object"),
    ("missing-path-first", [{}], 'missing "path"'),
    ("path-not-array", [{"path": "id", "type": "int64"}], '"path" must be an array of strings'),
    ("segment-not-string", [{"path": [1], "type": "int64"}], "path segment must be a string"),
    ("empty-path", [{"path": [], "type": "int64"}], "schema error: invalid field path"),
    ("empty-segment", [{"path": [""], "type": "int64"}], "schema error: invalid field path"),
    ("missing-type", [{"path": ["id"]}], 'missing "type"'),
    ("case-of-primitive", [{"path": ["id"], "type": "Int64"}], 'unknown primitive type "Int64"'),
    ("escaped-name", [{"path": ["id"], "type": 'a"b'}], 'unknown primitive type "a\\"b"'),
    ("type-number", [{"path": ["id"], "type": 5}], '"type" must be a string or object'),
    ("optional-of-number", [{"path": ["id"], "type": {"optional": 5}}],
     '"type" must be a string or object'),
    ("empty-type-object", [{"path": ["id"], "type": {}}], 'unsupported "type" shape'),
    ("object-not-array", [{"path": ["id"], "type": {"object": 5}}], 'unsupported "type" shape'),
    ("enum-not-array", [{"path": ["id"], "type": {"enum": "x"}}], 'unsupported "type" shape'),
    ("enum-variant", [{"path": ["id"], "type": {"enum": ["a", 1]}}],
     "enum variant must be a string"),
    ("object-member", [{"path": ["id"], "type": {"object": [1]}}],
     "each field must be a JSON object"),
    ("constraints-null", [dict(ID, constraints=None)], '"constraints" must be an array'),
    ("constraint-not-object", [dict(ID, constraints=[1])],
     "each constraint must be a JSON object"),
    ("constraint-empty", [dict(ID, constraints=[{}])], "unknown constraint shape"),
    ("email-false", [dict(ID, constraints=[{"email": False}])], "unknown constraint shape"),
    ("min-u64-negative", [dict(ID, constraints=[{"min_u64": -5}])], "unknown constraint shape"),
    ("min-i64-float", [dict(ID, constraints=[{"min_i64": 5.0}])], "unknown constraint shape"),
    ("min-i64-above-range", [dict(ID, constraints=[{"min_i64": 2**63}])],
     "unknown constraint shape"),
]


@pytest.mark.parametrize("fields,text", [m[1:] for m in FIELD_MESSAGES],
                         ids=[m[0] for m in FIELD_MESSAGES])
def test_field_messages(fields, text):
    assert field_error(fields) == text


PARSE_ERRORS = [
    ("empty", "", " at line 1 column 0"),
    ("trailing", "[] x", " at line 1 column 4"),
    ("second-line", "[\n  1,\n]", " at line 3 column 1"),
]


@pytest.mark.parametrize("text,suffix", [p[1:] for p in PARSE_ERRORS], ids=[p[0] for p in PARSE_ERRORS])
def test_parse_errors_end_with_position(text, suffix):
    message = field_error(text)
    assert message.endswith(suffix) and len(message) > len(suffix)


def test_nesting_limit_is_128_levels():
    ok = "[" * 127 + "]" * 127
    with pytest.raises(ValueError) as excinfo:
        register(ok)
    assert str(excinfo.value) == "each field must be a JSON object"
    assert field_error("[" * 128 + "]" * 128) == "recursion limit exceeded at line 1 column 128"
    # Far deeper input must fail the same way, never overflow the stack.
    assert field_error("[" * 1_000_000).startswith("recursion limit exceeded")


def test_repeated_key_keeps_last_value():
    db = register('[{"path":["id"],"type":"bogus","type":"int64"}]')
    db.insert("c", {"id": 1})


def test_path_with_full_stop_is_one_segment():
    db = register(json.dumps([ID, {"path": ["a.b"], "type": "int64"}]))
    db.insert("c", {"id": 1, "a.b": 2})
    assert db.get("c", 1) == {"a.b": 2, "id": 1}


def test_empty_field_list_goes_to_the_engine():
    with pytest.raises(ValueError) as excinfo:
        register("[]")
    assert str(excinfo.value) == 'primary field "id" not found as a top-level field'


def test_type_key_order():
    # "optional" wins over "list"; a non-array "object" is passed over for "enum".
    db = register(json.dumps([ID, {"path": ["o"], "type": {"list": "int64", "optional": "int64"}},
                              {"path": ["e"], "type": {"object": 1, "enum": ["x"]}}]))
    db.insert("c", {"id": 1, "o": None, "e": "x"})
    with pytest.raises(ValueError):
        db.insert("c", {"id": 2, "o": None, "e": "y"})


def constrained(constraints, type_="int64"):
    return register(json.dumps([ID, {"path": ["n"], "type": type_, "constraints": constraints}]))


def test_constraint_table_order_not_text_order():
    # max_length comes later in the table than min_i64, so this is MinI64(3).
    db = constrained([{"max_length": 1, "min_i64": 3}])
    db.insert("c", {"id": 1, "n": 3})
    with pytest.raises(ValueError):
        db.insert("c", {"id": 2, "n": 2})


def test_fraction_is_passed_over_for_min_f64():
    db = constrained([{"min_i64": 1.5, "min_f64": 2}], "float64")
    db.insert("c", {"id": 1, "n": 2.0})
    with pytest.raises(ValueError):
        db.insert("c", {"id": 2, "n": 1.9})


def index_error(indexes, field_list=None):
    field_list = field_list or [ID, {"path": ["s"], "type": "string"},
                                {"path": ["ol"], "type": {"optional": {"list": "int64"}}},
                                {"path": ["oe"], "type": {"optional": {"enum": ["a"]}}},
                                {"path": ["o"], "type": {"object": [{"path": ["x"],
                                                                     "type": "int64"}]}}]
    text = indexes if isinstance(indexes, str) else json.dumps(indexes)
    with pytest.raises(Exception) as excinfo:
        register(json.dumps(field_list), text)
    assert excinfo.type is ValueError
    return str(excinfo.value)


def ix(**kw):
    return dict({"name": "i", "path": ["s"], "kind": "unique"}, **kw)


INDEX_MESSAGES = [
    ("not-array", {}, "indexes_json must be a JSON array"),
    ("not-object", [1], "each index must be a JSON object"),
    ("no-name", [{"path": ["s"]}], 'index missing "name" or name is not a string'),
    ("name-number", [ix(name=1)], 'index missing "name" or name is not a string'),
    ("blank-name", [ix(name=" \u2003")], 'index "name" must be non-empty'),
    ("duplicate-trimmed", [ix(name="a"), ix(name=" a ")], 'duplicate index name "a"'),
    ("no-path", [{"name": "i"}], 'index missing "path"'),
    ("path-not-array", [ix(path="s")], 'index "path" must be an array of strings'),
    ("segment-not-string", [ix(path=[1])], "index path segment must be a string"),
    ("empty-path", [ix(path=[])], "schema error: invalid field path"),
    ("unknown-path", [ix(path=["zz"])], 'index "i" path does not match any field in fields_json'),
    ("subfield-path", [ix(path=["o", "x"])],
     'index "i" path does not match any field in fields_json'),
    ("optional-list", [ix(path=["ol"])],
     'index "i" path must resolve to a scalar field (not list or object root)'),
    ("object-root", [ix(path=["o"])],
     'index "i" path must resolve to a scalar field (not list or object root)'),
    ("no-kind", [{"name": "i", "path": ["s"]}], 'index missing "kind" or kind is not a string'),
    ("kind-case", [ix(kind="Unique")],
     'index "i": kind must be "unique", "index", or "non_unique" (got "Unique")'),
    ("parse", "[", " at line 1 column 1"),
]


@pytest.mark.parametrize("indexes,text", [m[1:] for m in INDEX_MESSAGES],
                         ids=[m[0] for m in INDEX_MESSAGES])
def test_index_messages(indexes, text):
    message = index_error(indexes)
    assert message.endswith(text) if text.startswith(" at line") else message == text


def test_fields_are_checked_before_indexes():
    assert index_error([1], [{}]) == 'missing "path"'


@pytest.mark.parametrize("kind,unique", [("unique", True), ("index", False), ("non_unique", False)])
def test_index_kinds(kind, unique):
    db = register(json.dumps([ID, {"path": ["oe"], "type": {"optional": {"enum": ["a"]}}}]),
                  json.dumps([{"name": " i ", "path": ["oe"], "kind": kind}]))
    db.insert("c", {"id": 1, "oe": "a"})
    if unique:
        with pytest.raises(ValueError):
            db.insert("c", {"id": 2, "oe": "a"})
    else:
        db.insert("c", {"id": 2, "oe": "a"})


@pytest.mark.parametrize("blank", [None, "", "  \n\u3000"])
def test_blank_indexes_mean_none(blank):
    db = register(json.dumps([ID, {"path": ["s"], "type": "string"}]), blank)
    db.insert("c", {"id": 1, "s": "x"})
    db.insert("c", {"id": 2, "s": "x"})
