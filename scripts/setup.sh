#!/usr/bin/env bash
# Installs what the build (and, unless -DLB_TESTS=OFF is among the options, the tests) need
# when missing, then configures and builds.
# Usage: scripts/setup.sh [build-dir [extra cmake options...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true

# The tests are built unless the options turn them off (the last word counts, as in cmake).
tests=on
prev=
for arg in "$@"; do
  [ "$prev" = -D ] && arg=-D$arg
  prev=$arg
  if [[ $arg =~ ^-DLB_TESTS(:BOOL)?=(.*)$ ]]; then
    case ${BASH_REMATCH[2],,} in
      '' | off | 0 | no | n | false | ignore | notfound | *-notfound) tests=off ;;
      *) tests=on ;;
    esac
  fi
done

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v ninja >/dev/null || need+=(ninja-build)
[ -f /usr/include/xxhash.h ] || need+=(libxxhash-dev)
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
if [ "$tests" = on ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  command -v ip >/dev/null || need+=(iproute2)
  command -v unshare >/dev/null || need+=(util-linux)
  command -v ping >/dev/null || need+=(iputils-ping)
  command -v python3 >/dev/null || need+=(python3)
  command -v groff >/dev/null || need+=(groff-base)
fi
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
