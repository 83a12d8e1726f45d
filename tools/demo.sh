#!/usr/bin/env bash
# Builds corvane and runs it in the foreground on a ready demo setup kept
# under the checkout: demo/settings (its own settings folder) and demo/share.
# Port 548 when run as root, else 10548 (or $CORVANE_DEMO_PORT). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

tools/install-deps.sh --build
cmake -S . -B build -G Ninja -DCORVANE_TESTS=OFF >/dev/null
ninja -C build corvane

settings="$top/demo/settings"
share="$top/demo/share"
mkdir -p "$settings" "$share"
chmod 700 "$settings"
if [[ ! -e "$share/Read me.txt" ]]; then
  printf 'Hello from corvane.\nThis folder is the demo share.\n' > "$share/Read me.txt"
fi
if [[ ! -e "$settings/afpLogonMessage" ]]; then
  (umask 177; printf 'Welcome to the corvane demo server.' > "$settings/afpLogonMessage")
fi

if [[ -n "${CORVANE_DEMO_PORT:-}" ]]; then
  port=$CORVANE_DEMO_PORT
elif [[ $(id -u) -eq 0 ]]; then
  port=548
else
  port=10548
fi
echo "corvane demo: settings folder $settings, share folder $share, port $port"
export CORVANE_SETTINGS_DIR="$settings"
exec build/bin/corvane --port "$port"
