# Sourced by the tests that show windows: starts an Xvfb display of their own
# and exports DISPLAY; stop_xvfb ends it again (call it from the script's exit
# trap). Xvfb picks a free display number and writes it once it accepts
# clients.
#   start_xvfb WORKDIR
xvfb_pid=""

start_xvfb() {
  local work=$1
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 200); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -s "$work/display" ]; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    return 1
  fi
  DISPLAY=:$(head -n 1 "$work/display")
  export DISPLAY
}

stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
  fi
}
