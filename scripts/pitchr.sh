#!/usr/bin/env bash
# Builds the programs (without the tests, in build-app/) and sends files:
# scripts/pitchr.sh [pitchr options] FILE-SPEC... [TO:DIR] [ADDRESS[:PORT]] [PORT]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" "$root/build-app" -DLB_TESTS=OFF >/dev/null
exec "$root/build-app/bin/pitchr" "$@"
