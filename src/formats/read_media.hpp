#pragma once
// How media::read_info reads a file in the process it runs in.

#include <string>  // std::string

#include <musiccore/media.hpp>

#include "io/opened_file.hpp"
#include "io/work_budget.hpp"

namespace media::detail {

// Throws std::invalid_argument for a negative `limits.work`, wherever the read runs.
void check_work_limit(const Limits& limits);

// As media::read_info; the read beats `heartbeat` (may be null) at each of its
// reads, and with `regular_only` refuses anything that is not a regular file once
// opened.
MediaInfo read_media(const std::string& path, const Limits& limits, Heartbeat* heartbeat,
                     bool regular_only);
// The same of a file opened already.
MediaInfo read_media(OpenedFile file, const Limits& limits, Heartbeat* heartbeat);

// As media::read_picture, of a file opened already, under `limits`.
std::string read_picture(OpenedFile file, std::size_t index, std::size_t max_bytes,
                         const Limits& limits);

}  // namespace media::detail
