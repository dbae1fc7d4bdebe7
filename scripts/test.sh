#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
drossgate_install_packages
drossgate_build
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build/default --output-on-failure -j"$(nproc)"
