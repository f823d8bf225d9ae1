#!/usr/bin/env bash
# Installs and builds (scripts/setup.sh), registers the freshly built Corvane for this user
# and starts Sampleton.
#
# With a display (DISPLAY set) the window opens there and the script ends with it. Without
# one, the window opens on a virtual X server: the script waits until it is mapped, saves a
# screenshot and prints its path, then closes the window the way a session end does
# (SIGTERM), so that the window saves its settings file (build/bin/Sampleton.ini, or
# ~/.config/Sampleton.ini where root runs a build folder every user may reach, as it would
# an installed program), and exits with the program's status. Safe to run again, from any directory.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${CORVANE_BUILD_DIR:-$top/build}"
bin="$build/bin"

"$top/scripts/setup.sh" --run
"$bin/corvane-register" "$bin/Corvane.so"

if [ -n "${DISPLAY:-}" ]; then
  exec "$bin/Sampleton"
fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT

source "$top/scripts/virtual_display.sh"
start_virtual_display || { echo "run.sh: no virtual display could be started (Xvfb)" >&2; exit 1; }
pids+=("$virtual_display_pid")

# A window manager, when one is installed, draws the caption and frame.
for wm in openbox twm; do
  if command -v "$wm" >/dev/null 2>&1; then
    "$wm" >/dev/null 2>&1 &
    pids+=($!)
    sleep 0.5
    break
  fi
done

"$bin/Sampleton" &
app=$!
pids+=("$app")
if ! timeout 30 xdotool search --sync --onlyvisible --name 'Corvane' >/dev/null; then
  echo "run.sh: the window did not appear" >&2
  exit 1
fi
sleep 1  # let it paint

shot="${TMPDIR:-/tmp}/sampleton-$(date +%Y%m%d-%H%M%S)-$$.png"
import -display "$DISPLAY" -window root "$shot"
echo "Screenshot: $shot"

kill -TERM "$app"
status=0
wait "$app" || status=$?
settings="$bin/Sampleton.ini"
[ -e "$settings" ] || settings="${XDG_CONFIG_HOME:-$HOME/.config}/Sampleton.ini"
echo "Settings: $settings"
exit "$status"
