#pragma once
// The loudness the index keeps of its tracks: measured for those without one, and read
// out with their albums gated from the blocks kept.

#include <cstddef>     // std::size_t
#include <filesystem>  // std::filesystem::path
#include <functional>  // std::function
#include <vector>      // std::vector

#include <musiccore/index.hpp>

#include "library/sqlite_db.hpp"

namespace music_library::detail {

// The loudness table's columns but its key's cue_track: schema 3's, all of them.
inline constexpr const char* loudness_columns =
    "file_id, outcome, message, integrated_lufs, range_lu, sample_peak, true_peak, channels, "
    "sample_rate, frames, momentary_bins, short_term_bins";

LoudnessChanges
measure_index_loudness(Database& db, const std::filesystem::path& root,
                       const media::LoudnessOptions& options, unsigned jobs,
                       const std::function<void(std::size_t, std::size_t)>& progress);

std::vector<StoredLoudness> read_loudness(Database& db, const IndexQuery& query);

}  // namespace music_library::detail
