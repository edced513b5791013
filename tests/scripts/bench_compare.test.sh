#!/usr/bin/env bash
# scripts/bench-compare.sh builds a revision with the host's parallelism
# (CMAKE_BUILD_PARALLEL_LEVEL, else one job per core; not ninja's default of
# cores + 2) and leaves no git worktree registered behind; then it runs and
# reports. cmake is a stand-in here that records its arguments and "builds"
# the boardsim under test, so that the test takes seconds, not a build.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
git -C "$ROOT" rev-parse --verify -q HEAD >/dev/null || { echo "not a git checkout: skipped"; exit 0; }

git clone -q "$ROOT" "$T/repo"
cp -r "$ROOT/scripts/bench-compare.sh" "$ROOT/scripts/lib" "$T/repo/scripts/"   # the script as it is in this tree
mkdir "$T/fake"
cat > "$T/fake/cmake" <<FAKE
#!/bin/sh
echo "\$*" >> "$T/cmake.args"
case " \$* " in *" --build "*) mkdir -p build/bin && cp "$SIM" build/bin/boardsim ;; esac
FAKE
chmod +x "$T/fake/cmake"

run() { PATH="$T/fake:$PATH" "$T/repo/scripts/bench-compare.sh" --rounds 1 --passes 1 --image "$IMG" "$@"; }
CMAKE_BUILD_PARALLEL_LEVEL=1 run HEAD > "$T/out" 2> "$T/err" || fail "bench-compare: $(cat "$T/err")"
grep -q -- "--build build --target boardsim -j 1\$" "$T/cmake.args" || fail "not built with -j 1: $(cat "$T/cmake.args")"
grep -q "^HEAD " "$T/out" || fail "no figures for HEAD: $(cat "$T/out")"
[ "$(git -C "$T/repo" worktree list | wc -l)" = 1 ] || fail "a worktree was left registered: $(git -C "$T/repo" worktree list)"

rm -rf "$T/repo/build-bench" "$T/cmake.args"
run HEAD > "$T/out" 2> "$T/err" || fail "bench-compare: $(cat "$T/err")"
grep -q -- "-j $(nproc)\$" "$T/cmake.args" || fail "not one job per core ($(nproc)): $(cat "$T/cmake.args")"
echo "ok"
