#!/usr/bin/env bash
# Builds the Debian packages (./dev.sh package) and checks them without
# installing them: their contents and dependencies (dpkg-deb), lintian, the shared
# library's exported symbols, and the example consumer built against the
# unpacked packages with find_package and with pkg-config, where the format libraries'
# development files must not be needed.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check_packages: $*" >&2; exit 1; }

tools/make_packages.sh

version=$(sed -n 's/^project(musiccore VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
soversion=${version%.*}
runtime=build-package/libmusiccore${soversion}_${version}_amd64.deb
dev=build-package/libmusiccore-dev_${version}_amd64.deb
cli=build-package/musiccore_${version}_amd64.deb

# has_file DEB PATH: the package holds PATH.
has_file() {
  local files
  files=$(dpkg-deb -c "$1")
  grep -q -E " \./${2}( |$)" <<<"$files" || fail "$1 lacks $2"
}
# depends DEB PATTERN: its Depends field matches PATTERN.
depends() {
  local field
  field=$(dpkg-deb -f "$1" Depends)
  grep -q -E "$2" <<<"$field" || fail "$1 depends on '$field', expected $2"
  ! grep -q -- "-dev" <<<"$field" || fail "$1 depends on a -dev package: $field"
}
lib=usr/lib/x86_64-linux-gnu
has_file "$runtime" "$lib/libmusiccore.so.$version"
has_file "$runtime" "usr/share/doc/libmusiccore$soversion/copyright"
has_file "$runtime" "usr/libexec/musiccore/musiccore-reader"
for library in libopusfile0 libvorbisfile3 libflac12 libmpg123-0 libwavpack1 libsqlite3-0 libicu72 libseccomp2; do
  depends "$runtime" "$library"
done
has_file "$dev" "usr/include/musiccore/version.hpp"
has_file "$dev" "$lib/cmake/musiccore/musiccoreConfig.cmake"
has_file "$dev" "$lib/pkgconfig/musiccore.pc"
depends "$dev" "^libmusiccore$soversion \(= $version\)$"
has_file "$cli" "usr/bin/musiccore"
has_file "$cli" "usr/share/man/man1/musiccore.1.gz"
for deb in "$runtime" "$dev" "$cli"; do
  has_file "$deb" "usr/share/doc/$(dpkg-deb -f "$deb" Package)/changelog.gz"
done
depends "$cli" "libmusiccore$soversion \(= $version\)"
echo "packages: contents and dependencies ok"
# Debian's own checker: no error, no warning.
found=$(lintian --fail-on error,warning "$runtime" "$dev" "$cli" 2>&1) ||
  fail "lintian finds fault with the packages:
$found"
echo "packages: lintian clean"

root=$work/root
for deb in "$runtime" "$dev" "$cli"; do dpkg-deb -x "$deb" "$root"; done
symbols=$(nm -D --defined-only -C "$root/$lib/libmusiccore.so")
api='^[0-9a-f]+ [A-Za-z] (eof\(|load_track\(|utils::|opus_utils::|media::|music_library::|(typeinfo|typeinfo name|vtable) for (opus_utils|media|music_library)::)'
others=$(grep -v -E "$api" <<<"$symbols") || [ $? -eq 1 ]  # 1: nothing but the API
[ -z "$others" ] || fail "exported beyond the API:
$others"
export LD_LIBRARY_PATH=$root/$lib
[ "$("$root/usr/bin/musiccore" --version)" = "$version" ] || fail "musiccore --version"
# The command finds the packaged reader beside it and reads in it, not in process.
unsandboxed=$("$root/usr/bin/musiccore" info test/test.opus 2>&1 >/dev/null)
[ -z "$unsandboxed" ] || fail "musiccore info did not read in the packaged reader: $unsandboxed"

# The file, then the folder it is in, scanned.
expected=$(printf 'test/test.opus: 00:01:05 (<unknown> - <unknown>)\n%.0s' 1 2)
PKG_CONFIG_LIBDIR=/nonexistent cmake -S examples/track_duration -B "$work/cmake" \
  -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/cmake" >/dev/null
[ "$("$work/cmake/track_duration" test/test.opus test)" = "$expected" ] || fail "find_package consumer"
flags=$(PKG_CONFIG_LIBDIR="$root/$lib/pkgconfig" pkg-config --cflags --libs musiccore)
# shellcheck disable=SC2086  # word splitting of the flags is intended
c++ -std=c++17 examples/track_duration/main.cpp -o "$work/pkgconfig" $flags
[ "$("$work/pkgconfig" test/test.opus test)" = "$expected" ] || fail "pkg-config consumer"
echo "packages: consumers via find_package and pkg-config ok, without the format libraries' .pc"
