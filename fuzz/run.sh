#!/usr/bin/env bash
# Runs one fuzz target for a bounded time.
#   fuzz/run.sh native TARGET SECONDS [libFuzzer args...]
#       the clang build of tools/build-variant fuzz: libFuzzer sees the
#       extension's edges, ASan/UBSan abort on the first memory error.
#   fuzz/run.sh smoke TARGET SECONDS [libFuzzer args...]
#       the regular build in .venv, coverage from the Python harness only; a
#       quick check that needs no clang.
#   fuzz/run.sh merge TARGET 0
#       adds to fuzz/corpus/TARGET the inputs of build/fuzz/corpus/TARGET that
#       reach edges it does not (clang build).
# TARGET is decode, roundtrip or mutate. New inputs go to build/fuzz/corpus/TARGET; the
# committed seeds (fuzz/corpus/TARGET) and regressions
# (fuzz/corpus/regressions/TARGET) are read first, so every regression input
# is replayed on every run. Crashing inputs land in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:?usage: fuzz/run.sh native|smoke TARGET SECONDS}"
target="${2:?target: decode, roundtrip or mutate}"
seconds="${3:?seconds}"
shift 3
PY="$PWD/${PY:-.venv/bin/python}"

case "$target" in
  decode) max_len=4096 ;;
  mutate) max_len=2048 ;;
  roundtrip) max_len=2048 ;;
  *) echo "unknown target: $target" >&2; exit 2 ;;
esac

work="build/fuzz/corpus/$target"
mkdir -p "$work" build/fuzz/artifacts "fuzz/corpus/$target" "fuzz/corpus/regressions/$target"
[ "$mode" = smoke ] && work="$(mktemp -d)"

# detect_leaks=0: the interpreter itself does not free everything at exit.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:handle_abort=1:symbolize=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
if [ "$mode" = merge ]; then
  mode=native
  args=(-set_cover_merge=1 -use_counters=0 -timeout=60 -rss_limit_mb=4096 -detect_leaks=0 -max_len="$max_len" "$@"
        "fuzz/corpus/$target" "$work")
else
  args=(-max_total_time="$seconds" -timeout=60 -max_len="$max_len" -rss_limit_mb=4096
        -malloc_limit_mb=1024 -detect_leaks=0 -print_final_stats=1
        -artifact_prefix="build/fuzz/artifacts/$target-" "$@"
        "$work" "fuzz/corpus/$target" "fuzz/corpus/regressions/$target")
fi

if [ "$mode" = native ]; then
  [ -f build/fuzz/.built ] || tools/build-variant fuzz
  LD_PRELOAD="$PWD/build/fuzz/rt/asan_with_fuzzer.so" PYTHONMALLOC=malloc \
    PYTHONPATH="$PWD/build/fuzz/site:$PWD/fuzz" "$PY" "fuzz/fuzz_$target.py" "${args[@]}"
else
  status=0
  PYTHONPATH="$PWD/fuzz" "$PY" "fuzz/fuzz_$target.py" "${args[@]}" || status=$?
  rm -rf "$work"
  exit "$status"
fi
