#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Quorvel.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  googletest libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  qt6-base-dev libgl-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
