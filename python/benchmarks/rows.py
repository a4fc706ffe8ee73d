"""The benchmarks' row shape: random int64 keys, a name shared by about 20 rows (indexed), an
int in [0, 1000), a float and 16 bytes."""
import json
import random

FIELDS = json.dumps([
    {"path": ["id"], "type": "int64"},
    {"path": ["name"], "type": "string"},
    {"path": ["ival"], "type": "int64"},
    {"path": ["fval"], "type": "float64"},
    {"path": ["blob"], "type": "bytes"},
])
INDEXES = json.dumps([{"name": "by_name", "path": ["name"], "kind": "index"}])


def make_rows(n, seed=1):
    rng = random.Random(seed)
    names = max(1, n // 20)
    pks = rng.sample(range(1, 1 << 62), n)
    return [{"id": pk, "name": "user%06d" % rng.randrange(names), "ival": rng.randrange(1000),
             "fval": rng.random() * 1000.0, "blob": rng.getrandbits(128).to_bytes(16, "little")}
            for pk in pks]
