#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: every test in the normal build, then the
# unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzz
# targets of the library's parsers for a bounded time (scripts/fuzz.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

bash "$root/scripts/setup.sh" "$root/build"
ctest --test-dir "$root/build" -j"$jobs" --output-on-failure

bash "$root/scripts/setup.sh" "$root/build-asan" -DLB_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/build-asan" -j"$jobs" -L unit --output-on-failure

bash "$root/scripts/fuzz.sh"
