#!/usr/bin/env bash
# Many small files over an emulated LAN link (about 2.4 ms round trip, no loss): pitchr
# against an rsync daemon, three runs each in turns, medians and ranges. The link joins two
# namespaces made for it (10.9.5.1 and 10.9.5.2); nothing else is reached. Not part of the
# test suite: bash bench/link.sh (as root). EMULINK names the link tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
emulink=${EMULINK:-$root/../shared/tools/emulink.sh}
command -v rsync >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq rsync >/dev/null
bash "$root/scripts/setup.sh" "$root/build" >/dev/null
bin=$root/build/bin
rxa=10.9.5.1
work=$(mktemp -d /var/tmp/benchlinkXXXXXX)
cleanup() {
  ip netns pids el-rx 2>/dev/null | xargs -r kill 2>/dev/null || true
  "$emulink" down >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$emulink" up 1 0 0 >/dev/null
rx() { ip netns exec el-rx "$@"; }
tx() { ip netns exec el-tx "$@"; }
now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l | xargs printf '%.3f'; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }

cd "$work"
mkdir small
for i in $(seq -w 1 500); do head -c 1024 /dev/urandom > "small/f$i.dat"; done
cat > rsyncd.conf <<CONF
use chroot = no
[bench]
path = $work/dst_rsync
read only = false
uid = root
gid = root
CONF
rx rsync --daemon --config="$work/rsyncd.conf" --address=$rxa --port=9603 --no-detach &
mkdir dst
(cd dst && exec ip netns exec el-rx "$bin/catchr" -p 9601 </dev/null >/dev/null 2>&1) &
sleep 0.5

p=(); r=()
for round in 1 2 3; do
  rm -rf dst_pitchr dst_rsync; mkdir dst_pitchr dst_rsync
  t0=$(now); tx "$bin/pitchr" "$work/small/*" "TO:$work/dst_pitchr" $rxa 9601 >/dev/null; t1=$(now)
  p+=("$(secs "$t0" "$t1")")
  [ "$(ls dst_pitchr | wc -l)" -eq 500 ]
  t0=$(now); tx rsync -a small/ rsync://$rxa:9603/bench/; t1=$(now)
  r+=("$(secs "$t0" "$t1")")
done
pm=$(median "${p[@]}"); rm=$(median "${r[@]}")
echo "500 x 1 KiB over an emulated 2.4 ms link, $(date -u +%Y-%m-%d), $(nproc) cores"
printf '%-10s %8ss  (runs: %s)\n' pitchr "$pm" "${p[*]}" rsync "$rm" "${r[*]}"
printf '%-10s %8sx\n' ratio "$(echo "$pm / $rm" | bc -l | xargs printf '%.2f')"
