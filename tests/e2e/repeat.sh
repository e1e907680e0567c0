#!/usr/bin/env bash
# Runs the end-to-end test N times while both cores are kept busy, and prints the tally.
#   tests/e2e/repeat.sh N [BUILD_DIR]      (not part of CI: a 100-run tally takes about 30 min)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runs="${1:?usage: $0 N [BUILD_DIR]}"
build="${2:-$here/../../build}"
hogs=()
for _ in $(seq "$(nproc)"); do
  ( while :; do :; done ) &
  hogs+=($!)
done
trap 'kill "${hogs[@]}" 2>/dev/null' EXIT
passed=0 failed=0
for i in $(seq "$runs"); do
  if bash "$here/run.sh" "$build" >"/tmp/tonvista-repeat-$$.log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "run $i failed:" >&2
    sed 's/^/  /' "/tmp/tonvista-repeat-$$.log" >&2
  fi
done
rm -f "/tmp/tonvista-repeat-$$.log"
echo "$runs passed, $failed failed" | sed "s/^$runs passed/$passed passed/"
[ "$failed" -eq 0 ]
