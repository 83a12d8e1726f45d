#!/usr/bin/env bash
# Builds corvane and runs it in the foreground on a ready demo setup kept
# under the checkout: its own settings folder (demo/settings), a shared
# folder (demo/share) and guest access switched on. Port 548 when run as
# root, else 10548 (or $CORVANE_DEMO_PORT). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

tools/install-deps.sh --build
cmake -S . -B build-demo -G Ninja -DCORVANE_TESTS=OFF >/dev/null
ninja -C build-demo corvane corvane-admin uamshare client_uam

settings="$top/demo/settings"
share="$top/demo/share"
mkdir -p "$settings" "$share"
chmod 700 "$settings"
if [[ ! -e "$share/Read me.txt" ]]; then
  printf 'Hello from corvane.\nThis folder is the demo share.\n' > "$share/Read me.txt"
fi

if [[ -n "${CORVANE_DEMO_PORT:-}" ]]; then
  port=$CORVANE_DEMO_PORT
elif [[ $(id -u) -eq 0 ]]; then
  port=548
else
  port=10548
fi
export CORVANE_SETTINGS_DIR="$settings"
admin=build-demo/bin/corvane-admin

build-demo/bin/corvane --port "$port" &
server=$!
trap 'kill -TERM "$server" 2>/dev/null; wait "$server"' INT TERM

# The administration socket comes up with the server; set the demo up once
# it answers. Settings persist, so a second run finds them in place.
for _ in $(seq 50); do
  "$admin" share list >/dev/null 2>&1 && break
  kill -0 "$server" 2>/dev/null || { wait "$server"; exit 1; }
  sleep 0.2
done
"$admin" share list | grep -q "demo/share\$" || "$admin" share add "$share"
"$admin" guest on
# A welcome message, unless one was saved before (and kept or changed).
[[ -e "$settings/afpLogonMessage" ]] || "$admin" message logon "Welcome to the corvane demo server."

cat <<INFO
corvane demo: port $port, settings folder $settings
  shared folder: $share (volume "share"), guest access on
  administer it with: CORVANE_SETTINGS_DIR=$settings $admin --help
  stop it with Ctrl-C
INFO
wait "$server"
