"""What open, connect and compact do with the file system: paths that are not regular files,
empty files with other links, and relative paths after the working directory changes."""
import os
import socket
import stat

import pytest

import quarn
from quarn import dbapi

from conftest import fields

T = fields(("id", "int64"), ("v", "int64"))
OPENERS = [quarn.Database.open, dbapi.connect]


def make_fifo(path):
    os.mkfifo(path)


def make_socket(path):
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(path)
    sock.close()


@pytest.mark.parametrize("opener", OPENERS, ids=["open", "connect"])
@pytest.mark.parametrize("make", [make_fifo, make_socket], ids=["fifo", "socket"])
def test_path_that_is_not_a_regular_file_is_refused_and_left_alone(tmp_path, opener, make):
    path = str(tmp_path / "node")
    make(path)
    link = str(tmp_path / "link")
    os.symlink("node", link)
    for spelling in (path, link):
        with pytest.raises(OSError) as excinfo:
            opener(spelling)
        assert excinfo.type is OSError
        assert str(excinfo.value) == f"database path is not a regular file: {spelling}"
    mode = os.lstat(path).st_mode
    assert not stat.S_ISREG(mode)
    assert sorted(os.listdir(tmp_path)) == ["link", "node"]


def test_directory_is_refused_with_the_systems_error(tmp_path):
    with pytest.raises(OSError) as excinfo:
        quarn.Database.open(str(tmp_path))
    assert str(excinfo.value) == f"{os.strerror(21)} (os error 21)"


@pytest.mark.parametrize("opener", OPENERS, ids=["open", "connect"])
def test_empty_file_with_another_link_keeps_its_inode(tmp_path, opener):
    path = tmp_path / "db.qdb"
    path.write_bytes(b"")
    os.link(path, tmp_path / "other")
    inode = os.stat(path).st_ino
    opener(str(path))
    assert os.stat(path).st_ino == inode
    assert os.stat(path).st_nlink == 2
    db = quarn.Database.open(str(tmp_path / "other"))
    db.register_collection("t", T, "id")
    db.insert("t", {"id": 1, "v": 1})
    del db
    assert quarn.Database.open(str(path)).get("t", 1) == {"id": 1, "v": 1}


def test_relative_path_keeps_naming_its_file_after_chdir(tmp_path, monkeypatch):
    home, elsewhere = tmp_path / "home", tmp_path / "elsewhere"
    home.mkdir()
    elsewhere.mkdir()
    quarn.Database.open(str(elsewhere / "db.qdb")).register_collection("other", T, "id")
    other_image = (elsewhere / "db.qdb").read_bytes()

    monkeypatch.chdir(home)
    db = quarn.Database.open("db.qdb")
    db.register_collection("t", T, "id")
    for v in range(5):
        db.insert("t", {"id": 1, "v": v})
    size = (home / "db.qdb").stat().st_size
    monkeypatch.chdir(elsewhere)
    db.compact()
    db.insert("t", {"id": 2, "v": 2})
    assert db.path() == "db.qdb"

    assert (elsewhere / "db.qdb").read_bytes() == other_image
    assert sorted(os.listdir(elsewhere)) == ["db.qdb"]
    assert sorted(os.listdir(home)) == ["db.qdb"]
    assert (home / "db.qdb").stat().st_size < size
    del db
    again = quarn.Database.open(str(home / "db.qdb"))
    assert again.collection_names() == ["t"]
    assert sorted(r["id"] for r in again.collection("t").all()) == [1, 2]
