#pragma once
// musiccore loudness: each file's loudness and ReplayGain 2.0 values, and its album's.

#include <chrono>   // std::chrono::milliseconds
#include <cstddef>  // std::size_t
#include <string>   // std::string
#include <vector>   // std::vector

#include <musiccore/index.hpp>

#include "report.hpp"

namespace cli {

struct LoudnessRequest {
    std::vector<std::string> paths;  // files, or folders to walk for music files
    bool albums = false;
    bool album_by_folder = false;  // else by tags: album artist (else artist) and album
    bool per_disc = false;         // by tags, each disc (DISCNUMBER) an album of its own
    bool true_peak = true;
    unsigned jobs = 0;  // files measured at once; 0: one per core
    std::chrono::milliseconds time_limit{};
    bool sandbox = true;  // decoded in sandboxed reader processes
    std::size_t memory_limit = 0;
    Format format = Format::text;
};

// Prints what was measured; 0 when every file was, 1 when any failed.
int run_loudness(const LoudnessRequest& request);

// What scan --db --loudness measured, a line for each failure and one that sums up.
void print_loudness_changes(const music_library::LoudnessChanges& changes, std::ostream& err);

// What an index holds of its tracks' loudness, in the forms of run_loudness, each
// track with its album's gain and peak.
void print_stored_loudness(const std::vector<music_library::StoredLoudness>& tracks, Format format);

}  // namespace cli
