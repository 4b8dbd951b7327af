#!/bin/sh
# tools/ensure_packages.sh as a user who cannot install: with everything present it says nothing
# and exits 0; with packages missing it stops, exit status 2, with one line on stderr naming
# the apt-get command for exactly the missing packages of the sections asked for. Run as root,
# it checks as `nobody` (root would install).
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$src/tools/ensure_packages.sh" "$work/"
cat >"$work/packages.txt" <<'LIST'
# a comment, then sections
[run]
dpkg
zts-test-missing-one

[other]
zts-test-missing-elsewhere

[test]
  coreutils   # indented, with a comment
zts-test-missing-two
LIST
chmod -R a+rX "$work"
as_user() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u nobody -- env ZTS_PACKAGES_FILE="$work/packages.txt" sh "$work/ensure_packages.sh" "$@"
  else
    ZTS_PACKAGES_FILE="$work/packages.txt" sh "$work/ensure_packages.sh" "$@"
  fi
}
fail() { echo "FAIL: $*" >&2; exit 1; }

sed -i '/zts-test-missing/d' "$work/packages.txt"
out=$(as_user run test 2>&1) || fail "all present: exit $?: $out"
[ -z "$out" ] || fail "all present, yet it printed: $out"

printf '[run]\nzts-test-missing-one\n[other]\nzts-test-missing-elsewhere\n[test]\nzts-test-missing-two\n' \
  >>"$work/packages.txt"
status=0
as_user run test >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 2 ] || fail "missing packages: exit $status, expected 2"
[ ! -s "$work/out" ] || fail "stdout: $(cat "$work/out")"
expected="ensure_packages: missing Debian packages; install them with: sudo apt-get install -y --no-install-recommends zts-test-missing-one zts-test-missing-two"
[ "$(cat "$work/err")" = "$expected" ] || fail "stderr: $(cat "$work/err")"
