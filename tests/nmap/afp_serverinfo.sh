#!/usr/bin/env bash
# Starts corvane on a free port with a fresh settings folder, asks nmap's
# afp-serverinfo script about it, and checks the server name, AFP versions
# and login methods it reports. Then stops the server with SIGTERM and
# expects a clean exit.
#
# usage: afp_serverinfo.sh <path-to-corvane>
set -euo pipefail
export LC_ALL=C

check=afp_serverinfo
source "$(dirname "$0")/common.sh"

[[ $# -eq 1 ]] || { echo "usage: $0 <path-to-corvane>" >&2; exit 2; }
corvane=$1
[[ -x $corvane ]] || fail "$corvane is not an executable program"
command -v nmap >/dev/null || fail "nmap is not installed"

make_work
start_corvane "$corvane"

# The + runs the script on a port other than 548.
output=$(nmap -Pn -n -p "$port" --script +afp-serverinfo 127.0.0.1 2>&1) ||
  { echo "$output"; fail "nmap exited with an error"; }
echo "$output"

# The value of one "|   Field: value" line of the script's output.
field() {
  sed -n "s/^|[ _]*$1: *//p" <<<"$output" | head -n 1
}

grep -q '^|[ _]*afp-serverinfo:' <<<"$output" || fail "nmap printed no afp-serverinfo result"
if grep -qi 'afp-serverinfo:.*error' <<<"$output"; then
  fail "the afp-serverinfo script failed on the server's reply"
fi

# The server names itself after the host, cut to 31 bytes.
expected_name=$(uname -n)
expected_name=${expected_name:0:31}
[[ -n $expected_name ]] || expected_name=BeComputer
name=$(field "Server Name")
[[ $name == "$expected_name" ]] || fail "server name '$name', expected '$expected_name'"

versions=$(field "AFP Versions")
for version in AFP2.2 AFPX03 AFP3.1 AFP3.2; do
  grep -qF -- "$version" <<<"$versions" || fail "AFP version $version missing from '$versions'"
done

methods=$(field "UAMs")
for method in "Cleartxt passwrd" "BeOS_Encryption_v1.0" "BeOS_Encryption_v2.0"; do
  grep -qF -- "$method" <<<"$methods" || fail "login method '$method' missing from '$methods'"
done

stop_corvane
echo "afp_serverinfo: OK"
