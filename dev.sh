#!/usr/bin/env bash
# One entry point for building and checking musiccore from a fresh clone.
#
#   ./dev.sh selftest         install what is missing, build, run the eleven-case self-test
#   ./dev.sh test             install what is missing, build, run every test: GCC build
#                             with valgrind, then clang ASan+UBSan build with short fuzz runs
#   ./dev.sh coverage         line and branch coverage of src/ by all tests (gcovr)
#   ./dev.sh fuzz [SECONDS]   long fuzz run, SECONDS per target (default 600), corpus kept
#
# WERROR=ON turns compiler warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")"

jobs=$(nproc 2>/dev/null || echo 2)
werror=${WERROR:-OFF}

# build DIR [CMAKE_ARGS...]: configure and build everything in DIR.
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMUSICCORE_WARNINGS_AS_ERRORS="$werror" "$@" >/dev/null
  cmake --build "$dir" --parallel "$jobs"
}

sanitize_args=(-DCMAKE_CXX_COMPILER=clang++ -DMUSICCORE_SANITIZE=ON -DMUSICCORE_BUILD_FUZZERS=ON)

case "${1:-}" in
  selftest)
    tools/install-deps.sh
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DMUSICCORE_WARNINGS_AS_ERRORS="$werror" >/dev/null
    cmake --build build --parallel "$jobs" --target musiccore_selftest
    # The checks read test/test.opus relative to the working directory.
    build/test/musiccore_selftest
    ;;
  test)
    tools/install-deps.sh
    echo "== GCC build: self-test, edge tests, both under valgrind"
    build build
    ctest --test-dir build --output-on-failure
    echo "== clang ASan+UBSan build: self-test, edge tests, short fuzz runs"
    build build-sanitize "${sanitize_args[@]}"
    ctest --test-dir build-sanitize --output-on-failure --parallel "$jobs"
    ;;
  coverage)
    tools/install-deps.sh
    build build-coverage -DCMAKE_BUILD_TYPE=Debug -DMUSICCORE_COVERAGE=ON
    find build-coverage -name '*.gcda' -delete
    ctest --test-dir build-coverage --output-on-failure --exclude-regex valgrind
    gcovr --root . --filter 'src/' --object-directory build-coverage \
      --exclude-throw-branches --exclude-unreachable-branches \
      --print-summary
    ;;
  fuzz)
    seconds=${2:-600}
    tools/install-deps.sh
    build build-sanitize "${sanitize_args[@]}"
    corpus=build-sanitize/fuzz/corpus
    fuzz/run_fuzzer.sh build-sanitize/fuzz/fuzz_timestamp "$seconds" "$corpus/timestamp" fuzz/seeds/timestamp
    fuzz/run_fuzzer.sh build-sanitize/fuzz/fuzz_format "$seconds" "$corpus/format" fuzz/seeds/format
    fuzz/run_fuzzer.sh build-sanitize/fuzz/fuzz_duration "$seconds" "$corpus/duration" build-sanitize/samples
    ;;
  *)
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
