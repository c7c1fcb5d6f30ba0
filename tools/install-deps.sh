#!/usr/bin/env bash
# Installs the Debian packages that building and testing musiccore need. Does
# nothing when all are present; uses sudo when not run as root.
set -euo pipefail

packages=(
  cmake make g++ pkg-config          # build
  libhowardhinnant-date-dev          # date::parse, date::format
  libopusfile-dev                    # Ogg Opus (brings libopus, libogg)
  libvorbis-dev libflac-dev libmpg123-dev  # Ogg Vorbis, FLAC, MP3
  libwavpack-dev                     # WavPack
  libebur128-dev libavcodec-dev      # loudness: the judge of our meter; AAC and ALAC decoding
  libsqlite3-dev libicu-dev          # the library index, and its matching of texts
  libseccomp-dev                     # the reader processes' sandbox
  libgtest-dev                       # self-test and edge tests
  libcli11-dev nlohmann-json3-dev    # the musiccore command's options and JSON
  sox opus-tools vorbis-tools flac lame  # test audio files
  wavpack ffmpeg                     # test audio files: WavPack, MP4 (AAC, ALAC), RF64
  valgrind                           # leak and memory checks of the GCC build
  clang libclang-rt-14-dev llvm      # sanitizer build and libFuzzer targets
  clang-format clang-tidy            # style and lint checks
  libbenchmark-dev                   # benchmarks
  libtag1-dev                        # benchmarks only: TagLib, to measure against
  loudgain                           # benchmarks only: the loudness tool to measure against
  binutils                           # readelf, nm: the shared library's soname and symbols
  dpkg-dev file                      # Debian packages: dpkg-shlibdeps finds their dependencies
  lintian                            # and Debian's checker of them
  abigail-tools                      # the ABI gate: abidw, abidiff
  git                                # lists the files the checks cover
  gcovr                              # ./dev.sh coverage
)

missing=()
for package in "${packages[@]}"; do
  # dpkg-query fails for a package it has never seen: missing too.
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) || status=missing
  [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null 2>&1; then
  echo "install-deps: no apt-get here; install these packages (Debian names): ${missing[*]}" >&2
  exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
  run_as_root=()
elif command -v sudo >/dev/null 2>&1; then
  run_as_root=(sudo)
else
  echo "install-deps: not root and no sudo; as root, run: apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${run_as_root[@]}" apt-get update -qq
"${run_as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
