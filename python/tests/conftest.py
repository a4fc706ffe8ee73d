"""Shared fixtures for the Python suite."""
import json

import pytest

import quarn


def pytest_addoption(parser):
    parser.addoption(
        "--kill-runs",
        type=int,
        default=20,
        help="how many times test_kill.py kills a committing child process (default 20)",
    )
    parser.addoption(
        "--shared-seconds",
        type=float,
        default=2.0,
        help="how long each process scenario of test_shared_file.py runs (default 2 seconds)",
    )


@pytest.fixture
def kill_runs(request):
    return request.config.getoption("--kill-runs")


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.qdb")


@pytest.fixture
def mem_db():
    return quarn.Database.open_in_memory()


@pytest.fixture
def file_db(db_path):
    return quarn.Database.open(db_path)


def fields(*defs):
    """fields_json text from (name, type) pairs or whole field objects."""
    out = []
    for d in defs:
        out.append(d if isinstance(d, dict) else {"path": [d[0]], "type": d[1]})
    return json.dumps(out)


# The collection the adapter tests query.
PLAYERS_FIELDS = json.dumps(
    [
        {"path": ["id"], "type": "int64"},
        {"path": ["name"], "type": "string"},
        {"path": ["score"], "type": "float64"},
        {"path": ["team"], "type": {"optional": "string"}},
        {"path": ["info"], "type": {"object": [{"path": ["city"], "type": "string"}]}},
    ]
)
