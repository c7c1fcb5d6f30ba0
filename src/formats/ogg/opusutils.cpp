#include <musiccore/opusutils.hpp>

#include <opusfile.h>  // OP_EFAULT, OP_EINVAL

#include <musiccore/media.hpp>

#include "formats/ogg/ogg_screen.hpp"
#include "formats/ogg/opus_reader.hpp"
#include "io/file_source.hpp"

namespace opus_utils {

namespace {

using media::detail::WorkBudget;

// op_pcm_total counts samples at this rate, whatever the input rate was.
constexpr double samples_per_second = 48000.0;

opus_info read(const std::string& path, WorkBudget budget)
{
    // A path that holds a NUL names no file: it fails to open, as an unopenable one.
    media::detail::FileSource source(path, budget);
    if (!source.is_open()) {
        throw opus_error("op_open_file", OP_EFAULT);
    }
    media::detail::OggScreen screen;
    media::detail::OpusRead got = media::detail::read_opus_file(source, screen);
    if (!got.samples) {  // an unseekable input
        throw opus_error("op_pcm_total", OP_EINVAL);
    }
    media::MediaInfo tags;
    got.tags.move_into(tags);
    return {static_cast<double>(*got.samples) / samples_per_second,
            media::joined(tags.tags, "ARTIST"), media::joined(tags.tags, "ALBUM"),
            media::joined(tags.tags, "TITLE")};
}

}  // namespace

// std::to_string, not a stream: a global locale must not group the digits.
opus_error::opus_error(const std::string& function_name, int error_code, const std::string& reason)
    : std::runtime_error(""), function_name_(function_name), error_code_(error_code),
      reason_(reason), message_(function_name + " failed with error code " +
                                std::to_string(error_code) + (reason.empty() ? "" : ": " + reason))
{
}

// Defined here, not inline, so that this file holds the vtable and type information
// that every catch of opus_error relies on.
const char* opus_error::what() const noexcept
{
    return message_.c_str();
}

double get_duration_secs(const std::string& path)
{
    return read_info(path).duration_secs;
}

opus_info read_info(const std::string& path)
{
    return read(path, WorkBudget(media::default_work_limit, std::nullopt));
}

opus_info read_info(const std::string& path, std::chrono::steady_clock::time_point deadline)
{
    return read(path, WorkBudget(std::chrono::milliseconds::zero(), deadline));
}

}  // namespace opus_utils
