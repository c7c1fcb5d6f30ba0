#pragma once
// Reading one file in a reader process, and what its answer means to the caller.

#include <cstddef>  // std::size_t
#include <string>   // std::string

#include <musiccore/media.hpp>

#include "sandbox/wire.hpp"

namespace media::detail {

// The record of an answer, or the exception that the same read in this process would
// have thrown: unsupported_format, media_error ("reader exceeded 512 MiB", ...).
MediaInfo answered_info(ReadOutcome&& answer, std::size_t memory_limit);

}  // namespace media::detail
