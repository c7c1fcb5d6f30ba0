#pragma once
// media::read_info, with what only the folder scan asks.

#include <string>  // std::string

#include <musiccore/media.hpp>

#include "io/work_budget.hpp"

namespace media::detail {

// As media::read_info; the read beats `heartbeat` (may be null) at each of its
// reads, and with `regular_only` refuses anything that is not a regular file once
// opened.
MediaInfo read_media(const std::string& path, const Limits& limits, Heartbeat* heartbeat,
                     bool regular_only);

// As media::read_info with `limits.isolated`: in a reader process (sandbox/), or here
// when none can be had.
MediaInfo read_isolated(const std::string& path, const Limits& limits);

}  // namespace media::detail
