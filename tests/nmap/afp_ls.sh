#!/usr/bin/env bash
# Starts corvane on a free port with a fresh settings folder and a share that
# guests may use, lets nmap's afp-ls script log in as guest and list it, and
# checks that the share's files appear in what nmap prints.
#
# usage: afp_ls.sh <path-to-corvane> <path-to-corvane-admin>
set -euo pipefail
export LC_ALL=C

fail() {
  echo "afp_ls: FAIL: $*" >&2
  exit 1
}

[[ $# -eq 2 ]] || { echo "usage: $0 <path-to-corvane> <path-to-corvane-admin>" >&2; exit 2; }
corvane=$1
admin=$2
command -v nmap >/dev/null || fail "nmap is not installed"

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-nmap-ls-XXXXXX")
server_pid=""
cleanup() {
  if [[ -n $server_pid ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

export CORVANE_SETTINGS_DIR="$work/settings"
mkdir -p "$CORVANE_SETTINGS_DIR" "$work/Public/Reports"
chmod 755 "$work/Public" "$work/Public/Reports"
printf 'quarterly figures\n' > "$work/Public/figures.txt"
printf 'minutes\n' > "$work/Public/Reports/minutes.txt"
chmod 644 "$work/Public/figures.txt" "$work/Public/Reports/minutes.txt"

"$corvane" --port 0 </dev/null 2>"$work/stderr" &
server_pid=$!
port=""
for _ in $(seq 200); do
  port=$(sed -n 's/^corvane: listening on port \([0-9][0-9]*\)$/\1/p' "$work/stderr" | head -n 1)
  [[ -n $port ]] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/stderr" >&2; fail "the server exited before it listened"; }
  sleep 0.1
done
[[ -n $port ]] || fail "the server did not listen within 20 s"

"$admin" share add "$work/Public" >/dev/null || fail "could not add the share"
"$admin" guest on >/dev/null || fail "could not switch guest access on"

output=$(nmap -Pn -n -p "$port" --script +afp-ls 127.0.0.1 2>&1) || { echo "$output"; fail "nmap exited with an error"; }
echo "$output"
grep -q 'afp-ls' <<<"$output" || fail "nmap printed no afp-ls result"
grep -qi 'error' <<<"$(sed -n '/afp-ls/,$p' <<<"$output")" && fail "the afp-ls script reported an error"
grep -q 'Public' <<<"$output" || fail "the volume 'Public' is not listed"
grep -q 'figures.txt' <<<"$output" || fail "the file 'figures.txt' is not listed"
grep -q 'Reports' <<<"$output" || fail "the folder 'Reports' is not listed"

kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
[[ $status -eq 0 ]] || fail "the server exited with status $status after SIGTERM"
echo "afp_ls: OK"
