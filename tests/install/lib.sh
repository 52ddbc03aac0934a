# Shared by the install and package checks: a simulator on loopback and hosts that play on it.
# The caller sets `work` (a scratch directory) and calls wallsim_stop when it exits.

fail() { echo "$check_name: FAILED: $*" >&2; exit 1; }

# Starts the simulator (the given ostrel binary) on a free loopback port; sets wallsim_port.
wallsim_start() {
  "$1" wallsim --port 0 >"$work/wallsim.log" 2>&1 &
  wallsim_pid=$!
  for _ in $(seq 100); do
    wallsim_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$work/wallsim.log")
    [ -n "$wallsim_port" ] && return 0
    sleep 0.1
  done
  fail "the simulator did not start: $(cat "$work/wallsim.log")"
}

wallsim_stop() {
  [ -z "${wallsim_pid:-}" ] || kill "$wallsim_pid" 2>/dev/null || true
  [ -z "${wallsim_pid:-}" ] || wait "$wallsim_pid" 2>/dev/null || true
  wallsim_pid=""
}

# run_host NAME PROGRAM: the host plays rtsp://NAME on the simulator, which must apply it.
run_host() {
  url="rtsp://$1"
  "$2" "$wallsim_port" "$url" || fail "$1: the host did not deliver its command"
  for _ in $(seq 50); do
    grep -q "$url" "$work/wallsim.log" && { echo "$1: delivered and applied"; return 0; }
    sleep 0.1
  done
  fail "$1: the simulator did not apply the command; its log: $(cat "$work/wallsim.log")"
}

# Fails unless PROGRAM loads libostrel.so from the directory DIR (or, with DIR "-", not at all).
check_loads_from() {
  found=$(ldd "$1" | sed -n 's/^[[:space:]]*libostrel\.so[^ ]* => \([^ ]*\).*/\1/p')
  case "$2" in
    -) [ -z "$found" ] || fail "$1 loads $found; it should hold the library itself" ;;
    *) [ -n "$found" ] && [ "$(cd "$(dirname "$found")" && pwd -P)" = "$(cd "$2" && pwd -P)" ] ||
         fail "$1 loads '$found', expected it from $2" ;;
  esac
}
