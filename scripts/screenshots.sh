#!/usr/bin/env bash
# Pictures of every window, to look at after any change to a window:
#  - shots/<window>.png: each window in a typical state (offscreen, no display needed);
#  - shots/desktop.png: the real program in simulation mode on a virtual X display
#    (needs Xvfb and ImageMagick's import; skipped when they are missing).
# Usage: scripts/screenshots.sh [output directory]   (default: build/shots)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/shots}
mkdir -p "$out"
cmake --preset default >/dev/null
cmake --build --preset default --target window_gallery quorvel >/dev/null
QT_QPA_PLATFORM=offscreen build/default/tools/window_gallery "$out"

if command -v Xvfb >/dev/null && command -v import >/dev/null; then
  display=:97
  Xvfb $display -screen 0 1280x800x24 >/dev/null 2>&1 &
  xvfb=$!
  run=$(mktemp -d)
  trap 'kill $xvfb 2>/dev/null || true; rm -rf "$run"' EXIT
  sleep 1
  (cd "$run" && DISPLAY=$display XDG_RUNTIME_DIR="$run" "$OLDPWD/build/default/src/quorvel" --simulate) &
  program=$!
  sleep 5
  DISPLAY=$display import -window root "$out/desktop.png"
  kill -TERM $program
  wait $program || true
  echo "wrote $out/desktop.png"
fi
