#!/usr/bin/env bash
# The benchmark proper; runs inside the namespace made by run.sh. Argument: the bin folder.
set -euo pipefail
bin=$1
# Every pitchr run below names this loopback address; and only inside a namespace whose
# sole interface is lo, so nothing can leave the machine.
addr=127.0.1.1
if [ "$(ip -o link show | awk -F': ' '{print $2}')" != "lo" ]; then
  echo "bench/inner.sh: run it through bench/run.sh (a private namespace with lo only)" >&2
  exit 1
fi
work=$(mktemp -d /var/tmp/benchXXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
mkdir src dst dst_nc small dst_small dst_rsync
now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l | xargs printf '%.3f'; }
ratio() { echo "$1 / $2" | bc -l | xargs printf '%.2f'; }
peak_kib() { sed -n 's/^\tMaximum resident set size (kbytes): //p' "$1"; }

head -c $((256 * 1024 * 1024)) /dev/urandom > src/big.bin
for i in $(seq -w 1 500); do head -c 1024 /dev/urandom > "small/f$i.dat"; done

# 256 MiB through the pair: until the file is stored and the sender has exited.
(cd dst && exec /usr/bin/time -v -o "$work/catchr.time" "$bin/catchr" 9601 </dev/null >"$work/catchr.out") &
rxpid=$!
sleep 0.5
t0=$(now)
/usr/bin/time -v -o "$work/pitchr.time" "$bin/pitchr" src/big.bin $addr 9601 >/dev/null
t1=$(now)
cmp src/big.bin dst/big.bin
pair_big=$(secs "$t0" "$t1")

# The same file through nc.
(nc -l $addr 9602 > dst_nc/big.bin) &
ncpid=$!
sleep 0.3
t0=$(now)
nc -N $addr 9602 < src/big.bin
wait $ncpid
t1=$(now)
cmp src/big.bin dst_nc/big.bin
nc_big=$(secs "$t0" "$t1")

# 4 GiB (sparse: the disks, not /dev/urandom, set the pace) through the pair, then nc.
truncate -s 4G src/huge.img
rm -f dst/big.bin dst_nc/big.bin
t0=$(now)
/usr/bin/time -v -o "$work/pitchr4g.time" "$bin/pitchr" src/huge.img $addr 9601 >/dev/null
t1=$(now)
pair_huge=$(secs "$t0" "$t1")
[ "$(stat -c %s dst/huge.img)" -eq $((4 * 1024 * 1024 * 1024)) ]
rm -f dst/huge.img
(nc -l $addr 9604 > dst_nc/huge.img) &
sleep 0.3
t0=$(now)
nc -N $addr 9604 < src/huge.img
wait $!
t1=$(now)
nc_huge=$(secs "$t0" "$t1")
[ "$(stat -c %s dst_nc/huge.img)" -eq $((4 * 1024 * 1024 * 1024)) ]
rm -f dst_nc/huge.img

# 500 files of 1 KiB in one run.
t0=$(now)
"$bin/pitchr" "small/*" "TO:$work/dst_small" $addr 9601 >/dev/null
t1=$(now)
pair_small=$(secs "$t0" "$t1")
[ "$(ls dst_small | wc -l)" -eq 500 ]

cat > rsyncd.conf <<CONF
pid file = $work/rsyncd.pid
use chroot = no
[bench]
path = $work/dst_rsync
read only = false
uid = root
gid = root
CONF
rsync --daemon --config="$work/rsyncd.conf" --address=$addr --port=9603
sleep 0.3
t0=$(now)
rsync -a small/ rsync://$addr:9603/bench/
t1=$(now)
rsync_small=$(secs "$t0" "$t1")
kill "$(cat rsyncd.pid)"

# An idle receiver over 10 s.
clk=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rx=$(pgrep -n -x catchr)
c0=$(ticks "$rx")
sleep 10
c1=$(ticks "$rx")
idle_pct=$(echo "($c1 - $c0) * 100 / $clk / 10" | bc -l | xargs printf '%.2f')
kill -TERM "$rx"
wait $rxpid || true

echo "catchr/pitchr benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, $(uname -r)"
printf '%-34s %10s %10s %7s\n' "" "pair" "reference" "ratio"
printf '%-34s %9ss %9ss %6sx\n' "256 MiB file (vs nc)" "$pair_big" "$nc_big" "$(ratio "$pair_big" "$nc_big")"
printf '%-34s %9ss %9ss %6sx\n' "4 GiB file (vs nc)" "$pair_huge" "$nc_huge" "$(ratio "$pair_huge" "$nc_huge")"
printf '%-34s %9ss %9ss %6sx\n' "500 x 1 KiB files (vs rsync daemon)" "$pair_small" "$rsync_small" "$(ratio "$pair_small" "$rsync_small")"
printf '%-34s %8sms\n' "  per file" "$(echo "$pair_small * 1000 / 500" | bc -l | xargs printf '%.2f')"
printf '%-34s %7s MiB\n' "peak memory pitchr (256 MiB file)" "$(( $(peak_kib pitchr.time) / 1024 ))"
printf '%-34s %7s MiB\n' "peak memory pitchr (4 GiB file)" "$(( $(peak_kib pitchr4g.time) / 1024 ))"
printf '%-34s %7s MiB\n' "peak memory catchr (whole run)" "$(( $(peak_kib catchr.time) / 1024 ))"
printf '%-34s %8s%%\n' "idle catchr CPU over 10 s" "$idle_pct"
