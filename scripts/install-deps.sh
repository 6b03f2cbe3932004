#!/usr/bin/env bash
# install-deps.sh -- makes sure the tools and libraries the node builds and
# tests with are there. Each package is looked for by what it provides (a
# command, a pkg-config module, a header or a library file), so nothing runs
# when everything is found, with or without dpkg. What is missing is installed
# with apt-get (as root or through sudo); without apt-get, one line names the
# packages to install and the script fails.
# Usage: scripts/install-deps.sh [extra package ...]
set -euo pipefail

packages=(cmake g++ make pkg-config libcjson-dev zlib1g-dev libgtest-dev curl "$@")

have_command() { command -v "$1" >/dev/null 2>&1; }
have_module() { have_command pkg-config && pkg-config --exists "$1"; }
have_header() { [ -f "/usr/include/$1" ] || [ -f "/usr/local/include/$1" ]; }

# True when what package provides is found on this machine.
provided() {
  case "$1" in
    cmake | make | curl | pkg-config) have_command "$1" ;;
    g++) have_command g++ ;;
    clang) have_command clang && have_command clang++ ;;
    apache2-utils) have_command ab ;;
    nginx) have_command nginx || [ -x /usr/sbin/nginx ] ;;
    libcjson-dev) have_module libcjson || have_header cjson/cJSON.h ;;
    zlib1g-dev) have_module zlib || have_header zlib.h ;;
    libgtest-dev) have_module gtest || have_header gtest/gtest.h ;;
    libbenchmark-dev) have_module benchmark || have_header benchmark/benchmark.h ;;
    libclang-rt-*-dev)
      # libFuzzer's runtime, where the installed clang looks for it.
      have_command clang &&
        [ -f "$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] ;;
    *)
      have_command dpkg-query &&
        dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" ;;
  esac
}

missing=()
for p in "${packages[@]}"; do
  provided "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! have_command apt-get; then
  echo "Missing: install the packages ${missing[*]} (Debian names) with your package manager" >&2
  exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif have_command sudo; then
  sudo=(sudo)
else
  echo "Missing packages: ${missing[*]} (run as root or install sudo)" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
