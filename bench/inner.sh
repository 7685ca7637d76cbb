#!/usr/bin/env bash
# The benchmark proper; runs inside the namespace made by run.sh. Arguments: the bin folder
# and the zero-copy reference program.
set -euo pipefail
bin=$1
zc=$2
# Every pitchr run below names this loopback address; and only inside a namespace whose
# sole interface is lo, so nothing can leave the machine.
addr=127.0.1.1
if [ "$(ip -o link show | awk -F': ' '{print $2}')" != "lo" ]; then
  echo "bench/inner.sh: run it through bench/run.sh (a private namespace with lo only)" >&2
  exit 1
fi
# The plain protocol is measured here (TLS beside it is bench/tls.sh): neither program gets a
# key, so neither offers TLS.
export XDG_CONFIG_HOME= HOME=
unset STATE_DIRECTORY
work=$(mktemp -d /var/tmp/benchXXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
mkdir src dst dst_ref small
now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l | xargs printf '%.3f'; }
ratio() { echo "$1 / $2" | bc -l | xargs printf '%.2f'; }
peak_kib() { sed -n 's/^\tMaximum resident set size (kbytes): //p' "$1"; }
clk=$(getconf CLK_TCK)
# User + system seconds a running process has used so far.
cpu_of() { awk -v clk="$clk" '{printf "%.3f", ($14 + $15) / clk}' "/proc/$1/stat"; }
# User + system seconds of a finished command timed with: /usr/bin/time -f '%U %S' -o FILE
cpu_in() { awk '{printf "%.3f", $1 + $2}' "$1"; }
per_gib() { echo "$1 / $2" | bc -l | xargs printf '%.2f'; }

head -c $((256 * 1024 * 1024)) /dev/urandom > src/big.bin
truncate -s 4G src/huge.img  # sparse: the disks, not /dev/urandom, set the pace
cat src/huge.img > /dev/null  # read once, so that no run pays for the first reading
for i in $(seq -w 1 500); do head -c 1024 /dev/urandom > "small/f$i.dat"; done

(cd dst && exec /usr/bin/time -v -o "$work/catchr.time" "$bin/catchr" 9601 </dev/null >"$work/catchr.out") &
sleep 0.5
rx=$(pgrep -n -x catchr)

# One file through the pair: wall time until it is stored and pitchr has exited, and the
# CPU time of both programs. Sets wall and cpu.
pair() {
  local c0 t0 t1
  sync  # each run starts with no dirty pages of an earlier one to write back
  c0=$(cpu_of "$rx")
  t0=$(now)
  /usr/bin/time -f '%U %S %M' -o "$work/pitchr.cpu" "$bin/pitchr" $pitchr_opts "src/$1" $addr 9601 >/dev/null
  t1=$(now)
  wall=$(secs "$t0" "$t1")
  cpu=$(echo "$(cpu_of "$rx") - $c0 + $(cpu_in "$work/pitchr.cpu")" | bc -l)
  tx_peak=$(awk -v p="$tx_peak" '{print ($3 > p ? $3 : p)}' "$work/pitchr.cpu")
  cmp "src/$1" "dst/$1"
  rm -f "dst/$1"
}
# The same through a reference pair: "nc" or "zc" (sendfile and splice). Sets wall and cpu.
reference() {
  local port=$((9610 + RANDOM % 50)) t0 t1
  sync
  if [ "$1" = nc ]; then
    /usr/bin/time -f '%U %S' -o "$work/rx.cpu" nc -l $addr $port > "dst_ref/$2" &
  else
    /usr/bin/time -f '%U %S' -o "$work/rx.cpu" "$zc" recv "dst_ref/$2" $addr $port &
  fi
  local listener=$!
  sleep 0.3
  t0=$(now)
  if [ "$1" = nc ]; then
    /usr/bin/time -f '%U %S' -o "$work/tx.cpu" nc -N $addr $port < "src/$2"
  else
    /usr/bin/time -f '%U %S' -o "$work/tx.cpu" "$zc" send "src/$2" $addr $port
  fi
  wait $listener
  t1=$(now)
  wall=$(secs "$t0" "$t1")
  cpu=$(echo "$(cpu_in "$work/rx.cpu") + $(cpu_in "$work/tx.cpu")" | bc -l)
  cmp "src/$2" "dst_ref/$2"
  rm -f "dst_ref/$2"
}

tx_peak=0
pitchr_opts=
# The 256 MiB file three times each way, in turns (verified, classic, zero-copy), so that no
# way always comes first after a file was written or removed; the medians are reported.
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
v_w=(); v_c=(); c_w=(); c_c=(); z_w=()
for round in 1 2 3; do
  pitchr_opts=; pair big.bin; v_w+=("$wall"); v_c+=("$cpu")
  pitchr_opts=--classic; pair big.bin; c_w+=("$wall"); c_c+=("$cpu")
  reference zc big.bin; z_w+=("$wall")
