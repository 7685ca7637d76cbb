#!/usr/bin/env bash
# The install tree holds the two programs and their manual pages and nothing else, the pages
# render without a single warning, and the service unit is valid and starts the installed
# receiver. Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Staged as a package would be: DESTDIR in front of the prefix the unit expects.
prefix=/usr/local
if ! DESTDIR="$tmp/root" cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi
top=$tmp/root$prefix

expected=$(printf '%s\n' bin/catchr bin/pitchr share/man/man1/catchr.1 share/man/man1/pitchr.1)
installed=$(cd "$top" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected" ] || fail "installed files:
$installed
expected:
$expected"
for prog in catchr pitchr; do
  [ -x "$top/bin/$prog" ] || fail "bin/$prog is not executable"
  # Each name carries its own program, not the other one.
  cmp -s "$build/bin/$prog" "$top/bin/$prog" || fail "bin/$prog is not the $prog that was built"
done
for page in catchr pitchr; do
  cmp -s "$src/man/$page.1" "$top/share/man/man1/$page.1" || fail "share/man/man1/$page.1 is not man/$page.1"
done

# Rendering: any diagnostic on standard error is a fault of the page.
render() {  # name, command...
  local name=$1
  shift
  if ! "$@" >"$tmp/page.txt" 2>"$tmp/page.err" || [ -s "$tmp/page.err" ] || [ ! -s "$tmp/page.txt" ]; then
    fail "$name: $* gave warnings or no page:"
    cat "$tmp/page.err" >&2
  fi
}
command -v groff >/dev/null || fail "groff is needed to check the manual pages (package groff-base)"
for page in catchr pitchr; do
  file=$src/man/$page.1
  if command -v groff >/dev/null; then render "$page.1" groff -man -ww -Tutf8 "$file"; fi
  if command -v man >/dev/null; then render "$page.1" env LC_ALL=C MANWIDTH=80 MANPAGER=cat man --warnings -l "$file"; fi
done

# Every option a program's help lists is in its page (written with \- as man pages do).
check_options() {  # page, help command...
  local page=$1 options opt
  shift
  options=$("$@" </dev/null | grep -oE '(^|[ ,])--?[A-Za-z][-A-Za-z]*' | sed 's/^[ ,]*//' | sort -u || true)
  [ -n "$options" ] || fail "$* lists no options"
  for opt in $options; do
    # As a word of its own: "\-a" inside "\-\-allow" or "\-rk" does not count.
    grep -qE -- "(^|[^-])${opt//-/\\\\-}([^-A-Za-z]|\$)" "$src/man/$page" || fail "$page does not describe $opt"
  done
}
check_options pitchr.1 "$top/bin/pitchr" --help
# The receiver only in a network of its own, where it reaches nothing whatever it does.
if timeout 5 unshare -rn true 2>/dev/null; then
  check_options catchr.1 timeout 5 unshare -rn "$top/bin/catchr" --help
fi

# The unit, checked against the receiver just installed.
if command -v systemd-analyze >/dev/null; then
  sed "/^ExecStart=/s|=$prefix/|=$top/|" "$src/contrib/catchr.service" >"$tmp/catchr.service"
  if ! systemd-analyze verify --man=no "$tmp/catchr.service" >"$tmp/unit.log" 2>&1 || [ -s "$tmp/unit.log" ]; then
    fail "systemd-analyze verify contrib/catchr.service:"
    cat "$tmp/unit.log" >&2
  fi
fi

[ "$failures" -eq 0 ] || exit 1
echo "install tree, manual pages and service unit: OK"
