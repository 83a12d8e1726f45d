#!/usr/bin/env bash
# Installs the Debian packages corvane needs that are missing.
#   tools/install-deps.sh          build and test packages
#   tools/install-deps.sh --build  only what building needs
set -euo pipefail

packages=(cmake ninja-build g++ make)
if [[ "${1:-}" != "--build" ]]; then
  packages+=(libgtest-dev libgmock-dev nmap)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "Need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
