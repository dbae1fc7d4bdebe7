#!/usr/bin/env bash
# Runs the load test with 20,000 messages (or $DROSSGATE_LOAD_MESSAGES) from a built tree and
# prints its result line. Usage: scripts/load.sh BUILD_DIR
set -euo pipefail
if [[ $# -ne 1 || ! -x "$1/tests/e2e/load_tests" ]]; then
  echo "usage: $0 BUILD_DIR (a build tree with tests/e2e/load_tests built)" >&2
  exit 2
fi
export DROSSGATE_LOAD_MESSAGES="${DROSSGATE_LOAD_MESSAGES:-20000}"
start=$(date +%s)
status=0
"$1/tests/e2e/load_tests" --gtest_brief=1 || status=$?
echo "load test: $DROSSGATE_LOAD_MESSAGES messages, $(( $(date +%s) - start )) s wall clock," \
  "$([[ $status -eq 0 ]] && echo passed || echo FAILED)"
exit "$status"
