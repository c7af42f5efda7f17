#!/bin/bash
# Runs every fuzz target (or the ones named) for SECONDS each under libFuzzer
# with AddressSanitizer and UndefinedBehaviorSanitizer, JOBS targets at a time.
#
#   fuzz/run_fuzzers.sh SECONDS [target ...]     (targets: text format expfile ...)
#
# The build goes to build-fuzz/ (clang++-14). Each target starts from its
# committed seeds in fuzz/corpus/<target>/ and keeps what it learns in
# build-fuzz/corpus/<target>/; crashing inputs land in build-fuzz/findings/.
# Runs are cut into chunks of at most CHUNK seconds (a fresh process each):
# the record layer caches every format text it meets for the life of the
# process, which under a fuzzer would grow without end.
set -eu

seconds=${1:?usage: run_fuzzers.sh SECONDS [target ...]}
shift
jobs=${JOBS:-2}
chunk=${CHUNK:-120}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
clang=${CLANGXX:-clang++-14}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null

if [ $# -eq 0 ]; then
  # cif is replayed in the normal build only (see README).
  set -- $(cd "$root/fuzz" && ls *_fuzz.cpp | sed 's/_fuzz\.cpp$//' | grep -v '^cif$')
fi
targets=""
for t in "$@"; do targets="$targets ${t}_fuzz"; done
cmake --build "$build" -j"$jobs" --target $targets >/dev/null

mkdir -p "$build/findings" "$build/logs"

run_one() {
  name=$1
  corpus=$build/corpus/$name
  log=$build/logs/$name.log
  mkdir -p "$corpus"
  : >"$log"
  left=$seconds
  executed=0
  result=clean
  while [ "$left" -gt 0 ]; do
    now=$chunk
    [ "$left" -lt "$now" ] && now=$left
    if ! "$build/fuzz/${name}_fuzz" -max_total_time="$now" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$name-" "$corpus" "$root/fuzz/corpus/$name" >>"$log" 2>&1; then
      result="FINDING (see $log and $build/findings/)"
      left=0
    else
      left=$((left - now))
    fi
    runs=$(grep 'stat::number_of_executed_units' "$log" | tail -1 | awk '{print $2}')
    executed=$((executed + ${runs:-0}))
    echo "chunk-end executed=$executed" >>"$log"
  done
  echo "$name: $executed executions in $seconds s, corpus $(ls "$corpus" | wc -l) inputs: $result" \
    | tee -a "$build/summary.txt"
}

echo "== $(date -u +%FT%TZ) $seconds s each" >>"$build/summary.txt"
running=0
for t in "$@"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
