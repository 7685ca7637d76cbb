#!/usr/bin/env bash
# The TLS benchmark proper; runs inside the namespace made by tls.sh. Argument: the bin folder.
# Three ways of sending the same files, taking turns: pitchr to catchr over TLS (both keyed, the
# sender trusted, --secure at both ends), the same pair in plaintext (pitchr without a key, so it
# offers no TLS), and scp to an sshd of our own whose host key the client has pinned.
set -euo pipefail
bin=$1
rounds=${TLS_BENCH_ROUNDS:-9}
[ "$rounds" -ge 5 ] || { echo "bench/tls_inner.sh: 5 rounds at least" >&2; exit 1; }
# catchr listens on the address the namespace's host name resolves to (never on 127.0.0.1);
# sshd on 127.0.0.1. Both are lo, and every pitchr run below names rx_addr.
rx_addr=127.0.1.1
ssh_addr=127.0.0.1
ssh_port=2222
tls_port=9621
plain_port=9622
if [ "$(ip -o link show | awk -F': ' '{print $2}')" != "lo" ]; then
  echo "bench/tls_inner.sh: run it through bench/tls.sh (a private namespace with lo only)" >&2
  exit 1
fi
unset STATE_DIRECTORY
work=$(mktemp -d /var/tmp/tlsbenchXXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"
mkdir src small
fail() { echo "bench/tls_inner.sh: $*" >&2; exit 1; }
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
clk=$(getconf CLK_TCK)
# User + system seconds of a process so far, with those of its children it has waited for.
cpu_of() { awk -v clk="$clk" '{printf "%.3f", ($14 + $15 + $16 + $17) / clk}' "/proc/$1/stat"; }
# Waits until port $1 on address $2 is listening.
wait_port() {
  local i
  for i in $(seq 200); do
    ss -Hltn "src $2:$1" | grep -q . && return 0
    sleep 0.05
  done
  fail "nothing listens on $2:$1"
}

head -c $((256 * 1024 * 1024)) /dev/urandom > src/big.bin
for i in $(seq -w 1 500); do head -c 1024 /dev/urandom > "small/f$i.dat"; done

# Keys and trust: each program keeps its key under its own XDG_CONFIG_HOME here.
rxcfg=$work/rx-config
txcfg=$work/tx-config
rx_fp=$(XDG_CONFIG_HOME=$rxcfg "$bin/catchr" --fingerprint)
tx_fp=$(XDG_CONFIG_HOME=$txcfg "$bin/pitchr" --fingerprint)
[[ $rx_fp == SHA256:* && $tx_fp == SHA256:* ]] || fail "no fingerprints: \"$rx_fp\" \"$tx_fp\""
XDG_CONFIG_HOME=$rxcfg "$bin/catchr" --trust "$tx_fp" >/dev/null

# Two receivers with the same key: one taking files only over TLS from trusted senders, one
# taking them any way (the keyless sender's plaintext).
start_rx() {
  local name=$1 port=$2
  shift 2
  mkdir "$name"
  (cd "$name" && XDG_CONFIG_HOME=$rxcfg exec "$bin/catchr" "$@" -q "$port" </dev/null >"$work/$name.log" 2>&1) &
  pids+=($!)
  wait_port "$port" $rx_addr
}
start_rx rx_tls $tls_port --secure
rx_tls=${pids[-1]}
start_rx rx_plain $plain_port
rx_plain=${pids[-1]}
tx_tls() { XDG_CONFIG_HOME=$txcfg "$bin/pitchr" --secure "$@" $rx_addr -p $tls_port; }
tx_plain() { env -u HOME -u XDG_CONFIG_HOME "$bin/pitchr" "$@" $rx_addr -p $plain_port; }

# sshd of our own on 127.0.0.1:2222: a fresh host key, a fresh client key, the host key pinned.
ssh=$work/ssh
mkdir -p "$ssh" /run/sshd scp_dst
ssh-keygen -q -t ed25519 -N '' -C bench-host -f "$ssh/host_key"
ssh-keygen -q -t ed25519 -N '' -C bench-client -f "$ssh/client_key"
cp "$ssh/client_key.pub" "$ssh/authorized_keys"
echo "[$ssh_addr]:$ssh_port $(cut -d' ' -f1,2 "$ssh/host_key.pub")" > "$ssh/known_hosts"
cat > "$ssh/sshd_config" <<CONF
ListenAddress $ssh_addr
Port $ssh_port
HostKey $ssh/host_key
PidFile $ssh/sshd.pid
AuthorizedKeysFile $ssh/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
# scp speaks SFTP; served inside sshd, so that no login shell starts for it.
Subsystem sftp internal-sftp
CONF
/usr/sbin/sshd -t -f "$ssh/sshd_config"
/usr/sbin/sshd -D -e -f "$ssh/sshd_config" 2>"$work/sshd.log" &
sshd=$!
pids+=($sshd)
wait_port $ssh_port $ssh_addr
ssh_opts=(-F /dev/null -i "$ssh/client_key" -o IdentitiesOnly=yes -o BatchMode=yes
  -o UserKnownHostsFile="$ssh/known_hosts" -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes
  -o UpdateHostKeys=no)

# A first file each way, untimed: pairing (pitchr pins the receiver's key), the plaintext
# sender's lack of a key, the negotiated ssh cipher and the pinned host key.
tx_tls small/f001.dat > pair.out 2>&1 || { cat pair.out; fail "the TLS send failed"; }
grep -qxF "$rx_addr:$tls_port $rx_fp" "$txcfg/pitchr/known_receivers" || fail "pitchr pinned no receiver key"
tx_plain small/f001.dat > plain.out 2>&1 || { cat plain.out; fail "the plaintext send failed"; }
grep -q '^TLS is not offered' plain.out || fail "the keyless pitchr did not say it sends in plaintext"
if env -u HOME -u XDG_CONFIG_HOME "$bin/pitchr" small/f001.dat $rx_addr -p $tls_port >/dev/null 2>&1; then
  fail "catchr --secure took a file in plaintext"
fi
scp -v -P $ssh_port "${ssh_opts[@]}" small/f001.dat root@$ssh_addr:"$work/scp_dst/" 2> scp.v ||
  { cat scp.v "$work/sshd.log"; fail "scp failed"; }
ssh_cipher=$(sed -n 's/.*kex: client->server cipher: \([^ ]*\) MAC: \([^ ]*\).*/\1 (MAC \2)/p' scp.v | head -1)
ssh_kex=$(sed -n 's/.*kex: algorithm: \([^ ]*\).*/\1/p' scp.v | head -1)
grep -q "Host '\[$ssh_addr\]:$ssh_port' is known and matches the ED25519 host key" scp.v ||
  fail "scp did not check the pinned host key"
rm -f rx_tls/* rx_plain/* scp_dst/*

# One timed run: wall time until the sending command has exited, the sender's CPU (children
# included) and the receiving process's (the sshd listener counts its connection's processes
# once it has waited for them). Arguments: the receiving pid, then the command. Sets wall,
# tx_cpu and rx_cpu.
timed() {
  local rx=$1 c0 t0 t1 i
  shift
  sync  # each run starts with no dirty pages of an earlier one to write back
  c0=$(cpu_of "$rx")
  t0=$(now)
  /usr/bin/time -f '%U %S' -o tx.cpu "$@" > tx.out 2>&1 || { cat tx.out; fail "failed: $*"; }
  t1=$(now)
  for i in $(seq 500); do
    pgrep -P "$rx" >/dev/null || break
    sleep 0.01
  done
  wall=$(calc %.3f "$t1 - $t0")
  tx_cpu=$(awk '{printf "%.3f", $1 + $2}' tx.cpu)
  rx_cpu=$(calc %.3f "$(cpu_of "$rx") - $c0")
}
# Where each way stores, and how it sends.
declare -A dest=([tls]=rx_tls [plain]=rx_plain [scp]=scp_dst)
declare -A rxpid=([tls]=$rx_tls [plain]=$rx_plain [scp]=$sshd)
# The command of one way (as the functions above, but something /usr/bin/time can run), in cmd.
way_cmd() {
  case $1 in
    tls) cmd=(env XDG_CONFIG_HOME="$txcfg" "$bin/pitchr" --secure "${@:2}" $rx_addr -p $tls_port) ;;
    plain) cmd=(env -u HOME -u XDG_CONFIG_HOME "$bin/pitchr" "${@:2}" $rx_addr -p $plain_port) ;;
    scp) cmd=(scp -q -P $ssh_port "${ssh_opts[@]}" "${@:2}" root@$ssh_addr:"$work/scp_dst/") ;;
  esac
}
# Every run of a case and way kept: W[case/way] wall, T[...] sender CPU, R[...] receiver CPU,
# C[...] both.
declare -A W T R C
one() {  # case way round
  local files
  if [ "$1" = big ]; then files=(src/big.bin); else files=(small/*); fi
  if [ "$1" = big ] || [ "$2" = scp ]; then
    way_cmd "$2" "${files[@]}"
  else
    way_cmd "$2" -j 1 small  # one connection, one handshake
  fi
  timed "${rxpid[$2]}" "${cmd[@]}"
  W[$1/$2]+="$wall "
  T[$1/$2]+="$tx_cpu "
  R[$1/$2]+="$rx_cpu "
  C[$1/$2]+="$(calc %.3f "$tx_cpu + $rx_cpu") "
  local d=${dest[$2]} f
  if [ "$3" -eq 1 ]; then
    for f in "${files[@]}"; do cmp "$f" "$d/${f##*/}" || fail "$2: ${f##*/} differs"; done
  fi
  [ "$(find "$d" -type f | wc -l)" -eq ${#files[@]} ] || fail "$2: not all files arrived"
  find "$d" -mindepth 1 -delete
}
ways=(tls plain scp)
for case in big small; do
  for round in $(seq "$rounds"); do
    for k in 0 1 2; do one $case "${ways[(round + k) % 3]}" "$round"; done
  done
done

median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
range() { printf '%s\n' "$@" | sort -n | sed -n '1p;$p' | paste -sd-; }
med() { median ${W[$1]}; }
medc() { median ${C[$1]}; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
wall_cell() { printf '%.3fs (%s)' "$(med "$1")" "$(range ${W[$1]})"; }
cpu_cell() { printf '%.2f+%.2f=%.2fs' "$(median ${T[$1]})" "$(median ${R[$1]})" "$(medc "$1")"; }
# label, then three cells, then the two ratios
row() { printf '%-24s %-24s %-24s %-24s %9s %8s\n' "$@"; }
label() { if [ "$1" = big ]; then echo "256 MiB file"; else echo "500 x 1 KiB files"; fi; }

echo "TLS vs plaintext (same build) vs scp, $(date -u +%Y-%m-%d), $(nproc) cores, $(uname -r), loopback;" \
  "$rounds rounds in turns, medians (min-max)"
echo "pitchr/catchr: TLS 1.3 (the library's default suites), receiver key pinned by the sender, sender key" \
  "trusted by the receiver, --secure both ends; plaintext: the same receiver's build, pitchr without a key"
echo "scp: $(ssh -V 2>&1 | cut -d, -f1), SFTP, cipher $ssh_cipher, kex $ssh_kex, ed25519 host key pinned"
row "wall" "TLS" "plaintext" "scp" "TLS/plain" "scp/TLS"
for c in big small; do
  row "$(label $c)" "$(wall_cell $c/tls)" "$(wall_cell $c/plain)" "$(wall_cell $c/scp)" \
    "$(ratio "$(med $c/tls)" "$(med $c/plain)")x" "$(ratio "$(med $c/scp)" "$(med $c/tls)")x"
done
mib_s() { calc %.0f "256 / $(med big/$1)"; }
row "  256 MiB rate" "$(mib_s tls) MiB/s" "$(mib_s plain) MiB/s" "$(mib_s scp) MiB/s" "" ""
row "CPU, sender+receiver" "" "" "" "" ""
for c in big small; do
  row "$(label $c)" "$(cpu_cell $c/tls)" "$(cpu_cell $c/plain)" "$(cpu_cell $c/scp)" \
    "$(ratio "$(medc $c/tls)" "$(medc $c/plain)")x" "$(ratio "$(medc $c/scp)" "$(medc $c/tls)")x"
done
echo "  (user+sys in 10 ms ticks; the receiver's share counted by the process itself, sshd's with the"
echo "   processes of each connection it has waited for)"
echo "runs, wall (s):"
for c in big small; do
  for w in "${ways[@]}"; do printf '  %-12s %s\n' "$c/$w" "${W[$c/$w]}"; done
done
