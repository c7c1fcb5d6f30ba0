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
// Throws what a failed answer stands for, as answered_info does.
[[noreturn]] void throw_failure(ReadOutcome& answer, std::size_t memory_limit);

// Throws std::invalid_argument for limits that a read in a reader process cannot keep.
void check_isolated(const Limits& limits);

// The answer of a reader about the file at `path`, opened here.
ReadOutcome read_alone(const std::string& path, const ReadRequest& request,
                       std::size_t memory_limit);

}  // namespace media::detail
