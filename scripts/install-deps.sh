#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Quorvel.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  googletest libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  qt6-base-dev libgl-dev
  locales
  xvfb openbox
  poppler-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A decimal-comma locale, so the tests can show that no file or command line follows it.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "note: no de_DE.UTF-8 locale; its tests are skipped"
fi
