#!/usr/bin/env bash
# Builds the programs (without the tests, in build-app/) and sends files:
# scripts/pitchr.sh [pitchr options] FILE-SPEC... [TO:DIR] [ADDRESS[:PORT]] [PORT]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# The build is quiet; say why nothing happens meanwhile (about 40 s on two cores the first
# time, a moment once built).
echo "Building catchr and pitchr (under a minute the first time)..." >&2
bash "$root/scripts/setup.sh" "$root/build-app" -DLB_TESTS=OFF >/dev/null
exec "$root/build-app/bin/pitchr" "$@"
