#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds, and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
drossgate_install_packages
drossgate_build
exec build/default/tools/drossgate-demo "$@"
