#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang in build-fuzz/ and runs each for a
# bounded time, as many at once as there are cores, on a copy of its seed corpus in a
# temporary directory. Fails when any target finds a crash, a leak, a hang or a sanitizer
# report; the input that did it is kept in build-fuzz/artifacts/.
# Usage: scripts/fuzz.sh [seconds per target (15)]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
secs=${1:-15}
jobs=$(nproc)

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (Debian packages clang and libclang-rt-14-dev)" >&2
  exit 1
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DLB_FUZZ=ON -DLB_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz -j"$jobs"

# The targets write files of their own (the XML one its work files): on tmpfs when there is one.
base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/lb_fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts=$build/artifacts
rm -rf "$artifacts"
mkdir -p "$artifacts"

names=()
for src in "$root"/tests/fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  names+=("${name#fuzz_}")
done

run() {
  local name=$1 bin=$build/fuzz/fuzz_$1
  local corpus=$work/corpus/$name
  mkdir -p "$corpus" "$work/tmp/$name" "$artifacts/$name"
  if [ ! -x "$bin" ]; then
    echo "no executable $bin: is the target listed in tests/fuzz/CMakeLists.txt?" >"$work/$name.log"
    echo 1 >"$work/$name.rc"
    return
  fi
  cp -R "$root/tests/fuzz/corpus/$name/." "$corpus/" 2>/dev/null || true
  local rc=0
  TMPDIR=$work/tmp/$name "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name/" "$corpus" >"$work/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$work/$name.rc"
}

running=0
for name in "${names[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  run "$name" &
  running=$((running + 1))
done
wait

passed=0
failed=0
for name in "${names[@]}"; do
  log=$work/$name.log
  rc=$(cat "$work/$name.rc" 2>/dev/null || echo 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  if [ "$rc" = 0 ]; then
    passed=$((passed + 1))
    printf 'fuzz_%s: passed, %s executions, %s exec/s\n' "$name" "${runs:-?}" "${rate:-?}"
  else
    failed=$((failed + 1))
    printf 'fuzz_%s: FAILED (exit %s), %s executions, %s exec/s\n' "$name" "$rc" "${runs:-?}" "${rate:-?}"
    grep -v '^#[0-9]' "$log" | tail -40 | sed 's/^/  /'
    echo "  input kept in $artifacts/$name/"
  fi
done
rmdir "$artifacts"/* "$artifacts" 2>/dev/null || true
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
