"""The typing stub describes exactly the module's public members and their parameters."""
import ast
import inspect
import pathlib

import pytest

import quarn

STUB = pathlib.Path(__file__).resolve().parents[1] / "quarn.pyi"


def stub_classes():
    """{class name: {method name: [parameter names]}} for every class of the stub."""
    tree = ast.parse(STUB.read_text())
    classes = {}

    def visit(body):
        for node in body:
            if isinstance(node, ast.ClassDef):
                if node.name == "_DbApi":
                    visit(node.body)
                    continue
                methods = {}
                for item in node.body:
                    if isinstance(item, ast.FunctionDef):
                        args = [a.arg for a in item.args.args]
                        methods[item.name] = args
                classes[node.name] = methods

    visit(tree.body)
    return classes


def real_classes():
    return {
        "Database": quarn.Database,
        "Transaction": quarn.Transaction,
        "Collection": quarn.Collection,
        "Query": quarn.Query,
        "Connection": quarn.dbapi.Connection,
        "Cursor": quarn.dbapi.Cursor,
    }


def public_members(cls):
    return {
        name
        for name in vars(cls)
        if not name.startswith("_") or name in ("__enter__", "__exit__")
    }


def test_stub_names_every_class():
    assert set(stub_classes()) == set(real_classes())


@pytest.mark.parametrize("name", sorted(real_classes()))
def test_stub_lists_exactly_the_real_members(name):
    assert set(stub_classes()[name]) == public_members(real_classes()[name])


@pytest.mark.parametrize(
    "cls_name,method",
    [
        (cls_name, method)
        for cls_name, methods in sorted(stub_classes().items())
        for method in sorted(methods)
        if method != "description"
    ],
)
def test_stub_parameters_match_the_signatures(cls_name, method):
    stub_params = [p for p in stub_classes()[cls_name][method] if p != "self"]
    real = inspect.signature(getattr(real_classes()[cls_name], method))
    real_params = [p for p in real.parameters if p not in ("self", "$self")]
    assert real_params == stub_params


def test_stub_connect_matches():
    assert list(inspect.signature(quarn.dbapi.connect).parameters) == ["path"]
