#!/bin/sh
# Makes sure the Debian packages of the named sections of deploy/packages.txt are installed:
#
#   tools/ensure_packages.sh SECTION...      (run, package, test, ci)
#
# Run as root, installs the missing ones with apt-get (the lists updated first). Run as anyone
# else, prints one line with the apt-get command that installs them and exits 2, before anything
# is built. Exits 0 at once when nothing is missing. ZTS_PACKAGES_FILE names another list.
set -eu

list=${ZTS_PACKAGES_FILE:-$(dirname "$0")/../deploy/packages.txt}
if [ $# -eq 0 ]; then
  echo "usage: $0 SECTION... (the [sections] of $list)" >&2
  exit 2
fi
if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "ensure_packages: not a Debian system; install the equivalents of [$*] in $list" >&2
  exit 0
fi

wanted=$(awk -v sections=" $* " '
  /^[[:space:]]*(#|$)/ { next }
  /^\[/ { name = $0; gsub(/[][[:space:]]/, "", name); on = index(sections, " " name " ") > 0; next }
  on { print $1 }' "$list")

missing=
for p in $wanted; do
  case " $missing " in *" $p "*) continue ;; esac
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "ensure_packages: missing Debian packages; install them with: sudo apt-get install -y --no-install-recommends$missing" >&2
  exit 2
fi
echo "ensure_packages: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $missing
