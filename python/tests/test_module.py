"""The module's layout and the shape of its classes."""
import inspect
import sys
import weakref

import pytest

import quarn

CLASSES = [quarn.Database, quarn.Transaction, quarn.Collection, quarn.Query]


def test_version():
    assert quarn.__version__ == "0.13.0"


def test_doc_is_set():
    assert isinstance(quarn.__doc__, str) and quarn.__doc__


def test_all_lists_dbapi_twice_in_add_order():
    assert quarn.__all__ == [
        "__doc__", "__version__", "Database", "Transaction", "Collection", "Query",
        "dbapi", "dbapi",
    ]


def test_star_import_binds_doc_and_version():
    namespace = {}
    exec("from quarn import *", namespace)
    assert namespace["__version__"] == "0.13.0"
    assert namespace["__doc__"] == quarn.__doc__
    assert namespace["Database"] is quarn.Database


def test_dbapi_is_an_attribute_not_a_loaded_module():
    from quarn import dbapi

    assert dbapi is quarn.dbapi
    assert dbapi.__name__ == "dbapi"
    assert "quarn.dbapi" not in sys.modules and "dbapi" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        __import__("quarn.dbapi")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_has_no_constructor(cls):
    with pytest.raises(TypeError) as excinfo:
        cls()
    assert excinfo.type is TypeError
    assert str(excinfo.value) == f"No constructor defined for {cls.__name__}"
    # __new__ is refused too, so no half-made instance can reach a method.
    with pytest.raises(TypeError):
        cls.__new__(cls)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_is_final_and_bare_named(cls):
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_take_no_attributes_or_weak_references(mem_db):
    for obj in (mem_db, mem_db.transaction()):
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)


def test_type_name_in_interpreter_messages_is_bare(mem_db):
    with pytest.raises(TypeError) as excinfo:
        int(mem_db)
    assert str(excinfo.value).endswith("not 'Database'")


SIGNATURES = [
    ("open", "(path)"),
    ("open_in_memory", "()"),
    ("open_snapshot_bytes", "(data)"),
    ("path", "(self, /)"),
    ("register_collection", "(self, /, name, fields_json, primary_field, indexes_json=None)"),
    ("collection_names", "(self, /)"),
    ("collection", "(self, /, name)"),
    ("insert", "(self, /, collection_name, row)"),
    ("delete", "(self, /, collection_name, pk)"),
    ("register_schema_version",
     "(self, /, collection_name, fields_json, indexes_json=None, force=False)"),
    ("plan_schema_version", "(self, /, collection_name, fields_json, indexes_json=None)"),
    ("backfill_top_level_field", "(self, /, collection_name, field, value)"),
    ("rebuild_indexes", "(self, /, collection_name)"),
    ("get", "(self, /, collection_name, pk)"),
    ("snapshot_bytes", "(self, /)"),
    ("compact_to", "(self, /, dest_path)"),
    ("compact", "(self, /)"),
    ("transaction", "(self, /)"),
]


@pytest.mark.parametrize("name,signature", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_database_method_signatures(name, signature):
    assert str(inspect.signature(getattr(quarn.Database, name))) == signature


def test_transaction_signatures():
    assert str(inspect.signature(quarn.Transaction.__enter__)) == "(self, /)"
    assert str(inspect.signature(quarn.Transaction.__exit__)) == (
        "(self, /, exc_type=None, _exc_value=None, _traceback=None)"
    )


def test_methods_accept_keywords(mem_db):
    mem_db.register_collection(
        name="t", fields_json='[{"path":["id"],"type":"int64"}]', primary_field="id"
    )
    mem_db.insert(collection_name="t", row={"id": 1})
    assert mem_db.get(pk=1, collection_name="t") == {"id": 1}
