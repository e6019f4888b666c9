# Sourced: starts a virtual X display for Wine's windows on the first free
# display number from 90, exports DISPLAY and sets xvfb_pid (the caller
# stops it). Fails when none starts.
start_xvfb() {
  local n
  for n in $(seq 90 120); do
    [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do
      if [ -e /tmp/.X11-unix/X$n ]; then
        export DISPLAY=":$n"
        return 0
      fi
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$xvfb_pid" 2>/dev/null
    xvfb_pid=
  done
  echo "xvfb: no virtual display could be started" >&2
  return 1
}
start_xvfb
