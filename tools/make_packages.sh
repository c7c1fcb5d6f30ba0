#!/usr/bin/env bash
# Builds the Debian packages of a shared build in build-package/: cpack, then what
# Debian's policy asks that CPack 3.25 cannot be told: the library's ldconfig is a
# trigger (in the package already), so the maintainer scripts that CPack writes to
# call it go.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset package >/dev/null
cmake --build --preset package --parallel "$(nproc 2>/dev/null || echo 2)" >/dev/null
(cd build-package && rm -f ./*.deb && cpack -G DEB >/dev/null)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for deb in build-package/libmusiccore[0-9]*.deb; do
  dpkg-deb -R "$deb" "$work/unpacked"
  rm -f "$work/unpacked/DEBIAN/postinst" "$work/unpacked/DEBIAN/postrm"
  dpkg-deb --root-owner-group -Zgzip -b "$work/unpacked" "$deb" >/dev/null
  rm -rf "$work/unpacked"
done
