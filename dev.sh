#!/usr/bin/env bash
# One entry point for building and checking musiccore from a fresh clone.
#
#   ./dev.sh selftest   install what is missing, build, run the eleven-case self-test
#   ./dev.sh test       install what is missing, build, run every test
#
# WERROR=ON turns compiler warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")"

build_dir=build
jobs=$(nproc 2>/dev/null || echo 2)

configure() {
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMUSICCORE_WARNINGS_AS_ERRORS="${WERROR:-OFF}" >/dev/null
}

case "${1:-}" in
  selftest)
    tools/install-deps.sh
    configure
    cmake --build "$build_dir" --parallel "$jobs" --target musiccore_selftest
    # The checks read test/test.opus relative to the working directory.
    "$build_dir/test/musiccore_selftest"
    ;;
  test)
    tools/install-deps.sh
    configure
    cmake --build "$build_dir" --parallel "$jobs"
    ctest --test-dir "$build_dir" --output-on-failure
    ;;
  *)
    sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
