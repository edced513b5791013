#!/usr/bin/env bash
# Going back does not depend on the host's speed: the reverse-execution
# session runs 10 times in a row while a busy loop of this test's own keeps
# a core loaded (for a bounded time; at the lowest priority, so that in a
# parallel test run it takes the time the other tests leave, and the host
# stays loaded without the suite waiting on it); every run gives the same
# answers. The
# key's interrupt comes within the first steps, so 30 each way cross it;
# the long stretch is the single run's (tools.gdb_reverse).
set -euo pipefail
build=$1
command -v gdb-multiarch >/dev/null || { echo "gdb-multiarch not installed: skipped"; exit 77; }
nice -n 19 timeout 900 sh -c 'while :; do :; done' &
hog=$!
trap 'kill "$hog" 2>/dev/null || true' EXIT
bash "$(dirname "$0")/gdb_reverse.test.sh" "$build" 10 30
