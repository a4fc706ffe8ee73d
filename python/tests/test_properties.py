"""Properties over random histories: the database agrees with a dict after every step and after
a round trip through snapshot bytes, and a unique index never holds one value twice."""
import json

from hypothesis import given, settings
from hypothesis import strategies as st

import quarn

FIELDS = json.dumps(
    [
        {"path": ["id"], "type": "int64"},
        {"path": ["tag"], "type": "string"},
        {"path": ["n"], "type": {"optional": "int64"}},
    ]
)
INDEXES = json.dumps([{"name": "by_tag", "path": ["tag"], "kind": "unique"}])

ops = st.lists(
    st.one_of(
        st.tuples(st.just("put"), st.integers(-5, 5), st.sampled_from("abcdef"),
                  st.none() | st.integers(-(2**63), 2**63 - 1)),
        st.tuples(st.just("del"), st.integers(-5, 5)),
        st.tuples(st.just("txn"), st.booleans()),
    ),
    max_size=40,
)


def apply(db, model, op):
    """One step on the database and on the model; the model refuses what a unique index does."""
    if op[0] == "put":
        _, pk, tag, n = op
        owner = next((k for k, row in model.items() if row["tag"] == tag), None)
        row = {"id": pk, "tag": tag, "n": n}
        if owner is not None and owner != pk:
            try:
                db.insert("t", row)
            except ValueError as e:
                assert str(e) == "unique index violation"
                return
            raise AssertionError("duplicate unique value accepted")
        db.insert("t", row)
        model[pk] = row
    elif op[0] == "del":
        db.delete("t", op[1])
        model.pop(op[1], None)


@settings(max_examples=60, deadline=None)
@given(ops)
def test_database_matches_a_dict_model(history):
    db = quarn.Database.open_in_memory()
    db.register_collection("t", FIELDS, "id", INDEXES)
    model = {}
    for op in history:
        if op[0] == "txn":
            # A transaction of two steps of its own kind, committed or rolled back.
            staged = dict(model)
            try:
                with db.transaction():
                    apply(db, staged, ("put", 9, "z", None))
                    apply(db, staged, ("del", 0))
                    if not op[1]:
                        raise KeyError("roll back")
            except KeyError:
                staged = model
            model = staged
        else:
            apply(db, model, op)
        for pk in range(-5, 10):
            assert db.get("t", pk) == model.get(pk)
    copy = quarn.Database.open_snapshot_bytes(db.snapshot_bytes())
    rows = sorted(copy.collection("t").all(), key=lambda row: row["id"])
    assert rows == [model[pk] for pk in sorted(model)]
