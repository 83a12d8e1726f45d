# Shared by the nmap checks: starting corvane on a free port with a fresh
# settings folder, and stopping it with SIGTERM. Source it after setting
# `check` to the check's name.

fail() {
  echo "$check: FAIL: $*" >&2
  exit 1
}

server_pid=""
work=""
cleanup() {
  if [[ -n $server_pid ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  [[ -z $work ]] || rm -rf "$work"
}
trap cleanup EXIT

# make_work: a temporary folder `work` with an empty settings folder in it,
# exported as CORVANE_SETTINGS_DIR.
make_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-$check-XXXXXX")
  export CORVANE_SETTINGS_DIR="$work/settings"
  mkdir -p "$CORVANE_SETTINGS_DIR"
}

# start_corvane CORVANE: starts the server and sets `server_pid` and `port`
# once it listens (within 20 s).
start_corvane() {
  "$1" --port 0 </dev/null 2>"$work/stderr" &
  server_pid=$!
  port=""
  for _ in $(seq 200); do
    port=$(sed -n 's/^corvane: listening on port \([0-9][0-9]*\)$/\1/p' "$work/stderr" | head -n 1)
    [[ -n $port ]] && return 0
    if ! kill -0 "$server_pid" 2>/dev/null; then
      cat "$work/stderr" >&2
      fail "the server exited before it listened"
    fi
    sleep 0.1
  done
  cat "$work/stderr" >&2
  fail "the server did not listen within 20 s"
}

# stop_corvane: SIGTERM; the server must exit with status 0 within 10 s.
stop_corvane() {
  kill -TERM "$server_pid"
  for _ in $(seq 100); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$server_pid" 2>/dev/null && fail "the server still runs 10 s after SIGTERM"
  local status=0
  wait "$server_pid" || status=$?
  server_pid=""
  if [[ $status -ne 0 ]]; then
    cat "$work/stderr" >&2
    fail "the server exited with status $status after SIGTERM"
  fi
}
