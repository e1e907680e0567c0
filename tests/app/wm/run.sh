#!/usr/bin/env bash
# Runs the window-manager tests under a private X server with twm framing the windows.
#
#   tests/app/wm/run.sh TEST_BINARY [SCREENSHOT.png]
#
# TONVISTA_WM_DISPLAY picks the display (for example :21); by default xvfb-run finds a free one.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
binary="${1:?usage: $0 TEST_BINARY [SCREENSHOT.png]}"
shot="${2:-}"
if [ -z "${TONVISTA_WM_X:-}" ]; then
  export TONVISTA_WM_X=1
  if [ -n "${TONVISTA_WM_DISPLAY:-}" ]; then
    Xvfb "$TONVISTA_WM_DISPLAY" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
      DISPLAY="$TONVISTA_WM_DISPLAY" xdpyinfo >/dev/null 2>&1 && break
      sleep 0.1
    done
    DISPLAY="$TONVISTA_WM_DISPLAY" bash "$0" "$binary" "$shot"
    exit $?
  fi
  exec xvfb-run -a -s "-screen 0 1600x1200x24" bash "$0" "$binary" "$shot"
fi

twm -f "$here/twmrc" >/dev/null 2>&1 &
twm=$!
trap 'kill $twm 2>/dev/null || true' EXIT
sleep 0.5
kill -0 $twm 2>/dev/null || { echo "wm: twm did not start" >&2; exit 1; }
export QT_QPA_PLATFORM=xcb TONVISTA_WM_SCREENSHOT="$shot" TONVISTA_WM_EXPECTED=1
export XDG_RUNTIME_DIR="$(mktemp -d /tmp/tonvista-wm-XXXXXX)"
trap 'kill $twm 2>/dev/null || true; rm -rf "$XDG_RUNTIME_DIR"' EXIT
"$binary" --gtest_filter='WindowManager.*'
