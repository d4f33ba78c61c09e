#!/usr/bin/env bash
# Installs what is missing, builds the program (with the guide View Help opens) and runs it
# against the simulated pump and valve. It runs in build/run-simulated, which keeps the
# setup.txt it writes at the end out of the repository.
# Usage: scripts/run-simulated.sh [quorvel's arguments, e.g. a method file]
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh
cmake --preset default
run_dir=$root/build/run-simulated
mkdir -p "$run_dir"

if grep -q '^QUORVEL_GUI:BOOL=ON' build/default/CMakeCache.txt; then
  cmake --build --preset default --target quorvel
  # A method file named on the command line is found from where the script was started.
  args=()
  options=true
  for arg in "$@"; do
    if $options && [ "$arg" = "--" ]; then
      options=false
    elif { ! $options || [[ $arg != -* ]]; } && [[ $arg != /* ]]; then
      arg=$caller/$arg
    fi
    args+=("$arg")
  done
  cd "$run_dir"
  exec "$root/build/default/src/quorvel" --simulate "${args[@]}"
fi
# Without the windows: the simulators alone, for a program started elsewhere.
cmake --build --preset default --target quorvel-sim
cd "$run_dir"
exec "$root/build/default/sim/quorvel-sim" "$@"
