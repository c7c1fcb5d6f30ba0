#pragma once

#include <chrono>      // std::chrono::milliseconds
#include <cstddef>     // std::size_t
#include <filesystem>  // std::filesystem::path
#include <functional>  // std::function
#include <string>      // std::string
#include <vector>      // std::vector

#include <musiccore/export.hpp>
#include <musiccore/track.hpp>

namespace music_library {

struct ScanOptions {
    unsigned jobs = 0;  // threads reading files; 0: one per hardware thread
    std::chrono::milliseconds file_time_limit{10000};  // per file, then it is a failure
    // Called on the thread that called scan, never on two at once: about ten times
    // a second, and once at the end with done == total. An exception it throws
    // stops the scan and leaves scan.
    std::function<void(std::size_t done, std::size_t total)> on_progress;
};

struct ScanFailure {
    std::filesystem::path path;
    std::string message;
};

struct ScanResult {
    std::vector<Track> tracks;          // sorted by path
    std::vector<ScanFailure> failures;  // sorted by path
    std::size_t skipped = 0;            // ".ogg" and ".oga" files that are not Ogg Opus
};

// Reads every regular file under `root` whose extension is ".opus", ".ogg" or
// ".oga" (in any letter case) with load_track, spread over `options.jobs` threads.
// Nothing else is opened: FIFOs and devices are passed over, and directory links
// are not followed, so no loop can trap the scan. A file that cannot be read, or
// not within the time limit, and a directory that cannot be listed, are failures
// with the error's text; the scan goes on. The result is the same whatever the
// number of threads. Throws std::filesystem::filesystem_error when `root` is not
// a directory or cannot be looked at.
MUSICCORE_EXPORT ScanResult scan(const std::filesystem::path& root,
                                 const ScanOptions& options = {});

}  // namespace music_library
