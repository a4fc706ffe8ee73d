"""A call aborted inside the engine poisons that database's mutex, and only that one."""
import subprocess
import sys
import textwrap

# Runs in a child process: the address-space limit that provokes the fault must not touch the
# test runner. The row's bytes fit once (the converted copy) but not twice (the engine's record
# payload), so the allocation fails inside the engine call while the mutex is held.
CHILD = textwrap.dedent(
    """
    import os, resource
    import quarn

    db = quarn.Database.open_in_memory()
    db.register_collection(
        "c", '[{"path":["id"],"type":"int64"},{"path":["b"],"type":"bytes"}]', "id")
    size = 256 * 1024 * 1024
    blob = bytes(size)
    with open("/proc/self/statm") as f:
        in_use = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (in_use + size + size // 2, hard))
    try:
        db.insert("c", {"id": 1, "b": blob})
        print("no-fault")
    except MemoryError:
        print("memory-error")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    del blob
    for call in (db.path, lambda: db.get("c", 1), lambda: db.transaction().__enter__(),
                 db.collection_names):
        try:
            call()
            print("healthy")
        except RuntimeError as e:
            print(type(e).__name__, e)
    fresh = quarn.Database.open_in_memory()
    print("fresh", fresh.path())
    """
)


def test_internal_fault_under_the_mutex_poisons_it():
    out = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "memory-error"
    poisoned = "RuntimeError database lock poisoned: poisoned lock: another task failed inside"
    assert lines[1:5] == [poisoned] * 4
    assert lines[5] == "fresh :memory:"
