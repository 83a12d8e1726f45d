#!/usr/bin/env bash
# Starts corvane on a free port with a fresh settings folder and a share that
# guests may use, lets nmap's afp-ls script log in as guest and list it, and
# checks that the share's files appear in what nmap prints.
#
# usage: afp_ls.sh <path-to-corvane> <path-to-corvane-admin>
set -euo pipefail
export LC_ALL=C

check=afp_ls
source "$(dirname "$0")/common.sh"

[[ $# -eq 2 ]] || { echo "usage: $0 <path-to-corvane> <path-to-corvane-admin>" >&2; exit 2; }
corvane=$1
admin=$2
command -v nmap >/dev/null || fail "nmap is not installed"

make_work
mkdir -p "$work/Public/Reports"
chmod 755 "$work/Public" "$work/Public/Reports"
printf 'quarterly figures\n' > "$work/Public/figures.txt"
printf 'minutes\n' > "$work/Public/Reports/minutes.txt"
chmod 644 "$work/Public/figures.txt" "$work/Public/Reports/minutes.txt"

start_corvane "$corvane"

"$admin" share add "$work/Public" >/dev/null || fail "could not add the share"
"$admin" guest on >/dev/null || fail "could not switch guest access on"

output=$(nmap -Pn -n -p "$port" --script +afp-ls 127.0.0.1 2>&1) || { echo "$output"; fail "nmap exited with an error"; }
echo "$output"
grep -q 'afp-ls' <<<"$output" || fail "nmap printed no afp-ls result"
grep -qi 'error' <<<"$(sed -n '/afp-ls/,$p' <<<"$output")" && fail "the afp-ls script reported an error"
grep -q 'Public' <<<"$output" || fail "the volume 'Public' is not listed"
grep -q 'figures.txt' <<<"$output" || fail "the file 'figures.txt' is not listed"
grep -q 'Reports' <<<"$output" || fail "the folder 'Reports' is not listed"

stop_corvane
echo "afp_ls: OK"
