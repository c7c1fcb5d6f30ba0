#!/usr/bin/env bash
# The shared library's ABI held to its release's baseline, abi/libmusiccore-SOVERSION.abi.gz
# (abidw's record of build-package's library): any change to what a program built
# against the release's headers relies on (a type's size or layout, a function's
# signature, a symbol gone) fails, unless the version, and with it the soname, moved
# on and a baseline was made for it. New functions are no change.
# Usage: check_abi.sh           check build-package/'s library (tools/make_packages.sh)
#        check_abi.sh --update  make the current version's baseline from it
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "check_abi: $*" >&2; exit 1; }

version=$(sed -n 's/^project(musiccore VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
soversion=${version%.*}
library=build-package/libmusiccore.so.$version
baseline=abi/libmusiccore-$soversion.abi.gz
[ -f "$library" ] || fail "no $library: build it first (tools/make_packages.sh)"
record() { abidw --no-show-locs --no-corpus-path --type-id-style hash "$library"; }

if [ "${1:-}" = "--update" ]; then
  mkdir -p abi
  record | gzip -9 -n > "$baseline"
  echo "check_abi: $baseline made from $library"
  exit 0
fi
[ -f "$baseline" ] || fail "no ABI baseline for $soversion: make one with ./dev.sh abi --update"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gunzip -c "$baseline" > "$work/baseline.abi"
status=0
# abi/suppressions: the types that the public headers only declare, whose layout is
# the library's own (held through a pointer), as abidiff cannot tell from the record.
abidiff --no-added-syms --suppressions abi/suppressions "$work/baseline.abi" "$library" \
  > "$work/report" || status=$?
# abidiff's status: bit 0 an error, bit 1 a usage error, bit 2 a change, bit 3 one
# that is incompatible.
if (( status & 3 )); then
  fail "abidiff could not compare (status $status): $(cat "$work/report")"
fi
if (( status != 0 )); then
  cat "$work/report" >&2
  fail "the ABI of libmusiccore.so.$soversion changed: move the version on (and the soname
with it), then make its baseline: see Making a release in the README"
fi
echo "check_abi: libmusiccore.so.$soversion matches $baseline"
