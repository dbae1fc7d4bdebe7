#!/usr/bin/env bash
# This platform's LMTP service against an established LMTP store, in one run, printed as one
# table: the bench corpus and its four rules through this LMTP service with the sink, and
# through Dovecot's LMTP with the same rules as a Sieve script (sieve_before), each directly
# and behind Postfix, at 1, 4 and 16 concurrent sessions. Postfix and Dovecot are installed
# from Debian packages if missing (as root) and run as private instances in temporary folders;
# the machine's own services are never started or touched.
#   bench/peer.sh [BUILD_DIR]        (default build/default; MESSAGES=N shortens the corpus)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
for f in "$build/tools/drossgate-platform" "$build/sink/Drossgate.so"; do
  [ -e "$f" ] || { echo "peer.sh: $f is missing: build first" >&2; exit 2; }
done
source scripts/packages.sh
DROSSGATE_PACKAGES=(python3 postfix dovecot-core dovecot-lmtpd dovecot-sieve)
drossgate_install_packages
exec python3 bench/peer.py "$build"
