#!/usr/bin/env bash
# Drives the real program as a user would, under a private X server, with ALSA's default
# capture device replaying a known stereo signal, and checks the exported table against
# levels computed here from the signal itself.
#
#   tests/e2e/run.sh BUILD_DIR        (needs Xvfb, xdpyinfo, xdotool, python3)
# TONVISTA_E2E_SOURCE=server plays the signal through a private sound server instead
# (scripts/sound-test-server, of the kind TONVISTA_TEST_SOUND_SERVER or the machine gives), which
# is then ALSA's "default": the program records it as it would on a desktop.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)"

work="$(mktemp -d /tmp/tonvista-e2e-XXXXXX)"
app_pid=""
player=""
source="${TONVISTA_E2E_SOURCE:-paced}"
server="$here/../../scripts/sound-test-server"
# shellcheck source=sound.sh
. "$here/sound.sh"
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$player" ] && kill -- "-$player" 2>/dev/null || true
  [ "$source" = server ] && "$server" stop "$work/sound" >/dev/null 2>&1 || true
  "$here/../../scripts/private-x" stop "$work/x"
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "e2e: FAIL: $*" >&2
  import -window root "$build/e2e-failure.png" 2>/dev/null && echo "e2e: screen saved to $build/e2e-failure.png" >&2
  [ -f "$work/app.log" ] && sed 's/^/app: /' "$work/app.log" >&2
  exit 1
}

# The signal: 44100 Hz stereo, 4096 frames holding exactly 140 cycles left (1507.3 Hz, -6.2 dBFS)
# and 560 cycles right (6029.3 Hz, -18.3 dBFS), so that any 4096 consecutive frames of the loop
# have the same spectrum at those bins. The test device plays the loop paced by the clock, as a
# sound card would: the file plugin over a FIFO is read at memory speed, runs dry and then
# silently hands out zeros or stale samples, which no program can tell from the signal.
python3 "$here/signal.py" write "$work/signal.raw"
plugin="$build/tests/libasound_module_pcm_pacedloop.so"
[ -f "$plugin" ] || { echo "e2e: $plugin is missing (build the tests)" >&2; exit 1; }
cat >"$work/asound.conf" <<EOF
pcm_type.pacedloop { lib "$plugin" }
# Playback goes nowhere; it is there so the program finds a sound device at start-up.
pcm.!default { type asym; playback.pcm { type null };
  capture.pcm { type pacedloop; channels 2; loop "$work/signal.raw"; overrun_every 0;
    vanish_every 0 } }
EOF
eval "$("$here/../../scripts/private-x" start "$work/x" 1600x1200x24)"
if [ "$source" = server ]; then
  start_sound_server "$work"
  # The loop into the default sink, paced by the server; a process group of its own.
  setsid bash -c 'python3 "$1" loop "$2" /dev/stdout |
    exec pacat --raw --rate=44100 --channels=2 --format=s16le' play "$here/signal.py" \
    "$work/signal.raw" >/dev/null 2>&1 </dev/null &
  player=$!
  sleep 0.5
else
  export ALSA_CONFIG_PATH="$work/asound.conf"
  export XDG_RUNTIME_DIR="$work/run" && mkdir -m 700 "$work/run"
fi
export LANG=C LC_ALL=C QT_QPA_PLATFORM=xcb

"$build/tonvista" >"$work/app.log" 2>&1 &
app_pid=$!

# Waits for a window with exactly this title; prints its id.
window() {
  local id=""
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) && [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || fail "no window \"$1\""
  echo "$id"
}
# Clicks at window coordinates.
click() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
  sleep 0.3
}
alive() { kill -0 "$app_pid" 2>/dev/null || fail "the program ended"; }

main=$(window TonvistaV1.9)
xdotool windowmove "$main" 0 0
sleep 0.5
# Control places in the main window (800 x 600: the control row starts at y = 460).
start=(328 496) stop=(328 536) stereo=(249 555) fftlen=(146 518)
scope=(661 484) band=(740 484) save=(661 528) options=(661 550) quit=(740 539)
marker1=(450 482) marker1up=(588 482)

# Stereo, 4096 points (the list opens; typing picks the entry, Return takes it).
click "$main" "${stereo[@]}"
click "$main" "${fftlen[@]}"
xdotool type --delay 50 4096
xdotool key Return
sleep 0.3

# 1. Start.
click "$main" "${start[@]}"
alive

# 2. The vector scope and the band analyser, moved beside the main window.
click "$main" "${scope[@]}"
scope_w=$(window "VectorScope / LevelMeter")
xdotool windowmove "$scope_w" 820 0
click "$main" "${band[@]}"
band_w=$(window "1/3 Octave Analyser")
xdotool windowmove "$band_w" 820 560
sleep 1
alive

# 3. Options: level limits and a correction of +2.5 dB, then "Set" and "Close".
click "$main" "${options[@]}"
opt=$(window Options)
xdotool windowmove "$opt" 0 640
sleep 0.3
for field in "98 42 -120" "98 66 10" "98 178 2.5"; do
  set -- $field
  click "$opt" "$1" "$2"
  xdotool key ctrl+a
  xdotool type --delay 30 -- "$3"
done
click "$opt" 44 356   # Set
click "$opt" 145 356  # Close
alive

# 4. Marker 1 on and stepped up five bins.
click "$main" "${marker1[@]}"
for _ in 1 2 3 4 5; do click "$main" "${marker1up[@]}"; done
sleep 1

# 5. Stop; the block in progress is still shown.
click "$main" "${stop[@]}"
sleep 2
alive

# 6. "Save Chart...": type the name into the file dialog and confirm.
click "$main" "${save[@]}"
dialog=$(window "Save Files as...")
sleep 0.5
xdotool key --window "$dialog" ctrl+a
xdotool type --delay 20 "$work/saved chart"
xdotool key Return
for _ in $(seq 50); do [ -s "$work/saved chart.txt" ] && break; sleep 0.1; done
[ -s "$work/saved chart.txt" ] || fail "nothing was saved"
[ -s "$work/saved chart.bmp" ] && [ -s "$work/saved chart_plot.bmp" ] || fail "an image is missing"

# The screen, grabbed as the dialog opened, shows the chart's drawing of the stopped traces
# (but for its menu button, in the top-right corner).
python3 "$here/shown.py" "$work/saved chart.bmp" "$work/saved chart_plot.bmp" 20 ||
  fail "the screen does not show what the chart drew"

# 7. The table against the signal: 4096 points, correction +2.5 dB.
python3 "$here/signal.py" check "$work/signal.raw" "$work/saved chart.txt" 2.5 ||
  fail "the exported levels do not match the signal"

# Quit through the button; the program must end by itself.
click "$main" "${quit[@]}"
for _ in $(seq 50); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "Quit did not end the program"
wait "$app_pid" || fail "the program exited with status $?"
app_pid=""
echo "e2e: passed"
