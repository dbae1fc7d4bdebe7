#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds, and runs the demo: a demo platform
# in ./demo-platform, the sink installed with four rules and registered on every mailbox, a
# corpus of real-looking mail delivered, the SMTP pickup service run, and a table of where
# each message went.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
drossgate_install_packages
drossgate_build
exec bash scripts/demo-run.sh build/default "$@"
