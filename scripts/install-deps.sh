#!/usr/bin/env bash
# install-deps.sh -- installs the Debian packages the node builds and tests with.
# Only missing packages are installed; apt-get runs as root or through sudo.
# Usage: scripts/install-deps.sh [extra package ...]
set -euo pipefail

packages=(cmake g++ make pkg-config libcjson-dev zlib1g-dev libgtest-dev curl "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "Missing packages: ${missing[*]} (run as root or install sudo)" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
