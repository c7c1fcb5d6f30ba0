#pragma once

#include <chrono>     // std::chrono::steady_clock
#include <optional>   // std::optional
#include <stdexcept>  // std::runtime_error
#include <string>     // std::string

#include <musiccore/export.hpp>

namespace opus_utils {

// A failed opusfile call: its name ("op_open_file" or "op_pcm_total") and the
// negative error code it gave, e.g. "op_pcm_total failed with error code -131".
// When the library itself stopped the call, the message ends with the reason:
// "op_open_file failed with error code -132: no data for 1 s".
class MUSICCORE_EXPORT opus_error : public std::runtime_error {
public:
    opus_error(const std::string& function_name, int error_code, const std::string& reason = "");

    const char* what() const noexcept override;

    const std::string& function_name() const noexcept { return function_name_; }
    int error_code() const noexcept { return error_code_; }
    // Why the library stopped the call itself ("time limit passed"); empty when
    // opusfile failed on its own.
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string function_name_;
    int error_code_;
    std::string reason_;
    std::string message_;
};

// What one open of an Ogg Opus file tells: its exact playing time and, from the
// first link's comments, the texts of ARTIST, ALBUM and TITLE (names matched in
// any letter case; repeated values joined with "; " in file order; absent when
// the file has none).
struct opus_info {
    double duration_secs = 0;
    std::optional<std::string> artist, album, title;
};

// Returns how long the Ogg Opus file at `path` plays, in seconds: its sample count
// over all links divided by 48000, unrounded. Throws opus_error for "op_open_file"
// when the file is missing or unreadable (-129, as for a path with an embedded
// NUL) or not Ogg Opus (-132), and for "op_pcm_total" (-131) when its length
// cannot be determined (an unseekable input such as a pipe).
// Never blocks for long: anything but a regular file is read without blocking,
// and waiting more than 1 s for its data fails the query.
MUSICCORE_EXPORT double get_duration_secs(const std::string& path);

// The duration, exactly as get_duration_secs gives it, and the texts, in one open.
// Throws as get_duration_secs does.
MUSICCORE_EXPORT opus_info read_info(const std::string& path);

// As above, but stops at the first read past `deadline` and throws an opus_error
// whose message says "time limit passed".
MUSICCORE_EXPORT opus_info read_info(const std::string& path,
                                     std::chrono::steady_clock::time_point deadline);

}  // namespace opus_utils
