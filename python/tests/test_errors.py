"""Engine errors as built-in exceptions, argument errors, and the interface's own refusals."""
import os

import pytest

import quarn
from quarn import dbapi

from conftest import fields

PEOPLE = fields(("id", "int64"), ("name", "string"), ("tags", {"list": "string"}))


@pytest.fixture
def people(mem_db):
    mem_db.register_collection("people", PEOPLE, "id")
    return mem_db


def raised(fn):
    with pytest.raises(Exception) as excinfo:
        fn()
    return excinfo.type, str(excinfo.value)


# (id, call, exception class, exact text)
INTERFACE_MESSAGES = [
    ("unknown-collection", lambda db: db.get("nope", 1), ValueError,
     'unknown collection name "nope"'),
    ("duplicate-collection", lambda db: db.register_collection("people", PEOPLE, "id"),
     ValueError, 'duplicate collection name: "people"'),
    ("wrong-scalar-class", lambda db: db.insert("people", {"id": 1, "name": 5}), TypeError,
     "'int' object cannot be converted to 'PyString'"),
    ("missing-pk", lambda db: db.insert("people", {"name": "x"}), ValueError,
     'insert row missing primary key field "id"'),
    ("unknown-row-field", lambda db: db.insert("people", {"id": 1, "zz": 1}), ValueError,
     'unknown field "zz"'),
    ("row-not-dict", lambda db: db.insert("people", [1]), TypeError,
     "argument 'row': 'list' object cannot be converted to 'PyDict'"),
    ("row-not-dict-before-name", lambda db: db.insert("nope", [1]), TypeError,
     "argument 'row': 'list' object cannot be converted to 'PyDict'"),
    ("name-not-str", lambda db: db.get(1, 1), TypeError,
     "argument 'collection_name': 'int' object cannot be converted to 'PyString'"),
    ("force-none", lambda db: db.register_schema_version("people", PEOPLE, None, None),
     TypeError, "argument 'force': 'NoneType' object cannot be converted to 'PyBool'"),
    ("indexes-not-str", lambda db: db.register_collection("x", PEOPLE, "id", 5), TypeError,
     "argument 'indexes_json': 'int' object cannot be converted to 'PyString'"),
    ("snapshot-not-bytes", lambda db: quarn.Database.open_snapshot_bytes(bytearray(b"")),
     TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("snapshot-memoryview", lambda db: quarn.Database.open_snapshot_bytes(memoryview(b"")),
     TypeError, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("open-bytes-path", lambda db: quarn.Database.open(b"x.qdb"), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("nested", lambda db: (db.transaction().__enter__(), db.transaction().__enter__()),
     RuntimeError, "nested transactions are not supported"),
    ("compact-memory", lambda db: db.compact(), ValueError,
     "compact_in_place is only supported for file-backed databases"),
    ("compact-to-memory", lambda db: db.compact_to("/tmp/x.qdb"), ValueError,
     "compact_to is only supported for file-backed databases"),
    ("bad-snapshot", lambda db: quarn.Database.open_snapshot_bytes(b"XXXX" + bytes(40)),
     ValueError, 'bad magic bytes: expected "QDB0", got [58, 58, 58, 58]'),
    ("multi-segment-insert",
     lambda db: (db.register_collection(
         "deep", fields(("id", "int64"), {"path": ["a", "b"], "type": "int64"}), "id"),
         db.insert("deep", {"id": 1})),
     RuntimeError, "not implemented"),
]


@pytest.mark.parametrize("call,cls,text", [m[1:] for m in INTERFACE_MESSAGES],
                         ids=[m[0] for m in INTERFACE_MESSAGES])
def test_interface_message(people, call, cls, text):
    assert raised(lambda: call(people)) == (cls, text)


def test_no_mapped_message_carries_a_category_prefix(people):
    for call in (lambda: people.get("nope", 1), lambda: people.insert("people", {"name": "x"})):
        _, text = raised(call)
        assert not text.startswith(("schema error: ", "format error: ", "i/o error: "))


def test_validation_error_text_is_passed_through(mem_db):
    mem_db.register_collection(
        "c", fields(("id", "int64"), {"path": ["n"], "type": "int64",
                                      "constraints": [{"min_i64": 10}]}), "id")
    cls, text = raised(lambda: mem_db.insert("c", {"id": 1, "n": 3}))
    assert cls is ValueError and text.startswith("validation error")


def test_open_in_missing_directory_is_plain_oserror(tmp_path):
    with pytest.raises(OSError) as excinfo:
        quarn.Database.open(str(tmp_path / "no" / "such" / "x.qdb"))
    assert excinfo.type is OSError
    assert str(excinfo.value) == f"{os.strerror(2)} (os error 2)"
    assert excinfo.value.errno is None and excinfo.value.filename is None


def test_open_empty_path_is_oserror():
    with pytest.raises(OSError) as excinfo:
        quarn.Database.open("")
    assert excinfo.type is OSError


def test_compact_to_missing_directory_is_prefixed_valueerror(file_db, tmp_path):
    with pytest.raises(ValueError) as excinfo:
        file_db.compact_to(str(tmp_path / "no" / "such" / "x.qdb"))
    assert excinfo.type is ValueError
    assert str(excinfo.value) == f"i/o error: {os.strerror(2)} (os error 2)"


def test_snapshot_of_file_database_is_refused(file_db):
    assert raised(file_db.snapshot_bytes) == (
        ValueError, "snapshot_bytes is only supported for in-memory databases")


def test_names_holding_percent_signs_are_not_formats(mem_db):
    mem_db.register_collection("%s%n%d", PEOPLE, "id")
    assert raised(lambda: mem_db.register_collection("%s%n%d", PEOPLE, "id")) == (
        ValueError, 'duplicate collection name: "%s%n%d"')


ARITY = [
    ("missing-one", lambda db: db.get("people"),
     "Database.get() missing 1 required positional argument: 'pk'"),
    ("missing-two", lambda db: db.get(),
     "Database.get() missing 2 required positional arguments: 'collection_name' and 'pk'"),
    ("missing-three", lambda db: db.backfill_top_level_field(),
     "Database.backfill_top_level_field() missing 3 required positional arguments: "
     "'collection_name', 'field', and 'value'"),
    ("too-many", lambda db: db.get("people", 1, 2),
     "Database.get() takes 2 positional arguments but 3 were given"),
    ("none-expected", lambda db: db.path(1),
     "Database.path() takes 0 positional arguments but 1 was given"),
    ("unknown-keyword", lambda db: db.get("people", pk=1, extra=2),
     "Database.get() got an unexpected keyword argument 'extra'"),
    ("twice", lambda db: db.get("people", collection_name="people"),
     "Database.get() got multiple values for argument 'collection_name'"),
    ("static", lambda db: quarn.Database.open(),
     "Database.open() missing 1 required positional argument: 'path'"),
    ("exit-too-many", lambda db: db.transaction().__exit__(1, 2, 3, 4),
     "Transaction.__exit__() takes 3 positional arguments but 4 were given"),
]


@pytest.mark.parametrize("call,text", [a[1:] for a in ARITY], ids=[a[0] for a in ARITY])
def test_arity_errors(people, call, text):
    assert raised(lambda: call(people)) == (TypeError, text)


def test_str_subclass_arguments_are_accepted(people):
    class Name(str):
        pass

    people.insert(Name("people"), {"id": 1, "name": "a", "tags": []})
    assert people.get(Name("people"), 1)["name"] == "a"


def test_lone_surrogate_argument_raises_unicode_error(people):
    with pytest.raises(UnicodeEncodeError):
        people.get("\udc80", 1)


# Conversions of a caller's objects let an interrupt raised by the object's own hooks pass as it
# is; only the errors a conversion means to handle (a wrong class, say) become its own error.
class Items:
    """A sequence of items whose hooks named in `raising` raise KeyboardInterrupt."""

    def __init__(self, items, *raising):
        self.items = list(items)
        self.raising = raising

    def __len__(self):
        if "len" in self.raising:
            raise KeyboardInterrupt
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if "iter" in self.raising:
            raise KeyboardInterrupt
        return iter(self.items)


class Interrupting:
    """A number whose conversion hooks raise KeyboardInterrupt."""

    def __index__(self):
        raise KeyboardInterrupt

    def __float__(self):
        raise KeyboardInterrupt


class InterruptingModule(type):
    @property
    def __module__(cls):
        raise KeyboardInterrupt


class OddClass(metaclass=InterruptingModule):
    """Asking its class for its module (as the bool check does) raises KeyboardInterrupt."""


class LenInterruptingList(list):
    def __len__(self):
        raise KeyboardInterrupt


class IterInterruptingList(list):
    def __iter__(self):
        raise KeyboardInterrupt


ALL_KINDS = fields(
    ("id", "int64"),
    ("b", {"optional": "bool"}),
    ("f", {"optional": "float64"}),
    ("by", {"optional": "bytes"}),
    ("uu", {"optional": "uuid"}),
    ("l", {"optional": {"list": "int64"}}),
    ("o", {"optional": {"object": [{"path": ["a"], "type": "int64"}]}}),
)


@pytest.fixture
def kinds(db_path):
    """A file database with one row of collection "v", and a DB-API cursor on the same file."""
    db = quarn.Database.open(db_path)
    db.register_collection("v", ALL_KINDS, "id")
    db.insert("v", {"id": 1})
    return db, dbapi.connect(db_path).cursor()


def row_with(**values):
    return {"id": 2, **values}


# (id, call on (database, cursor)).
INTERRUPTED = [
    ("where-path-iter", lambda db, cur: db.collection("v").where(Items(["id"], "iter"), 1)),
    ("where-path-len", lambda db, cur: db.collection("v").where(Items(["id"], "len"), 1)),
    ("where-value", lambda db, cur: db.collection("v").where("id", Interrupting())),
    ("and-where-path",
     lambda db, cur: db.collection("v").where("id", 1).and_where(Items(["id"], "iter"), 1)),
    ("all-fields-item-path", lambda db, cur: db.collection("v").all([Items(["id"], "iter")])),
    ("all-fields-one-path", lambda db, cur: db.collection("v").all(fields=Items(["id"], "iter"))),
    ("all-fields-list-len", lambda db, cur: db.collection("v").all(LenInterruptingList(["id"]))),
    ("query-all-fields", lambda db, cur: db.collection("v").where("id", 1).all([Items(["id"], "len")])),
    ("limit", lambda db, cur: db.collection("v").where("id", 1).limit(Interrupting())),
    ("limit-keyword", lambda db, cur: db.collection("v").where("id", 1).limit(n=Interrupting())),
    ("insert-int", lambda db, cur: db.insert("v", {"id": Interrupting()})),
    ("insert-float", lambda db, cur: db.insert("v", row_with(f=Interrupting()))),
    ("insert-bool-class", lambda db, cur: db.insert("v", row_with(b=OddClass()))),
    ("insert-bytes-len", lambda db, cur: db.insert("v", row_with(by=Items([1, 2], "len")))),
    ("insert-bytes-iter", lambda db, cur: db.insert("v", row_with(by=Items([1, 2], "iter")))),
    ("insert-bytes-item", lambda db, cur: db.insert("v", row_with(by=[Interrupting()]))),
    ("insert-uuid-len", lambda db, cur: db.insert("v", row_with(uu=Items(range(16), "len")))),
    ("insert-uuid-iter", lambda db, cur: db.insert("v", row_with(uu=Items(range(16), "iter")))),
    ("insert-uuid-item", lambda db, cur: db.insert("v", row_with(uu=[0] * 15 + [Interrupting()]))),
    ("insert-list-item", lambda db, cur: db.insert("v", row_with(l=[Interrupting()]))),
    ("insert-object-value", lambda db, cur: db.insert("v", row_with(o={"a": Interrupting()}))),
    ("get-pk", lambda db, cur: db.get("v", Interrupting())),
    ("delete-pk", lambda db, cur: db.delete("v", Interrupting())),
    ("backfill-value", lambda db, cur: db.backfill_top_level_field("v", "f", Interrupting())),
    ("force-keyword",
     lambda db, cur: db.register_schema_version("v", ALL_KINDS, force=OddClass())),
    ("sql-params-sequence",
     lambda db, cur: cur.execute("SELECT * FROM v WHERE id = ?", IterInterruptingList([1]))),
    ("sql-param-value", lambda db, cur: cur.execute("SELECT * FROM v WHERE id = ?", [Interrupting()])),
    ("fetchmany-size", lambda db, cur: cur.fetchmany(Interrupting())),
    ("fetchmany-size-keyword", lambda db, cur: cur.fetchmany(size=Interrupting())),
]


@pytest.mark.parametrize("call", [i[1] for i in INTERRUPTED], ids=[i[0] for i in INTERRUPTED])
def test_interrupt_in_a_conversion_hook_passes_unchanged(kinds, call):
    db, cur = kinds
    with pytest.raises(KeyboardInterrupt) as excinfo:
        call(db, cur)
    assert excinfo.type is KeyboardInterrupt
    # Raised before the engine was asked: nothing written, nothing poisoned.
    assert db.collection("v").all() == [
        {"id": 1, "b": None, "f": None, "by": None, "uu": None, "l": None, "o": None}
    ]
    cur.execute("SELECT id FROM v")
    assert cur.fetchall() == [(1,)]
