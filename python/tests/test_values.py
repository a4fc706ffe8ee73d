"""Python values to rows and back: ranges, classes, byte and UUID forms, lists and objects."""
import uuid

import pytest

from conftest import fields

U = uuid.UUID("12345678-1234-5678-1234-567812345678")


@pytest.fixture
def db(mem_db):
    mem_db.register_collection(
        "v",
        fields(
            ("id", "int64"),
            ("b", {"optional": "bool"}),
            ("i", {"optional": "int64"}),
            ("u", {"optional": "uint64"}),
            ("f", {"optional": "float64"}),
            ("s", {"optional": "string"}),
            ("by", {"optional": "bytes"}),
            ("uu", {"optional": "uuid"}),
            ("ts", {"optional": "timestamp"}),
            ("e", {"optional": {"enum": ["x", "y"]}}),
            ("l", {"list": "int64"}),
            ("o", {"optional": {"object": [
                {"path": ["a"], "type": "int64"},
                {"path": ["b"], "type": {"optional": "string"}},
            ]}}),
        ),
        "id",
    )
    return mem_db


def roundtrip(db, field, value):
    db.insert("v", {"id": 1, "l": [], field: value})
    return db.get("v", 1)[field]


class Index:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 2.5


ACCEPTED = [
    ("bool-true", "b", True, True),
    ("bool-as-int", "i", True, 1),
    ("bool-as-float", "f", True, 1.0),
    ("index-hook", "i", Index(), 7),
    ("i64-min", "i", -(2**63), -(2**63)),
    ("u64-max", "u", 2**64 - 1, 2**64 - 1),
    ("int-as-float", "f", 3, 3.0),
    ("float-hook", "f", Floaty(), 2.5),
    ("string", "s", "héllo", "héllo"),
    ("bytes", "by", b"\x00\xff", b"\x00\xff"),
    ("bytearray", "by", bytearray(b"ab"), b"ab"),
    ("tuple-of-ints", "by", (1, 2, 3), b"\x01\x02\x03"),
    ("memoryview", "by", memoryview(b"xy"), b"xy"),
    ("timestamp-plain-int", "ts", 1700000000, 1700000000),
    ("enum-any-str-here", "e", "x", "x"),
    ("none-for-optional", "s", None, None),
    ("list", "l", [1, 2, 3], [1, 2, 3]),
]


@pytest.mark.parametrize("field,value,back", [a[1:] for a in ACCEPTED], ids=[a[0] for a in ACCEPTED])
def test_accepted_values_round_trip(db, field, value, back):
    out = roundtrip(db, field, value)
    assert out == back and type(out) is type(back)


