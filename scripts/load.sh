#!/usr/bin/env bash
# Runs the load tests from a built tree and prints their result lines: 20,000 messages through
# threads and processes at once ($DROSSGATE_LOAD_MESSAGES), and 10,000 messages with one
# deliver process each, four at once, into one mailbox ($DROSSGATE_RACE_MESSAGES); each reports
# how many messages were lost, doubled or misplaced. Usage: scripts/load.sh BUILD_DIR
set -euo pipefail
if [[ $# -ne 1 || ! -x "$1/tests/e2e/load_tests" ]]; then
  echo "usage: $0 BUILD_DIR (a build tree with tests/e2e/load_tests built)" >&2
  exit 2
fi
export DROSSGATE_LOAD_MESSAGES="${DROSSGATE_LOAD_MESSAGES:-20000}"
export DROSSGATE_RACE_MESSAGES="${DROSSGATE_RACE_MESSAGES:-10000}"
start=$(date +%s)
status=0
"$1/tests/e2e/load_tests" --gtest_brief=1 || status=$?
echo "load tests: $(( $(date +%s) - start )) s wall clock," \
  "$([[ $status -eq 0 ]] && echo passed || echo FAILED)"
exit "$status"