done
pitchr_opts=
pair_big=$(median "${v_w[@]}"); pair_big_cpu=$(median "${v_c[@]}")
classic_big=$(median "${c_w[@]}"); classic_big_cpu=$(median "${c_c[@]}")
zc_big=$(median "${z_w[@]}")
spread_big="verified ${v_w[*]}; classic ${c_w[*]}; zero-copy ${z_w[*]}"
reference nc big.bin; nc_big=$wall; nc_big_cpu=$cpu
pair huge.img; pair_huge=$wall; pair_huge_cpu=$cpu
reference zc huge.img; zc_huge=$wall
reference nc huge.img; nc_huge=$wall; nc_huge_cpu=$cpu

# The 4 GiB file broken at 3 GiB (pitchr killed once the receiver holds that much), then sent
# again: the second run resumes from the kept part.
"$bin/pitchr" src/huge.img $addr 9601 >/dev/null 2>&1 &
sender=$!
until [ "$(stat -c %s dst/.catchr-*.part 2>/dev/null | sort -n | tail -1)" -ge $((3 << 30)) ] 2>/dev/null; do
  sleep 0.01
done
kill -KILL $sender
wait $sender 2>/dev/null || true
sleep 0.2
pair huge.img; resumed_huge=$wall; resumed_huge_cpu=$cpu
resumed_at=$(sed -n 's/.*huge.img: resuming at \([^ ]* [^ ]*\).*/\1/p' "$work/catchr.out" | tail -1)

# Many small files: pitchr against an rsync daemon, each from an empty destination, with the
# CPU of both ends. A tree of 10,000 files of 4 KiB in 100 directories, then the same tree
# again with nothing changed (pitchr -u; rsync skips unchanged files by itself).
mkdir tree
for d in $(seq -w 1 100); do
  mkdir "tree/d$d"
  head -c $((4096 * 100)) /dev/urandom | split -b 4096 -a 3 - "tree/d$d/f"
done
# The wall time and the CPU of both ends of one pitchr run. Sets wall and cpu.
pitchr_run() {
  local c0 t0 t1
  sync
  c0=$(cpu_of "$rx")
  t0=$(now)
  /usr/bin/time -f '%U %S' -o "$work/pitchr.cpu" "$bin/pitchr" "$@" $addr 9601 >/dev/null
  t1=$(now)
  wall=$(secs "$t0" "$t1")
  cpu=$(echo "$(cpu_of "$rx") - $c0 + $(cpu_in "$work/pitchr.cpu")" | bc -l | xargs printf '%.3f')
}
# The same for rsync into a daemon of its own (its CPU, children included, counted when it
# ends). Arguments: the destination directory, then rsync's. Sets wall and cpu.
rsync_run() {
  local dest=$1 t0 t1 daemon
  shift
  cat > rsyncd.conf <<CONF
pid file = $work/rsyncd.pid
use chroot = no
[bench]
path = $dest
read only = false
uid = root
gid = root
CONF
  /usr/bin/time -f '%U %S' -o "$work/rsyncd.cpu" rsync --daemon --no-detach --config="$work/rsyncd.conf" \
    --address=$addr --port=9603 &
  daemon=$!
  sleep 0.3
  sync
  t0=$(now)
  /usr/bin/time -f '%U %S' -o "$work/rsync.cpu" rsync "$@"
  t1=$(now)
  wall=$(secs "$t0" "$t1")
  kill "$(cat rsyncd.pid)"
  wait $daemon || true
  cpu=$(echo "$(cpu_in "$work/rsync.cpu") + $(cpu_in "$work/rsyncd.cpu")" | bc -l | xargs printf '%.3f')
}

# Three rounds, each into fresh destinations, the two programs taking turns at going first;
# then the unchanged tree three times each. Medians, with every run kept for the ranges.
declare -A W C
keep() { W[$1]+="$wall "; C[$1]+="$cpu "; }
small_pitchr() { mkdir "dst_small$1"; pitchr_run "small/*" "TO:$work/dst_small$1"; keep small_p
  [ "$(ls "dst_small$1" | wc -l)" -eq 500 ]; }
