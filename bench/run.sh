#!/usr/bin/env bash
# Benchmarks catchr/pitchr against a zero-copy pair, an nc pair and an rsync daemon, on loopback inside a
# private network namespace. Not part of the test suite: bash bench/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
need=()
command -v nc >/dev/null || need+=(netcat-openbsd)
command -v rsync >/dev/null || need+=(rsync)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
bash "$root/scripts/setup.sh" "$root/build" >/dev/null
# The zero-copy reference pair, built here: it is a yardstick, not part of the project.
cc -O2 -Wall -o "$root/build/bench-zc" "$root/bench/zc.c"
exec "$root/tests/e2e/netns.sh" bash "$root/bench/inner.sh" "$root/build/bin" "$root/build/bench-zc"
