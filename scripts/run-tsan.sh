#!/usr/bin/env bash
# Builds the non-GUI test programs under ThreadSanitizer into build-tsan and
# runs them; any data race or lock-order inversion fails the run.
# Usage: scripts/run-tsan.sh [--build-only [extra cmake arguments...]]
#        scripts/run-tsan.sh [--no-build] [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
case "${1:-}" in
  --build-only)
    shift
    exec scripts/build.sh build-tsan -DQDK_TSAN=ON -DQDK_BUILD_GUI=OFF -DQDK_BUILD_BENCH=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" ;;
  --no-build) shift; build=0 ;;
esac
if [ "$build" -eq 1 ]; then
  scripts/build.sh build-tsan -DQDK_TSAN=ON -DQDK_BUILD_GUI=OFF -DQDK_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}"
cd build-tsan
ctest --output-on-failure -j "$(nproc)" --timeout 600 -LE gui "$@"
