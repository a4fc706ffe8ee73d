"""The module's identity."""
import quarn


def test_version():
    assert quarn.__version__ == "0.13.0"


def test_doc_is_set():
    assert isinstance(quarn.__doc__, str) and quarn.__doc__
