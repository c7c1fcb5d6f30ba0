#pragma once

#include <sstream>    // std::ostringstream
#include <stdexcept>  // std::runtime_error
#include <string>     // std::string

namespace opus_utils {

// A failed opusfile call: its name ("op_open_file" or "op_pcm_total") and the
// negative error code it gave, e.g. "op_pcm_total failed with error code -131".
class opus_error : public std::runtime_error {
public:
    opus_error(const std::string& function_name, int error_code)
        : std::runtime_error(""), function_name_(function_name), error_code_(error_code),
          message_(build_message(function_name, error_code))
    {
    }

    const char* what() const noexcept override { return message_.c_str(); }

    const std::string& function_name() const noexcept { return function_name_; }
    int error_code() const noexcept { return error_code_; }

private:
    static std::string build_message(const std::string& function_name, int error_code)
    {
        std::ostringstream message;
        message << function_name << " failed with error code " << error_code;
        return message.str();
    }

    std::string function_name_;
    int error_code_;
    std::string message_;
};

// Returns how long the Ogg Opus file at `path` plays, in seconds: its sample count
// over all links divided by 48000, unrounded. Throws opus_error for "op_open_file"
// when the file is missing, unreadable or not Ogg Opus, and for "op_pcm_total" when
// its length cannot be determined (an unseekable input such as a pipe). A path
// with an embedded NUL fails as "op_open_file" with -129, as a missing file does,
// and never opens the shorter path before the NUL.
double get_duration_secs(const std::string& path);

}  // namespace opus_utils
