#pragma once
// A file's loudness measured in the process this runs in (a reader process, or the
// caller's), and the judge of a loudness that comes from elsewhere.

#include <chrono>    // std::chrono::milliseconds
#include <cstdint>   // std::int64_t
#include <optional>  // std::optional
#include <string>    // std::string
#include <vector>    // std::vector

#include <musiccore/loudness.hpp>
#include <musiccore/media.hpp>

#include "io/opened_file.hpp"
#include "io/work_budget.hpp"

namespace media::detail {

// What decoding a file that `info` describes may spend: the read's limit, and a
// second for each minute that the file says it lasts, up to an hour.
std::chrono::milliseconds decode_work(const Limits& limits, const MediaInfo& info);

// The most ranges a file is measured in at once: a CUE sheet's 99 tracks, and more.
inline constexpr std::size_t max_ranges = 1000;

// Decodes `file` and measures it, within `work` of processor time (zero: no limit)
// and `deadline`: whole (one result), or each of `ranges` on its own. Throws
// media_error as read_info does, and unsupported_format.
std::vector<Loudness> measure_opened(OpenedFile file, std::chrono::milliseconds work,
                                     Deadline deadline, bool true_peak,
                                     const std::vector<SampleRange>& ranges = {});

// Why `loudness`, from a reader or an index, is none that the meter could give for a
// file of `size` bytes (none: a stream); empty when it could be one. Its integrated
// loudness and range are set again from its blocks, never taken as they came.
std::string loudness_problem(Loudness& loudness, std::optional<std::int64_t> size);

}  // namespace media::detail