REFUSED = [
    ("int-for-bool", "b", 1, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ("i64-overflow", "i", 2**63, OverflowError, None),
    ("u64-negative", "u", -1, OverflowError, None),
    ("u64-overflow", "u", 2**64, OverflowError, None),
    ("float-for-int", "i", 1.5, TypeError, None),
    ("str-for-int", "i", "1", TypeError, None),
    ("huge-int-for-float", "f", 10**400, OverflowError, None),
    ("int-for-string", "s", 5, TypeError, "'int' object cannot be converted to 'PyString'"),
    ("str-for-bytes", "by", "ab", TypeError, "Can't extract `str` to `Vec`"),
    ("int-for-bytes", "by", 5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ("byte-out-of-range", "by", [1, 2, 256], OverflowError,
     "out of range integral type conversion attempted"),
    ("negative-byte", "by", [-1], OverflowError, "out of range integral type conversion attempted"),
    ("non-int-byte", "by", [1.0], TypeError, None),
    ("uuid-15-bytes", "uu", bytes(15), ValueError, "uuid must be 16 bytes"),
    ("uuid-bad-text", "uu", "not-a-uuid", ValueError, "badly formed hexadecimal UUID string"),
    # Sixteen items that are not bytes are no byte form: the text form is tried and refuses.
    ("uuid-16-char-text", "uu", "0123456789abcdeg", ValueError,
     "badly formed hexadecimal UUID string"),
    ("uuid-16-non-int-items", "uu", [1.0] * 16, AttributeError,
     "'list' object has no attribute 'replace'"),
    ("uuid-16-large-items", "uu", [256] * 16, AttributeError,
     "'list' object has no attribute 'replace'"),
    ("tuple-for-list", "l", (1, 2), ValueError, "expected list for list type"),
    ("none-for-list", "l", None, ValueError, "expected list for list type"),
    ("int-for-enum", "e", 5, ValueError, "expected string for enum"),
    ("lone-surrogate-enum", "e", "\udc80", ValueError, "expected string for enum"),
    ("list-for-object", "o", [1], ValueError, "expected dict for object type"),
    ("object-missing-required", "o", {}, ValueError, 'missing object field "a"'),
    ("object-none-required", "o", {"a": None}, ValueError,
     'unexpected None for required field "a"'),
    ("object-unknown-key", "o", {"a": 1, "c": 2}, ValueError, 'unknown field in object: "c"'),
    ("object-missing-beats-unknown", "o", {"c": 2}, ValueError, 'missing object field "a"'),
    ("object-non-str-key", "o", {"a": 1, 5: 2}, TypeError,
     "'int' object cannot be converted to 'PyString'"),
    ("list-item", "l", [1, "x"], TypeError, None),
]


@pytest.mark.parametrize("field,value,cls,text", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_refused_values(db, field, value, cls, text):
    with pytest.raises(Exception) as excinfo:
        db.insert("v", {"id": 1, "l": [], field: value})
    assert excinfo.type is cls
    if text is not None:
        assert str(excinfo.value) == text
    assert db.get("v", 1) is None


@pytest.mark.parametrize(
    "form", [U, U.bytes, list(U.bytes), tuple(U.bytes), bytearray(U.bytes), str(U), U.hex,
             "{" + str(U) + "}", "urn:uuid:" + str(U)],
    ids=["uuid", "bytes", "list", "tuple", "bytearray", "hyphens", "hex", "braces", "urn"])
def test_uuid_input_forms_agree(db, form):
    out = roundtrip(db, "uu", form)
    assert out == U and type(out) is uuid.UUID


def test_object_subfields(db):
    assert roundtrip(db, "o", {"a": 1}) == {"a": 1, "b": None}
    assert roundtrip(db, "o", {"b": "x", "a": 2}) == {"a": 2, "b": "x"}


def test_dict_keys_come_back_in_byte_order(mem_db):
    mem_db.register_collection("k", fields(("id", "int64"), ("b", "int64"), ("B", "int64"),
                                           ("a", "int64")), "id")
    mem_db.insert("k", {"id": 1, "a": 1, "b": 2, "B": 3})
    assert list(mem_db.get("k", 1)) == ["B", "a", "b", "id"]


def test_float_specials_round_trip(db):
    assert roundtrip(db, "f", float("inf")) == float("inf")
    nan = roundtrip(db, "f", float("nan"))
    assert nan != nan


def test_row_key_not_str(db):
    with pytest.raises(TypeError) as excinfo:
        db.insert("v", {"id": 1, 2: 3})
    assert str(excinfo.value) == "'int' object cannot be converted to 'PyString'"


def test_two_segment_field_is_not_a_row_key(mem_db):
    mem_db.register_collection(
        "n", fields(("id", "int64"), {"path": ["a", "b"], "type": "int64"}), "id")
    with pytest.raises(ValueError) as excinfo:
        mem_db.insert("n", {"id": 1, "a": {"b": 1}})
    assert str(excinfo.value) == 'unknown field "a"'


def test_list_shrunk_by_a_hook_while_converting(db):
    items = [1, 2, 3]

    class Shrinker:
        def __index__(self):
            del items[1:]
            return 0

    items[0] = Shrinker()
    assert roundtrip(db, "l", items) == [0]


def test_dict_changed_by_a_hook_fails_cleanly(db):
    row = {"id": 1, "l": []}

    class Grower:
        def __index__(self):
            row["s"] = "added"
            return 5

    row["i"] = Grower()
    with pytest.raises(RuntimeError):
        db.insert("v", row)
    assert db.get("v", 1) is None
