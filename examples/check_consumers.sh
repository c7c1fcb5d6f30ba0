#!/usr/bin/env bash
# Builds and runs the example consumer the three ways a project can take musiccore:
# the installed CMake package (static, then shared), add_subdirectory, and
# pkg-config. Everything happens under a temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

strict="-Wall -Wextra -Wpedantic -Werror"
# The file, then the folder it is in, scanned.
expected=$(printf 'test/test.opus: 00:01:05 (<unknown> - <unknown>)\n%.0s' 1 2)
jobs=$(nproc 2>/dev/null || echo 2)

check_output() {  # check_output WHAT EXECUTABLE
  local got
  got=$("$2" test/test.opus test)
  if [ "$got" != "$expected" ]; then
    echo "consumer via $1 printed '$got', expected '$expected'" >&2
    exit 1
  fi
  echo "consumer via $1: ok"
}

install_musiccore() {  # install_musiccore PREFIX [CMAKE_ARGS...]
  local prefix=$1
  shift
  cmake -S . -B "$work/build-$(basename "$prefix")" -DCMAKE_BUILD_TYPE=Release \
    -DMUSICCORE_BUILD_TESTS=OFF "$@" >/dev/null
  cmake --build "$work/build-$(basename "$prefix")" --parallel "$jobs" >/dev/null
  cmake --install "$work/build-$(basename "$prefix")" --prefix "$prefix" >/dev/null
}

build_example() {  # build_example DIR [CMAKE_ARGS...]
  local dir=$1
  shift
  cmake -S examples/track_duration -B "$dir" -DCMAKE_CXX_FLAGS="$strict" "$@" >/dev/null
  cmake --build "$dir" --parallel "$jobs" >/dev/null
  # date's ONLY_C_LOCALE must not leak into consumers (an ODR hazard).
  if grep -rq ONLY_C_LOCALE "$dir/CMakeFiles"; then
    echo "date's compile definitions leaked into the consumer in $dir" >&2
    exit 1
  fi
}

install_musiccore "$work/static"
test -f "$work/static/include/musiccore/track.hpp"
build_example "$work/example-installed" -DCMAKE_PREFIX_PATH="$work/static"
check_output "find_package (static)" "$work/example-installed/track_duration"

install_musiccore "$work/shared" -DBUILD_SHARED_LIBS=ON
# While the major version is 0, the soname carries the minor version.
version=$(sed -n 's/^project(musiccore VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
soname=$(readelf -d "$work/shared/lib/libmusiccore.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libmusiccore.so.${version%.*}" ] || { echo "unexpected soname '$soname'" >&2; exit 1; }
# A shared library's package needs nothing of opusfile's from its consumers.
PKG_CONFIG_LIBDIR=/nonexistent build_example "$work/example-shared" -DCMAKE_PREFIX_PATH="$work/shared"
check_output "find_package (shared, soname $soname)" "$work/example-shared/track_duration"

build_example "$work/example-subdir" -DMUSICCORE_SOURCE_DIR="$root"
targets=$(cmake --build "$work/example-subdir" --target help)
if grep -q -E 'musiccore_(selftest|edge_tests|bench)' <<<"$targets"; then
  echo "add_subdirectory built more than the library" >&2
  exit 1
fi
check_output "add_subdirectory" "$work/example-subdir/track_duration"
# An export set that lacks musiccore fails as CMake generates: no build is needed.
cmake -S examples/track_duration -B "$work/example-export" -DMUSICCORE_SOURCE_DIR="$root" \
  -DTRACK_DURATION_EXPORT=ON >/dev/null
echo "consumer via add_subdirectory, exporting its own targets: ok"

# Installed with the example, the reader is found beside it, as its own.
cmake --install "$work/example-installed" --prefix "$work/app" >/dev/null
check_output "find_package (static, installed)" "$work/app/bin/track_duration"

# Apart, so that a failing pkg-config stops the script.
flags=$(PKG_CONFIG_PATH="$work/static/lib/pkgconfig" pkg-config --cflags --libs musiccore)
reader=$(PKG_CONFIG_PATH="$work/static/lib/pkgconfig" pkg-config --variable=reader musiccore)
# shellcheck disable=SC2086  # word splitting of the flags is intended
c++ -std=c++17 $strict examples/track_duration/main.cpp -o "$work/example-pkgconfig" $flags
cp "$reader" "$work/musiccore-reader"  # beside the program, where the library looks
check_output "pkg-config" "$work/example-pkgconfig"
