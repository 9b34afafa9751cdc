#!/bin/sh
# One bounded fuzzing session over the corpus in BUILD/corpus, seeded from
# BUILD/seeds. It runs in fork mode with one job, so the session goes on
# after a crash, leak, out-of-memory or timeout; each one lands in
# BUILD/artifacts. Extra arguments go to libFuzzer (for example
# -max_total_time=600). Given file names instead, it re-runs those inputs.
# TARQ_FUZZ_TARGET=fuzz_image runs the image fuzzer instead (its corpus,
# seeds and artifacts carry the suffix "-image"); TARQ_FUZZ_TARGET=fuzz_dict
# the dictionary-file fuzzer (suffix "-dict"); TARQ_FUZZ_TARGET=fuzz_check the
# checker (suffix "-check", the parser's seeds; TARQ_FUZZ_CHECK_DIFF=1 also runs
# each text the checker passes and fails on a shape error). TARQ_FUZZ_DIFF=1 makes the
# parser fuzzer compare direct runs with the token loop;
# TARQ_FUZZ_DIFF_LOG=FILE keeps each difference (input and transcripts).
# The timeout is generous: an endless loop ends by the parser harness's
# token budget within a few seconds of CPU, and a shared machine stretches
# that in wall time; only an input that never yields runs into it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${TARQ_FUZZ_BUILD:-$root/build-fuzz}
target=${TARQ_FUZZ_TARGET:-fuzz_parser}
sfx=""
dict="-dict=$build/tarq.dict"
if [ "$target" = fuzz_image ]; then sfx="-image"; dict=""; fi
if [ "$target" = fuzz_dict ]; then sfx="-dict"; dict=""; fi
seeds="$build/seeds$sfx"
# The checker reads the same texts as the parser: the same seeds.
if [ "$target" = fuzz_check ]; then sfx="-check"; fi
mkdir -p "$build/corpus$sfx" "$build/artifacts$sfx" "$build/scratch"
# Inputs given by name are made absolute before the change of directory.
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  for f in "$@"; do set -- "$@" "$(realpath "$f")"; shift; done
fi
# Scripts may touch files relative to the current directory: keep them in a
# scratch directory.
cd "$build/scratch"
# Leak detection stays on whatever else ASAN_OPTIONS says: a leak is a finding.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:detect_stack_use_after_return=1}:detect_leaks=1
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
case "${1:-}" in
  -*|"")
    exec "$build/$target" -fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1 -detect_leaks=1 \
      -max_total_time=300 -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=2048 $dict \
      -artifact_prefix="$build/artifacts$sfx/" -print_final_stats=1 "$@" "$build/corpus$sfx" "$seeds" ;;
  *)
    exec "$build/$target" -detect_leaks=1 -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=2048 "$@" ;;
esac
