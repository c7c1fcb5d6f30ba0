#pragma once
// The Opus duration query's outcome as one text, for tables of expectations.

#include <chrono>
#include <optional>
#include <string>

#include <musiccore/opusutils.hpp>

namespace test_files {

// The seconds the query gives, or the error's text. (ctest's timeout stops a query
// that hangs.)
inline std::string opus_outcome(const std::string& path,
                                std::optional<std::chrono::steady_clock::time_point> deadline = {})
{
    try {
        return std::to_string(deadline ? opus_utils::read_info(path, *deadline).duration_secs
                                       : opus_utils::get_duration_secs(path));
    } catch (const opus_utils::opus_error& e) {
        return e.what();
    }
}

}  // namespace test_files
