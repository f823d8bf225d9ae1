# Sourced by the scripts and tests that open Sampleton without a display of their own.
#
#   start_virtual_display FIRST LAST
#
# starts Xvfb (1024x768, 24 bits, 96 dpi, no TCP) on the first display number from FIRST
# to LAST that nobody uses, waits until it answers, exports DISPLAY and leaves Xvfb's pid
# in virtual_display_pid for the caller to end. It also unsets QT_QPA_PLATFORM, so that the
# window goes to that display whatever platform the caller's environment names (the
# offscreen one of the widget tests, say). Callers running at the same time use ranges of
# their own. Returns 1 when no number in the range is free.
start_virtual_display() {
  local first=$1 last=$2 n display=""
  for n in $(seq "$first" "$last"); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      display=":$n"
      break
    fi
  done
  [ -n "$display" ] || return 1
  Xvfb "$display" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
  virtual_display_pid=$!
  for _ in $(seq 100); do
    xdpyinfo -display "$display" >/dev/null 2>&1 && break
    sleep 0.1
  done
  export DISPLAY="$display"
  unset QT_QPA_PLATFORM
}
