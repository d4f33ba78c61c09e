#!/usr/bin/env bash
# Installs what is missing, builds, and runs Quorvel against the simulated pump and valve.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
if [ -x build/default/src/quorvel ]; then
  exec build/default/src/quorvel --simulate "$@"
fi
# Without the windows: the simulators alone, for a program started elsewhere.
exec build/default/sim/quorvel-sim "$@"
