#!/usr/bin/env bash
# Sets up, builds and starts the receiver in this console: scripts/catchr.sh [port]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" "$root/build" >/dev/null
exec "$root/build/bin/catchr" "$@"