small_rsync() { mkdir "dst_rsync$1"; rsync_run "$work/dst_rsync$1" -a small/ rsync://$addr:9603/bench/; keep small_r; }
tree_pitchr() { mkdir "dst_tree$1"; pitchr_run -r tree "TO:$work/dst_tree$1"; keep tree_p
  [ "$(find "dst_tree$1" -type f | wc -l)" -eq 10000 ]; }
tree_rsync() { mkdir "dst_rtree$1"; rsync_run "$work/dst_rtree$1" -a tree/ rsync://$addr:9603/bench/; keep tree_r; }
for round in 1 2 3; do
  if [ $((round % 2)) -eq 1 ]; then
    small_pitchr $round; small_rsync $round; tree_pitchr $round; tree_rsync $round
  else
    small_rsync $round; small_pitchr $round; tree_rsync $round; tree_pitchr $round
  fi
done
for round in 1 2 3; do
  pitchr_run -u -r tree "TO:$work/dst_tree3"; keep noop_p
  rsync_run "$work/dst_rtree3" -a tree/ rsync://$addr:9603/bench/; keep noop_r
done
med() { median ${W[$1]}; }
medc() { median ${C[$1]}; }

# An idle receiver over 10 s.
c0=$(cpu_of "$rx")
sleep 10
idle_pct=$(echo "($(cpu_of "$rx") - $c0) * 10" | bc -l | xargs printf '%.2f')
kill -TERM "$rx"
wait || true

echo "catchr/pitchr benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, $(uname -r)"
printf '%-36s %9s %9s %9s %8s %8s\n' "" "pair" "zero-copy" "nc" "vs zc" "vs nc"
printf '%-36s %8ss %8ss %8ss %7sx %7sx\n' "256 MiB file, wall" "$pair_big" "$zc_big" "$nc_big" \
  "$(ratio "$pair_big" "$zc_big")" "$(ratio "$pair_big" "$nc_big")"
printf '%-36s %8ss %8ss %8ss %7sx %7sx\n' "256 MiB file, classic (unverified)" "$classic_big" "$zc_big" "$nc_big" \
  "$(ratio "$classic_big" "$zc_big")" "$(ratio "$classic_big" "$nc_big")"
printf '%-36s %s\n' "  256 MiB runs (s)" "$spread_big"
printf '%-36s %8ss %8ss %8ss %7sx %7sx\n' "4 GiB file, wall" "$pair_huge" "$zc_huge" "$nc_huge" \
  "$(ratio "$pair_huge" "$zc_huge")" "$(ratio "$pair_huge" "$nc_huge")"
printf '%-36s %8ss %9s %9s %8s %7sx  (of a whole send; resumed at %s)\n' "4 GiB file broken at 3 GiB, resumed" \
  "$resumed_huge" "" "" "" "$(ratio "$resumed_huge" "$pair_huge")" "${resumed_at:-?}"
printf '%-36s %8ss %9s %8ss %8s %7sx\n' "CPU per GiB, both ends (256 MiB)" "$(per_gib "$pair_big_cpu" 0.25)" "" \
  "$(per_gib "$nc_big_cpu" 0.25)" "" "$(ratio "$pair_big_cpu" "$nc_big_cpu")"
printf '%-36s %8ss %9s %8ss %8s %7sx\n' "  classic (unverified)" "$(per_gib "$classic_big_cpu" 0.25)" "" \
  "$(per_gib "$nc_big_cpu" 0.25)" "" "$(ratio "$classic_big_cpu" "$nc_big_cpu")"
printf '%-36s %8ss %9s %8ss %8s %7sx\n' "CPU per GiB, both ends (4 GiB)" "$(per_gib "$pair_huge_cpu" 4)" "" \
  "$(per_gib "$nc_huge_cpu" 4)" "" "$(ratio "$pair_huge_cpu" "$nc_huge_cpu")"
printf '%-36s %9s %9s %8s %9s %9s %8s\n' "" "pitchr" "rsync" "ratio" "CPU" "rsync CPU" "ratio"
many() {
  printf '%-36s %8ss %8ss %7sx %8ss %8ss %7sx\n' "$1" "$2" "$3" "$(ratio "$2" "$3")" "$4" "$5" "$(ratio "$4" "$5")"
}
many "500 x 1 KiB files" "$(med small_p)" "$(med small_r)" "$(medc small_p)" "$(medc small_r)"
many "10,000 x 4 KiB in 100 directories" "$(med tree_p)" "$(med tree_r)" "$(medc tree_p)" "$(medc tree_r)"
many "  again, nothing changed (-u)" "$(med noop_p)" "$(med noop_r)" "$(medc noop_p)" "$(medc noop_r)"
for k in small_p small_r tree_p tree_r noop_p noop_r; do printf '  %-8s runs (s): %s\n' "$k" "${W[$k]}"; done
printf '%-36s %6s MiB\n' "peak memory pitchr (largest run)" "$(( tx_peak / 1024 ))"
printf '%-36s %6s MiB\n' "peak memory catchr (whole run)" "$(( $(peak_kib catchr.time) / 1024 ))"
printf '%-36s %7s%%\n' "idle catchr CPU over 10 s" "$idle_pct"
