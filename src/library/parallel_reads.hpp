#pragma once
// Reading many files on many threads, for the scan and the
// index.

#include <cstddef>     // std::size_t
#include <functional>  // std::function
#include <optional>    // std::optional
#include <string>      // std::string

#include <musiccore/library.hpp>

#include "library/file_listing.hpp"

namespace music_library::detail {

// What reading one file came to: a track, a failure's message, or neither (an Ogg
// file of another codec, named ".ogg" or ".oga": skipped).
struct Outcome {
    std::optional<ScannedTrack> track;
    std::optional<std::string> failure;
};

// Throws std::invalid_argument for options no read can keep (a negative time limit).
void check_scan_options(const ScanOptions& options);

// The threads that `options` ask for: one per hardware thread unless they say.
unsigned thread_count(const ScanOptions& options);

// Reads the files of `listing`, each opened as the walk found it, in `options.jobs`
// reader processes, or unless `options.isolated` on as many threads of this process.
// Throws media::media_error ("no sandboxed reader: ...") when isolation is asked for
// and no reader can be had. Calls `take` with each file's index and outcome as it is
// done, in no set order, and `on_tick` (if given) and `options.on_progress` about ten
// times a second: all on the calling thread, never two at once. A file whose read does
// not return within the time limit fails, and its reader or thread is left behind.
// True when read in reader processes. `reading_here` (if given) is called with a
// file's index and true just before the file is read in this process, and with false
// once the read has returned, on the thread that reads it: between the two, a crash of
// this process would cut it short.
bool read_files(const Listing& listing, const ScanOptions& options,
                const std::function<void(std::size_t, Outcome&&)>& take,
                const std::function<void()>& on_tick = {},
                const std::function<void(std::size_t, bool)>& reading_here = {});

}  // namespace music_library::detail
