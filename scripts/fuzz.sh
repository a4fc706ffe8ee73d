#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each on a copy of its seed corpus, so a run never writes into the repository.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default: 60 seconds, every target)
# FUZZ_WORK=DIR keeps the grown corpora and any crashing inputs in DIR (default: a temporary
# directory; crashing inputs are then copied to build/fuzz/findings/). Exits 1 on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in core/fuzz/*_fuzz.cc; do
    f=${f##*/}
    targets+=("${f%_fuzz.cc}")
  done
fi

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARN_FUZZ=ON -DQUARN_BUILD_PYTHON=OFF -DQUARN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

work=${FUZZ_WORK:-}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

# Leaks, unbounded allocation (over 2 GiB) and a single input running 10 seconds are findings.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
TIMEFORMAT='%U %S'
failed=()
for t in "${targets[@]}"; do
  dir=$work/$t
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp -n core/fuzz/corpus/"$t"/* "$dir/corpus/"
  status=ok
  # The time limit is wall-clock; the CPU seconds the target got are reported beside it.
  if ! { time "$build/core/fuzz/${t}_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -malloc_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1; } 2>"$dir/cpu"; then
    status=FAILED
    failed+=("$t")
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$dir/log" | tail -1 || true)
  cpu=$(awk '{printf "%.0f", $1 + $2}' "$dir/cpu" 2>/dev/null || true)
  printf '%-20s %s  %ss wall, %ss cpu  %s runs  %s\n' "$t" "$status" "$seconds" "${cpu:-?}" \
    "${runs:-?}" "${cov:-}"
  if [ "$status" != ok ]; then
    grep -E 'ERROR|SUMMARY|Test unit written|==[0-9]+==' "$dir/log" | head -20 | sed 's/^/    /'
    if [ -z "${FUZZ_WORK:-}" ]; then
      mkdir -p "$build/findings/$t"
      cp "$dir"/artifacts/* "$build/findings/$t/" 2>/dev/null || true
      cp "$dir/log" "$build/findings/$t/log"
    fi
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz findings in: ${failed[*]}"
  exit 1
fi
