#!/usr/bin/env bash
# The program on Wayland: a private headless weston and a private sound server playing a tone
# (scripts/sound-test-server), both in a private XDG_RUNTIME_DIR, and Qt's Wayland plugin.
#  1. build/tonvista itself connects, opens its main window and paints it (seen in the Wayland
#     protocol log), and is still running a few seconds later;
#  2. e2e_drive_windows, the same start-up driven through its own buttons and shortcuts,
#     records, shows every tool window, stops and quits by itself with status 0.
# Any crash, sanitizer report or missing window fails the test.
#
#   tests/e2e/wayland.sh BUILD_DIR        (needs weston, qt6-wayland)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)"
server="$here/../../scripts/sound-test-server"
# shellcheck source=sound.sh
. "$here/sound.sh"
drive="$build/tests/e2e_drive_windows"
[ -x "$build/tonvista" ] && [ -x "$drive" ] ||
  { echo "wayland: $build/tonvista or $drive is missing (build the tests)" >&2; exit 1; }
command -v weston >/dev/null || { echo "wayland: weston is missing (scripts/deps test)" >&2; exit 1; }

work="$(mktemp -d /tmp/tonvista-wayland-XXXXXX)"
weston_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$weston_pid" ] && kill "$weston_pid" 2>/dev/null || true
  "$server" stop "$work/sound" >/dev/null 2>&1 || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "wayland: FAIL: $*" >&2
  for log in weston app drive; do
    # The protocol log's lines (in brackets) left out.
    [ -f "$work/$log.log" ] && { grep -v '^\[' "$work/$log.log" || true; } | tail -40 | sed "s/^/$log: /" >&2
  done
  exit 1
}
# A sanitizer report or a crash in a log.
reported() {
  grep -E 'ERROR: (Address|Leak|UndefinedBehavior|Thread)Sanitizer|runtime error:|Segmentation fault|Aborted' "$1"
}

# The sound server first: its runtime folder is the private XDG_RUNTIME_DIR of everything here.
start_sound_server "$work"
"$server" tone "$work/sound" 1000 44100 1 0.5

socket="tonvista-$$"
weston --backend=headless-backend.so --socket="$socket" --idle-time=0 --width=1600 --height=1200 \
  >"$work/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 100); do
  [ -S "$XDG_RUNTIME_DIR/$socket" ] && break
  kill -0 "$weston_pid" 2>/dev/null || fail "weston ended"
  sleep 0.1
done
[ -S "$XDG_RUNTIME_DIR/$socket" ] || fail "weston did not open its socket"
export WAYLAND_DISPLAY="$socket" QT_QPA_PLATFORM=wayland LANG=C LC_ALL=C
unset DISPLAY
# A headless weston has no seat, and Qt 6.4's Wayland input method then crashes in the first
# focused line edit it draws (a file dialog's): the compose input method stands in for it.
export QT_IM_MODULE=compose

# 1. The program itself. The protocol log shows the window's title and a buffer committed to a
# surface after it: the main window mapped and painted.
WAYLAND_DEBUG=client "$build/tonvista" >"$work/app.log" 2>&1 &
app_pid=$!
shown=""
for _ in $(seq 150); do
  kill -0 "$app_pid" 2>/dev/null || fail "the program ended on its own"
  if grep -q 'set_title("TonvistaV1.9")' "$work/app.log" &&
    sed -n '/set_title("TonvistaV1.9")/,$p' "$work/app.log" | grep -q 'wl_surface@[0-9]*\.attach(wl_buffer@' &&
    sed -n '/set_title("TonvistaV1.9")/,$p' "$work/app.log" | grep -q 'wl_surface@[0-9]*\.commit()'; then
    shown=1
    break
  fi
  sleep 0.1
done
[ -n "$shown" ] || fail "the main window was not shown on Wayland"
sleep 2
kill -0 "$app_pid" 2>/dev/null || fail "the program ended after showing its window"
reported "$work/app.log" && fail "the program reported a fault"
kill "$app_pid"
wait "$app_pid" 2>/dev/null || true
app_pid=""
echo "wayland: build/tonvista showed its main window"

# 2. Start, every tool window, Stop and Quit through the program's own controls.
status=0
timeout 180 "$drive" wayland >"$work/drive.log" 2>&1 || status=$?
grep '^drive:' "$work/drive.log" || true
[ "$status" -eq 0 ] || fail "the driven program exited with status $status"
reported "$work/drive.log" && fail "the driven program reported a fault"
grep -q '^drive: passed$' "$work/drive.log" || fail "the driven program did not finish its steps"
kill -0 "$weston_pid" 2>/dev/null || fail "weston ended during the test"
echo "wayland: passed"
