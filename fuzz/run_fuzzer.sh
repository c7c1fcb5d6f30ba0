#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time with a fixed seed, and exits with the
# fuzzer's status: non-zero on any finding (crash, leak, sanitizer report, violated
# property, timeout).
# Usage: run_fuzzer.sh FUZZER SECONDS CORPUS_DIR [SEED_DIR...]
# SECONDS 0: run each seed once, whole, and fuzz nothing (a regression run; a fuzz
# run cuts its inputs to 4 KiB).
# New inputs go to CORPUS_DIR (kept, so later runs go on from there); crashing
# inputs go to CORPUS_DIR/../artifacts/.
# FRESH_CORPUS=1 empties CORPUS_DIR first, for a run that depends on no earlier one.
set -euo pipefail

fuzzer=$1 seconds=$2 corpus=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
artifacts="$corpus/../artifacts"
if [ "${FRESH_CORPUS:-0}" = 1 ]; then
  rm -rf "$corpus"
fi
mkdir -p "$corpus" "$artifacts"

# opusfile is built without frame pointers: only the slow unwinder sees the frames
# that the suppressions name.
export ASAN_OPTIONS="fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The filter only drops progress lines and never fails; with pipefail the
# pipeline's status is then the fuzzer's.
# Whole crafted files of 16 MiB take ASan seconds: libogg grows its buffer by copies.
if [ "$seconds" = 0 ]; then
  limits=(-runs=0 -max_len=33554432 -timeout=120)
else
  limits=(-max_total_time="$seconds" -max_len=4096 -timeout=10)
fi
"$fuzzer" -seed=1 "${limits[@]}" -rss_limit_mb=1024 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$@" 2>&1 |
  sed -E '/^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)/d'
