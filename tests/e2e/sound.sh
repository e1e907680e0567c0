# Sourced by the end-to-end scripts, which set $server to scripts/sound-test-server: starts the
# private sound server in WORK/sound and points libpulse and ALSA's "default" at it. Its runtime
# folder becomes XDG_RUNTIME_DIR.
start_sound_server() {  # WORK
  printf 'autospawn = no\n' >"$1/client.conf"
  export PULSE_CLIENTCONFIG="$1/client.conf"
  eval "$("$server" start "$1/sound")"
  export XDG_RUNTIME_DIR PULSE_SERVER
  "$server" alsa-conf "$1/sound"
  export ALSA_CONFIG_PATH="$1/sound/asound.conf"
}
