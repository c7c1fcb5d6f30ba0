#!/usr/bin/env python3
"""mutagen's time a file on the benchmarks' four-minute tracks, as the README reports
it beside musiccore's and TagLib's: its length and artist, album and title, each file
opened by content (mutagen.File), median of five rounds, files cached. A peer's figures for the
README only; no gate reads them. Needs python3-mutagen.

Usage: bench/mutagen_figures.py FILES_DIR   (the folder make_bench_folder.sh made)
"""
import statistics
import sys
import time
from pathlib import Path

import mutagen

FOLDERS = ["tracks/" + kind for kind in
           ("opus", "vorbis", "flac", "mp3", "mp3-noinfo", "m4a", "wav", "aiff", "wv")]
ROUNDS = 5


def read(path):
    found = mutagen.File(path)
    if found is None or found.info is None:
        raise RuntimeError(f"mutagen read nothing of {path}")
    tags = found.tags or {}
    for name in ("artist", "album", "title"):
        try:
            tags.get(name)
        except (KeyError, ValueError, TypeError):
            pass
    return found.info.length


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root = Path(sys.argv[1])
    print(f"mutagen {mutagen.version_string}, µs a file (median of {ROUNDS} rounds)")
    for folder in FOLDERS:
        files = sorted(p for p in (root / folder).iterdir() if p.is_file())
        if not files:
            sys.exit(f"no files in {root / folder}")
        for path in files:  # warm the cache, and fail early on what mutagen cannot read
            read(path)
        rounds = []
        for _ in range(ROUNDS):
            start = time.perf_counter()
            for path in files:
                read(path)
            rounds.append((time.perf_counter() - start) / len(files))
        print(f"{folder:20} {statistics.median(rounds) * 1e6:8.1f}")


if __name__ == "__main__":
    main()
