#!/usr/bin/env bash
# Refreshes the README's picture of the setup window, docs/setup-window.png: builds the small
# drawing program, makes a demo platform in a temporary folder and draws the window on it
# offscreen. Run by hand after changing the window.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
cmake --build "$build" --target setup-window-screenshot drossgate-platform
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/drossgate-platform" --root "$work/platform" init --demo >/dev/null
# A stand-in library, so that the window offers the installation as on a server.
touch "$work/Drossgate.so"
out=$PWD/docs/setup-window.png
draw=$(realpath "$build/setup/setup-window-screenshot")
(cd "$work" && DROSSGATE_PLATFORM="$work/platform" QT_QPA_PLATFORM=offscreen \
  XDG_RUNTIME_DIR="$work" "$draw" "$out")
echo "wrote $out"
