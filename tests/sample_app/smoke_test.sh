#!/usr/bin/env bash
# The built program as a user runs it, on a virtual X server: it opens where its settings
# file says, a click on its send button puts the first test frame on the wire to a raw UDP
# peer, and closing it writes all seven settings back, to the same file even when the
# executable was replaced (as an upgrade or a rebuild does) while it ran.
#
#   smoke_test.sh <Sampleton> <Corvane.so> <corvane-register> <udp peer helper>
#
# Exit 0 on success, 77 (skipped) without Xvfb/xdotool, 1 on a failure.
set -euo pipefail
sampleton=$1 corvane=$2 register=$3 peer=$4

for tool in Xvfb xdotool xdpyinfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

fail() { echo "FAIL: $*" >&2; exit 1; }

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

export CORVANE_PLATFORM_HOME="$scratch/home"
"$register" "$corvane" >/dev/null || fail "registration"

# The program keeps its settings beside itself, so it runs from a copy in the scratch folder.
mkdir "$scratch/app"
cp "$sampleton" "$scratch/app/Sampleton"
ini="$scratch/app/Sampleton.ini"

"$peer" receive 30 >"$scratch/peer.out" &
peer_pid=$!
pids+=("$peer_pid")
for _ in $(seq 100); do [ -s "$scratch/peer.out" ] && break; sleep 0.05; done
peer_port=$(head -n 1 "$scratch/peer.out")
local_port=$("$peer" free-port)
printf '[From]\r\nLeft=1500\r\nTop=750\r\n[UDP]\r\nLocalPort=%s\r\nRemotePort=%s\r\nRemoteHost=127.0.0.1\r\nUDPUse=1\r\n[COM]\r\nLocalComm=1\r\n' \
  "$local_port" "$peer_port" >"$ini"

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/virtual_display.sh"
start_virtual_display || fail "no virtual display could be started (Xvfb)"
pids+=("$virtual_display_pid")

"$scratch/app/Sampleton" 2>"$scratch/app.err" &
app=$!
pids+=("$app")
window=$(timeout 30 xdotool search --sync --onlyvisible --name 'Corvane' | head -n 1) ||
  fail "the window did not appear"
sleep 0.5

# 96 dpi: 15 twips a pixel. The client area is 6615 x 2985 twips at 1500, 750.
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" = 441 ] && [ "$HEIGHT" = 199 ] || fail "window size ${WIDTH}x${HEIGHT}"
[ "$X" = 100 ] && [ "$Y" = 50 ] || fail "window position $X,$Y"

# The middle of Command1 (5880, 2160, 615 x 375 twips).
xdotool mousemove --window "$window" 412 156 click 1
wait "$peer_pid" || fail "the peer received nothing"
frame=$(sed -n 2p "$scratch/peer.out")
[ "$frame" = "01021f310304ff" ] || fail "frame on the wire: $frame"

# Moved by the user before closing: the saved position tells that the settings were written.
xdotool windowmove "$window" 150 75
for _ in $(seq 50); do
  eval "$(xdotool getwindowgeometry --shell "$window")"
  [ "$X" = 150 ] && break
  sleep 0.1
done

# An upgrade replaces the file the program runs from.
cp "$sampleton" "$scratch/app/Sampleton.new"
mv -f "$scratch/app/Sampleton.new" "$scratch/app/Sampleton"

kill -TERM "$app"
status=0
wait "$app" || status=$?
[ "$status" = 0 ] || fail "exit status $status: $(cat "$scratch/app.err")"
expected=$(printf '[From]\r\nLeft=2250\r\nTop=1125\r\n[UDP]\r\nLocalPort=%s\r\nRemotePort=%s\r\nRemoteHost=127.0.0.1\r\nUDPUse=1\r\n[COM]\r\nLocalComm=1\r\n' \
  "$local_port" "$peer_port")
[ "$(cat "$ini")" = "$expected" ] || fail "settings after closing: $(cat -A "$ini")"
[ "$(ls "$scratch/app")" = "$(printf 'Sampleton\nSampleton.ini')" ] ||
  fail "other files beside the program: $(ls "$scratch/app")"
echo "ok: frame $frame, settings saved"
