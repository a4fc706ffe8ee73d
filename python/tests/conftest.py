"""Shared fixtures for the Python suite."""
import pytest


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.qdb")
