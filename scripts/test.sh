#!/usr/bin/env bash
# Builds quarn and runs every test: the engine suite, the engine suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the engine tests that run threads under
# ThreadSanitizer, every fuzz target briefly on its seed corpus, then the Python suite against the
# installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
py=${PYTHON:-python3}
jobs=$(nproc)

build_and_test() {
  local dir=$1
  shift
  # Every test file, whatever an earlier configure of this directory chose.
  cmake -S . -B "$dir" -G Ninja -DQUARN_BUILD_PYTHON=OFF -DQUARN_WERROR=ON -DQUARN_TEST_SOURCES= "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

echo "== formatting"
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror

echo "== engine tests"
build_and_test build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== engine tests under ASan and UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build/asan -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON

echo "== engine tests that run threads, under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 build_and_test build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARN_TSAN=ON "-DQUARN_TEST_SOURCES=db_replay_test.cc;db_open_test.cc"

echo "== fuzz targets (brief)"
bash scripts/fuzz.sh 8

echo "== Python tests"
"$py" -m pip install -q --no-build-isolation . 
"$py" -m pytest -q python/tests
