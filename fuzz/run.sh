#!/usr/bin/env bash
# Runs one libFuzzer campaign: fuzz/run.sh <name> <seconds>
#
# Needs `make fuzz` first (build-fuzz/fuzz/<name>_fuzz). The campaign works on a copy of the
# committed seeds, fuzz/corpus-<name>/ (not committed), so new inputs never land in the
# repository by themselves; crashing inputs go to artifacts/<name>/. Prints the executions and
# the crashes found. Copy a fixed crash into fuzz/corpus/<name>/ so the replay test keeps it.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 2 ]; then
  echo "usage: fuzz/run.sh <name> <seconds>" >&2
  exit 2
fi
name=$1
seconds=$2
binary=build-fuzz/fuzz/${name}_fuzz
seeds=fuzz/corpus/${name}
work=fuzz/corpus-${name}
artifacts=artifacts/${name}

[ -x "$binary" ] || { echo "$binary missing: run make fuzz" >&2; exit 2; }
[ -d "$seeds" ] || { echo "$seeds missing" >&2; exit 2; }
mkdir -p "$work" "$artifacts"
cp -n "$seeds"/* "$work"/ 2>/dev/null || true

log=$(mktemp)
trap 'rm -f "$log"' EXIT
before=$(find "$artifacts" -type f | wc -l)
# One process, stopped by time; a crash also stops it (the input is kept in $artifacts).
set +e
"$binary" "$work" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
status=$?
set -e
after=$(find "$artifacts" -type f | wc -l)

execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
if [ -z "$execs" ]; then
  # A crash ends the run before the final statistics: take the last progress line.
  execs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#' || true)
fi
echo "target:     $name"
echo "seconds:    $seconds"
echo "executions: ${execs:-0}"
echo "corpus:     $(find "$work" -type f | wc -l) inputs"
echo "crashes:    $((after - before))"
if [ "$status" -ne 0 ]; then
  echo "libFuzzer exited with $status; its report:"
  grep -A30 -E '^==[0-9]+==ERROR|runtime error|deadly signal' "$log" | head -60
  ls -1 "$artifacts"
  exit 1
fi
