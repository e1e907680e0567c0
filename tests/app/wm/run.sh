#!/usr/bin/env bash
# Runs the window-manager tests on a private X server of their own, with twm framing windows.
#
#   tests/app/wm/run.sh TEST_BINARY [SCREENSHOT.png]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$here/../../.."
binary="${1:?usage: $0 TEST_BINARY [SCREENSHOT.png]}"
shot="${2:-}"

dir="$(mktemp -d /tmp/tonvista-wm-XXXXXX)"
twm=
cleanup() {
  [ -n "$twm" ] && kill "$twm" 2>/dev/null && wait "$twm" 2>/dev/null
  "$root/scripts/private-x" stop "$dir/x"
  rm -rf "$dir"
}
trap cleanup EXIT
eval "$("$root/scripts/private-x" start "$dir/x" 1600x1200x24)"

twm -f "$here/twmrc" >"$dir/twm.log" 2>&1 &
twm=$!
# The fresh server's root has no children until twm has taken it over.
for _ in $(seq 100); do
  kill -0 "$twm" 2>/dev/null || { echo "wm: twm did not start" >&2; cat "$dir/twm.log" >&2; exit 1; }
  [ "$(xwininfo -root -children | grep -c '^ *0x')" -gt 0 ] && break
  sleep 0.1
done

export QT_QPA_PLATFORM=xcb TONVISTA_WM_SCREENSHOT="$shot" TONVISTA_WM_EXPECTED=1
export XDG_RUNTIME_DIR="$dir/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$binary" --gtest_filter='WindowManager.*'
