#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build (BUILD/fuzz/fuzz_*) for SECONDS
# each, one after the other, under AddressSanitizer (leak detection on) and
# UndefinedBehaviorSanitizer. Each starts afresh in BUILD/fuzz-run/<target>/
# from a copy of its seed corpus in fuzz/corpus/<target>, to which the run
# adds what it finds: the repository's corpus is never written, and every run
# starts from the same seeds. Prints one line per target; fails when any
# target finds a crash, a leak, a timeout or a broken check, with the input
# that did it kept beside the target's log.
#
#   fuzz.sh BUILD [SECONDS]
set -uo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for bin in "$build"/fuzz/fuzz_*; do
  target=${bin##*/fuzz_}
  run=$build/fuzz-run/$target
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  cp -RL "$root/fuzz/corpus/$target/." "$run/corpus/"
  "$bin" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
         -artifact_prefix="$run/artifacts/" "$run/corpus" >"$run/log" 2>&1
  code=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$run/log" | tail -1)
  if [ "$code" -eq 0 ]; then
    echo "fuzz $target: ${runs:-?} executions in ${took:-$seconds} s, no failure"
  else
    echo "fuzz $target: FAILED (exit $code) after ${runs:-?} executions; input in $run/artifacts, log $run/log"
    grep -E "ERROR|does not hold|SUMMARY|runtime error" "$run/log" | head -5
    status=1
  fi
done
exit $status
