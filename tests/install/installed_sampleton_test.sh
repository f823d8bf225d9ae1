#!/usr/bin/env bash
# Installed Sampleton in a folder it may not write keeps its settings in the user's
# configuration folder: the window position and fields of one run are there in the next.
#
#   installed_sampleton_test.sh <installed Sampleton> <udp peer helper>
#
# The control must be registered for the caller. Exit 0 on success, 77 (skipped) without
# Xvfb/xdotool, 1 on a failure.
set -euo pipefail
sampleton=$1 peer=$2

for tool in Xvfb xdotool xdpyinfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }

scratch=$(mktemp -d)
bin=$(dirname "$sampleton")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  chmod u+w "$bin"
  rm -rf "$scratch"
}
trap cleanup EXIT

chmod a-w "$bin"  # read-only, for root as well as far as the settings are concerned
export XDG_CONFIG_HOME="$scratch/config"
ini="$XDG_CONFIG_HOME/Sampleton.ini"
local_port=$("$peer" free-port)
remote_port=$("$peer" free-port)

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/virtual_display.sh"
start_virtual_display || fail "no virtual display could be started (Xvfb)"
pids+=("$virtual_display_pid")

# One run: start, check where the window is, move it to x,y, close it.
run_once() {  # <expected x> <expected y> <move to x> <move to y>
  "$sampleton" 2>"$scratch/app.err" &
  local app=$!
  pids+=("$app")
  local window
  window=$(timeout 30 xdotool search --sync --onlyvisible --name 'Corvane' | head -n 1) ||
    fail "the window did not appear: $(cat "$scratch/app.err")"
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$window")"
  [ "$X" = "$1" ] && [ "$Y" = "$2" ] || fail "window at $X,$Y, expected $1,$2"
  xdotool windowmove "$window" "$3" "$4"
  for _ in $(seq 50); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    [ "$X" = "$3" ] && break
    sleep 0.1
  done
  kill -TERM "$app"
  local status=0
  wait "$app" || status=$?
  [ "$status" = 0 ] || fail "exit status $status: $(cat "$scratch/app.err")"
}

# The first run starts from settings of the user's (fields with ports free now).
mkdir -p "$XDG_CONFIG_HOME"
printf '[From]\r\nLeft=1500\r\nTop=750\r\n[UDP]\r\nLocalPort=%s\r\nRemotePort=%s\r\nRemoteHost=127.0.0.1\r\nUDPUse=1\r\n[COM]\r\nLocalComm=7\r\n' \
  "$local_port" "$remote_port" >"$ini"
run_once 100 50 150 75
run_once 150 75 200 100
expected=$(printf '[From]\r\nLeft=3000\r\nTop=1500\r\n[UDP]\r\nLocalPort=%s\r\nRemotePort=%s\r\nRemoteHost=127.0.0.1\r\nUDPUse=1\r\n[COM]\r\nLocalComm=7\r\n' \
  "$local_port" "$remote_port")
[ "$(cat "$ini")" = "$expected" ] || fail "settings after two runs: $(cat -A "$ini")"
[ ! -e "$bin/Sampleton.ini" ] || fail "written beside the program"
echo "ok: position and fields kept in $ini across two runs"
