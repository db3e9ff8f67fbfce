#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the whole suite in a
# RelWithDebInfo build, then the non-GUI unit tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, with a short smoke run of
# every fuzzing harness (built in the sanitizer tree) beside them, and last
# the same tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# Most tests wait on their peers (processes, sockets, timers) far more than
# they compute: two at a time per core keep the cores busy (on 2 cores the
# first phase's tests took 424 s at -j2 and 284 s at -j4).
jobs=$(( $(nproc) * 2 ))
# Each phase's start, with the seconds since the run began and the load.
phase() { echo "== $* [$(date +%T), ${SECONDS} s, load $(cut -d' ' -f1-3 /proc/loadavg)]"; }
export QTWEBENGINE_DISABLE_SANDBOX=1
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"

# Both builds link with lld and keep line tables and function names only
# (-g1): the backtraces of a failure stay readable, the builds get faster.
fast=(-DQDK_LINKER=lld -DQDK_DEBUG_INFO=-g1)

phase "build (RelWithDebInfo)"
# The client and its programs optimized as released (-O2); the tests' own
# code with -O1, which builds faster.
scripts/build.sh build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQDK_TEST_OPTIMIZATION=-O1 "${fast[@]}"

phase "build (sanitizers and fuzzing harnesses) begins beside the tests"
# One clang build serves the sanitizer pass and the fuzzing harnesses: the
# libraries are compiled once, instrumented for both (coverage for libFuzzer
# costs the tests little). The speed measurements are built once, above:
# nothing runs them here. The tests wait on their peers much of the time;
# the build runs meanwhile at the idle priority (SCHED_IDLE), so it takes
# only the processor time that no test wants: a test that wakes up takes
# the processor from it at once. Its output goes to build-asan.log.
setsid env CC=clang CXX=clang++ chrt --idle 0 scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug \
  -DQDK_SANITIZE=ON -DQDK_FUZZ=ON -DQDK_BUILD_GUI=OFF -DQDK_BUILD_BENCH=OFF "${fast[@]}" >build-asan.log 2>&1 &
asan_build=$!
# The build does not outlive a run that ends early.
trap 'kill -- -"$asan_build" 2>/dev/null || true' EXIT

phase "tests"
(cd build-tests && xvfb-run -a -s "-screen 0 1920x1080x24 -noreset" \
   ctest --output-on-failure -j "$jobs" --timeout 300)

phase "build (sanitizers and fuzzing harnesses) ends"
if ! wait "$asan_build"; then
  tail -n 100 build-asan.log
  echo "The sanitizer build failed (the whole output is in build-asan.log)" >&2
  exit 1
fi
trap - EXIT
tail -n 1 build-asan.log
phase "unit tests under sanitizers, fuzzing harnesses (smoke run) beside them"
# The sanitizer runtime of GCC 12 (and, by the same crash, clang 14's)
# misreads the size of a thread's dynamic TLS block under this glibc (the
# block no longer comes from __libc_memalign, and the fallback reads a
# header that is not there): at exit the leak checker then scans from a
# made-up address and crashes ("Tracer caught signal 11"; with
# LSAN_OPTIONS=log_threads=1, "DTLS 8 at 0x6af-0x28000017b1"). It happens
# at random, in the processes that load the USB module, whose refusal text
# is thread_local. Not following __tls_get_addr leaves such blocks
# unscanned: the module's text is the main thread's, freed at exit before
# the leak check.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:intercept_tls_get_addr=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Should the leak checker's tracer still crash itself ("Tracer caught
# signal 11"), that tells nothing of our code: tests that failed only so,
# one such crash each, run once more; any other failure stands.
#
# The fuzzing harnesses' smoke run (two at a time, 10 s each) goes on beside
# these tests, which leave much of the processor idle while they wait on
# their peers (on 2 cores, 40 % of it). It runs at a lower priority (nice
# 10): at full priority its two busy harnesses starved the daemon of a test
# that times its answers (Daemon.IdleConnectionsHoldUpNoRequest failed
# once on 2 cores); the harnesses' own time-outs (10 s and more for one
# input) leave them room enough. Its output goes to fuzz-smoke.log and is
# shown when the tests are done.
setsid nice -n 10 scripts/run-fuzzers.sh --smoke --build build-asan --no-build >fuzz-smoke.log 2>&1 &
fuzz_smoke=$!
# The ThreadSanitizer tree builds meanwhile, at the idle priority; its
# output goes to build-tsan.log.
setsid chrt --idle 0 scripts/run-tsan.sh --build-only "${fast[@]}" >build-tsan.log 2>&1 &
tsan_build=$!
trap 'kill -- -"$fuzz_smoke" -"$tsan_build" 2>/dev/null || true' EXIT
if ! (cd build-asan && ctest --output-on-failure -j "$jobs" --timeout 300 -LE gui 2>&1 | tee ctest.log;
      exit "${PIPESTATUS[0]}"); then
  failed=$(grep -c . build-asan/Testing/Temporary/LastTestsFailed.log || true)
  # (a death test's child prints it behind "[  DEATH   ] ")
  crashes=$(grep -c "^\(\[  DEATH   \] \)\?Tracer caught signal 11" build-asan/ctest.log || true)
  if [ "$failed" -eq 0 ] || [ "$crashes" -lt "$failed" ]; then exit 1; fi
  phase "$failed test(s) failed by the leak checker's own crash only: once more"
  (cd build-asan && ctest --output-on-failure --rerun-failed --timeout 300)
fi

phase "fuzzing harnesses (smoke run) end"
fuzz_status=0
wait "$fuzz_smoke" || fuzz_status=$?
trap 'kill -- -"$tsan_build" 2>/dev/null || true' EXIT
cat fuzz-smoke.log
if [ "$fuzz_status" -ne 0 ]; then
  echo "A fuzzing harness found something or could not run (fuzz-smoke.log)" >&2
  exit 1
fi
# Last, the same non-GUI tests under ThreadSanitizer (scripts/run-tsan.sh):
# any data race or lock-order inversion fails the run. Its tree was built
# beside the sanitizer tests, at the idle priority as above.
phase "tests under ThreadSanitizer"
if ! wait "$tsan_build"; then
  tail -n 100 build-tsan.log
  echo "The ThreadSanitizer build failed (the whole output is in build-tsan.log)" >&2
  exit 1
fi
scripts/run-tsan.sh --no-build -j "$jobs"
phase "done"
