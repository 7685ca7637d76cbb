#!/usr/bin/env bash
# Benchmarks catchr/pitchr over TLS against the same build in plaintext, beside scp with a pinned
# host key, on loopback inside a private network namespace. Not part of the test suite:
# bash bench/tls.sh   (TLS_BENCH_ROUNDS=N for another number of rounds, 5 at least; default 9)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
need=()
[ -x /usr/sbin/sshd ] || need+=(openssh-server)
{ command -v scp && command -v ssh-keygen; } >/dev/null || need+=(openssh-client)
[ -x /usr/bin/time ] || need+=(time)
command -v ss >/dev/null || need+=(iproute2)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq "${need[@]}" >/dev/null ||
    { apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null; }
fi
bash "$root/scripts/setup.sh" "$root/build" >/dev/null
exec "$root/tests/e2e/netns.sh" bash "$root/bench/tls_inner.sh" "$root/build/bin"
