#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, its own build folder) and
# runs them.
#
#   scripts/run-fuzzers.sh --smoke [SECONDS]   each harness SECONDS (default
#       10) from a copy of its seeds; fails when one finds anything (CI)
#   scripts/run-fuzzers.sh --for MINUTES       each harness MINUTES, by hand:
#       the corpora grow in --corpus DIR (default ~/.cache/quarrydesk-fuzz),
#       findings go to DIR/findings/<harness>/, the run goes on after one
#
# Further options: --jobs N (harnesses at a time, default 2), --build DIR
# (default build-fuzz), --no-build; names of harnesses limit the run (e.g.
# config_file). A harness <name> takes its seeds from fuzz/corpus/<name> (or,
# failing that, fuzz/corpus/<name without its last _part>), its dictionary
# from fuzz/<name>.dict and extra libFuzzer flags from fuzz/<name>.options.
# Each run reports its executions and what it found; a finding is replayed
# with: build-fuzz/fuzz/<name>_fuzzer FILE
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=""
seconds=10
minutes=0
jobs=2
build=build-fuzz
do_build=1
corpus_home=${XDG_CACHE_HOME:-$HOME/.cache}/quarrydesk-fuzz
names=()
while [ $# -gt 0 ]; do
  case $1 in
    --smoke) mode=smoke; if [[ ${2:-} =~ ^[0-9]+$ ]]; then seconds=$2; shift; fi ;;
    --for) mode=long; minutes=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --build) build=$2; shift ;;
    --no-build) do_build=0 ;;
    --corpus) corpus_home=$2; shift ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    -*) echo "run-fuzzers.sh: unknown option $1" >&2; exit 2 ;;
    *) names+=("$1") ;;
  esac
  shift
done
[ -n "$mode" ] || { echo "run-fuzzers.sh: give --smoke [SECONDS] or --for MINUTES" >&2; exit 2; }
case $build in /*) ;; *) build=$root/$build ;; esac

if [ "$do_build" = 1 ]; then
  echo "== build (fuzzers)"
  linker=()
  command -v ld.lld >/dev/null && linker=(-DQDK_LINKER=lld)
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQDK_FUZZ=ON -DQDK_BUILD_GUI=OFF -DQDK_BUILD_TESTS=OFF "${linker[@]}" >/dev/null
  cmake --build "$build" -j "$(nproc)" --target fuzzers
fi
[ ${#names[@]} -gt 0 ] || for f in fuzz/*_fuzzer.cpp; do f=${f#fuzz/}; names+=("${f%_fuzzer.cpp}"); done

# The sanitizers report in the libFuzzer run's log; POCO's signal handlers
# (installed by the command line's application object) must not take over
# the crash signals from AddressSanitizer.
export ASAN_OPTIONS="allow_user_segv_handler=0:detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seeds_of() {
  if [ -d "fuzz/corpus/$1" ]; then echo "$root/fuzz/corpus/$1"; else echo "$root/fuzz/corpus/${1%_*}"; fi
}

# Runs one harness for the given seconds into its corpus folder; the exit
# status is libFuzzer's. Log in $work/<name>.log.
run_harness() {
  local name=$1 time=$2 corpus=$3 findings=$4
  local program="$build/fuzz/${name}_fuzzer"
  local flags=(-max_total_time="$time" -timeout=30 -rss_limit_mb=2560 -close_fd_mask=3 -print_final_stats=1
               -artifact_prefix="$findings/")
  [ -f "fuzz/$name.dict" ] && flags+=(-dict="$root/fuzz/$name.dict")
  [ -f "fuzz/$name.options" ] && mapfile -t -O ${#flags[@]} flags < <(grep -v '^#' "fuzz/$name.options")
  mkdir -p "$corpus" "$findings"
  "$program" "${flags[@]}" "$corpus" "$(seeds_of "$name")" >>"$work/$name.log" 2>&1
}

# Edges and features reached, from the last status line of the last run.
coverage() { grep -h '^#[0-9]' "$work/$1.log" | tail -n 1 | grep -o 'cov: [0-9]* ft: [0-9]*' || echo "cov: ? ft: ?"; }

executions() { grep -h 'stat::number_of_executed_units' "$work/$1.log" | awk '{s += $2} END {print s + 0}'; }

smoke() {
  local name=$1
  if run_harness "$name" "$seconds" "$work/corpus-$name" "$work/findings-$name"; then
    echo "$name: $(executions "$name") runs in ${seconds} s, nothing found"
  else
    echo "$name: FOUND something (log below; the input is in the log's artifact line)"
    tail -n 60 "$work/$name.log"
    return 1
  fi
}

long() {
  local name=$1 end=$((SECONDS + minutes * 60)) chunk found=0
  # Runs of at most ten minutes: lists the client keeps for its life (the
  # configuration files read) grow with every input.
  while [ $SECONDS -lt "$end" ]; do
    chunk=$((end - SECONDS)); [ "$chunk" -gt 600 ] && chunk=600
    run_harness "$name" "$chunk" "$corpus_home/$name" "$corpus_home/findings/$name" || found=$((found + 1))
    # A finding that comes back at once would only be written again.
    [ "$found" -ge 10 ] && break
  done
  local runs; runs=$(executions "$name")
  echo "$name: $runs runs in $minutes min ($((runs / (minutes * 60 > 0 ? minutes * 60 : 1))) exec/s)," \
       "corpus $(ls "$corpus_home/$name" | wc -l) inputs, $(coverage "$name")," \
       "$found finding(s)$( [ $found -gt 0 ] && echo " in $corpus_home/findings/$name")"
}

echo "== fuzzers ($mode: ${names[*]})"
for name in "${names[@]}"; do
  [ -x "$build/fuzz/${name}_fuzzer" ] || { echo "run-fuzzers.sh: no harness $name" >&2; exit 2; }
done
failed=0
running=0
for name in "${names[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  if [ "$mode" = smoke ]; then smoke "$name" & else long "$name" & fi
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit $failed
