#!/usr/bin/env bash
# One entry point for building and checking musiccore from a fresh clone.
#
#   ./dev.sh selftest         install what is missing, build, run the eleven-case self-test
#   ./dev.sh test             install what is missing, then run every check: format,
#                             clang-tidy and the layers; GCC build with tests and valgrind; the benchmarks
#                             build; the example consumer (installed, add_subdirectory,
#                             pkg-config); the Debian packages, lintian, unpacked and used,
#                             and the ABI gate; clang
#                             ASan+UBSan build with tests and short fuzz runs
#   ./dev.sh package          Debian packages of a shared build, in build-package/
#   ./dev.sh abi [--update]   the shared library's ABI against its release's baseline
#                             (abi/); --update makes the baseline of a new version
#   ./dev.sh coverage         line and branch coverage of src/ by all tests (gcovr)
#   ./dev.sh fuzz [SECONDS]   long fuzz run, SECONDS per target (default 600), corpus kept
#   ./dev.sh bench [ARGS]     benchmarks (makes the test files first); fails when a target
#                             is missed; ARGS go to Google Benchmark
#
# The builds use CMakePresets.json. WERROR=ON turns warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")"

werror=${WERROR:-OFF}

# build PRESET [CMAKE_ARGS...]: configure and build with a preset.
build() {
  local preset=$1
  shift
  cmake --preset "$preset" -DMUSICCORE_WARNINGS_AS_ERRORS="$werror" "$@" >/dev/null
  cmake --build --preset "$preset" --parallel "$(nproc 2>/dev/null || echo 2)"
}

lint() {
  echo "== clang-format and clang-tidy"
  git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror
  # GCC needs no -std flag for C++17, so the compile database has none: add it.
  # One clang-tidy per core, a few files each; xargs fails when any of them does.
  git ls-files 'src/*.cpp' 'cli/*.cpp' 'reader/*.cpp' |
    xargs -P "$(nproc 2>/dev/null || echo 2)" -n 4 clang-tidy -p build --quiet --extra-arg=-std=c++17
  # No layer includes one above it; the reader program links none of the index's.
  tools/check_layers.sh build/libexec/musiccore/musiccore-reader
  # The header-only modules, each on its own.
  for header in include/musiccore/formathelper.hpp include/musiccore/track.hpp; do
    clang-tidy --quiet "$header" -- -x c++ -std=c++17 -Wno-pragma-once-outside-header -Iinclude -Ibuild/include
  done
}

case "${1:-}" in
  selftest)
    tools/install-deps.sh
    cmake --preset default -DMUSICCORE_WARNINGS_AS_ERRORS="$werror" >/dev/null
    cmake --build --preset default --target musiccore_selftest
    # The checks read test/test.opus relative to the working directory.
    build/test/musiccore_selftest
    ;;
  test)
    tools/install-deps.sh
    echo "== GCC build: self-test, edge tests, both also under valgrind"
    build default
    lint
    ctest --preset default
    echo "== benchmarks build"
    build bench
    echo "== example consumer"
    examples/check_consumers.sh
    echo "== Debian packages, and the ABI against the release's"
    tools/check_packages.sh
    tools/check_abi.sh
    echo "== clang ASan+UBSan build: self-test, edge tests, short fuzz runs"
    build sanitize
    ctest --preset sanitize
    ;;
  package)
    tools/install-deps.sh
    tools/make_packages.sh
    ;;
  abi)
    tools/install-deps.sh
    tools/make_packages.sh
    tools/check_abi.sh "${@:2}"
    ;;
  coverage)
    tools/install-deps.sh
    build coverage
    find build-coverage -name '*.gcda' -delete
    ctest --preset coverage
    gcovr --root . --filter 'src/' --object-directory build-coverage \
      --exclude-throw-branches --exclude-unreachable-branches --print-summary
    ;;
  fuzz)
    seconds=${2:-600}
    tools/install-deps.sh
    build sanitize
    corpus=build-sanitize/fuzz/corpus
    fuzz/run_fuzzer.sh build-sanitize/fuzz/fuzz_timestamp "$seconds" "$corpus/timestamp" fuzz/seeds/timestamp
    fuzz/run_fuzzer.sh build-sanitize/fuzz/fuzz_format "$seconds" "$corpus/format" fuzz/seeds/format
    fuzz/run_fuzzer.sh build-sanitize/fuzz/fuzz_media "$seconds" "$corpus/media" build-sanitize/samples \
      build-sanitize/hostile
    fuzz/run_fuzzer.sh build-sanitize/fuzz/fuzz_wire "$seconds" "$corpus/wire" build-sanitize/fuzz/seeds/wire
    ;;
  bench)
    tools/install-deps.sh
    build bench
    bench/make_hour_file.sh build-bench/hour.opus
    bench/make_bench_folder.sh build-bench/files
    bench/make_loudness_folder.sh build-bench/loudness
    # Fails when a target that compares two benchmarks is missed. Repetitions are
    # interleaved: the machine's drift then falls on both sides of a comparison.
    MUSICCORE_BENCH_FILE=build-bench/hour.opus MUSICCORE_BENCH_DIR=build-bench/files \
      MUSICCORE_BENCH_LOUDNESS=build-bench/loudness \
      build-bench/bench/musiccore_bench --benchmark_repetitions=5 \
      --benchmark_enable_random_interleaving=true \
      --benchmark_report_aggregates_only=true "${@:2}"
    ;;
  *)
    # The comment block at the top, without its marks.
    sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" >&2
    exit 2
    ;;
esac
