# Sourced by the scripts and tests that open Sampleton without a display of their own.
#
#   start_virtual_display
#
# starts Xvfb (1024x768, 24 bits, 96 dpi, no TCP) on a display number that it finds free
# itself (-displayfd: it takes the first number whose lock and socket nobody holds, so
# callers running at the same time, or X servers of other file systems on the same machine,
# never share one), waits until it answers, exports DISPLAY and leaves Xvfb's pid in
# virtual_display_pid for the caller to end. It also unsets QT_QPA_PLATFORM, so that the
# window goes to that display whatever platform the caller's environment names (the
# offscreen one of the widget tests, say). A busy machine may take many seconds to bring
# the server up, so it is given a minute. Returns 1, with nothing left running, when the
# server stops or never answers.
start_virtual_display() {
  local ready number
  ready=$(mktemp) || return 1
  # The server writes its number, and a line break, once it accepts connections.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$ready" >/dev/null 2>&1 &
  virtual_display_pid=$!
  for _ in $(seq 600); do
    if [ "$(wc -l <"$ready")" -ge 1 ]; then
      number=$(head -n 1 "$ready")
      rm -f "$ready"
      export DISPLAY=":$number"
      unset QT_QPA_PLATFORM
      return 0
    fi
    kill -0 "$virtual_display_pid" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$ready"
  kill "$virtual_display_pid" 2>/dev/null || true
  wait "$virtual_display_pid" 2>/dev/null || true
  return 1
}
