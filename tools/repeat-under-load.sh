#!/usr/bin/env bash
# Runs a command N times while CPU-bound processes keep every core busy, and
# prints how many of the runs failed: a check that a test does not depend on
# the machine being quiet.
#
#   tools/repeat-under-load.sh 50 bash tests/freethreaded-tsan.sh
#
# AESO_LOAD_PROCESSES sets the number of busy processes (default: one).
# Each run's output goes to ${AESO_REPEAT_LOG:-build/repeat}/run-<i>.log.
set -uo pipefail

count=${1:?usage: $0 N COMMAND...}
shift
[ $# -gt 0 ] || { echo "usage: $0 N COMMAND..." >&2; exit 2; }
logs=${AESO_REPEAT_LOG:-build/repeat}
mkdir -p "$logs"

hogs=()
cleanup() {
  for pid in "${hogs[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq "${AESO_LOAD_PROCESSES:-1}"); do
  python3 -c "while True: pass" &
  hogs+=($!)
done

failed=0
for i in $(seq "$count"); do
  if "$@" >"$logs/run-$i.log" 2>&1; then
    echo "run $i: passed"
  else
    failed=$((failed + 1))
    echo "run $i: FAILED ($logs/run-$i.log)"
  fi
done
echo "$failed of $count runs failed"
[ "$failed" -eq 0 ]
