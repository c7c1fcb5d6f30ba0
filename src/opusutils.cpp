#include <musiccore/opusutils.hpp>

#include <cstring>  // std::strlen
#include <memory>   // std::unique_ptr

#include <opusfile.h>

#include "file_source.hpp"

namespace opus_utils {

namespace {

struct OpusFileCloser {
    void operator()(OggOpusFile* file) const { op_free(file); }
};
// Owning the handle makes its release on every return and throw automatic.
using ScopedOpusFile = std::unique_ptr<OggOpusFile, OpusFileCloser>;

// op_pcm_total counts samples at this rate, whatever the input rate was.
constexpr double samples_per_second = 48000.0;

// Appends the value of `comment` to `text` if the comment is "`name`=value".
void collect(std::optional<std::string>& text, const char* name, const char* comment)
{
    const auto length = static_cast<int>(std::strlen(name));
    if (opus_tagncompare(name, length, comment) != 0) {
        return;
    }
    if (text) {
        *text += "; ";  // in place: a file may repeat a comment very many times
    } else {
        text.emplace();
    }
    *text += comment + length + 1;
}

opus_info read(const std::string& path, detail::Deadline deadline)
{
    // A C string cut short by an embedded NUL would name another file. Such a
    // path names no file, so it fails as an unopenable one.
    if (path.find('\0') != std::string::npos) {
        throw opus_error("op_open_file", OP_EFAULT);
    }
    detail::FileSource source(path, deadline);  // outlives the handle below
    if (!source.is_open()) {
        throw opus_error("op_open_file", OP_EFAULT);
    }
    int error = 0;
    const ScopedOpusFile file(op_open_callbacks(&source, source.callbacks(), nullptr, 0, &error));
    if (!file || !source.failure().empty()) {
        // A read that failed on this side may still let opusfile open what it
        // had, but that is not the whole file.
        throw opus_error("op_open_file", file ? OP_EREAD : error, source.failure());
    }
    const ogg_int64_t samples = op_pcm_total(file.get(), -1);
    if (samples == OP_EINVAL) {
        throw opus_error("op_pcm_total", OP_EINVAL);
    }
    opus_info info{static_cast<double>(samples) / samples_per_second, {}, {}, {}};
    // One pass over the comments: a file may hold very many.
    const OpusTags* tags = op_tags(file.get(), 0);
    for (int i = 0; tags != nullptr && i < tags->comments; ++i) {
        collect(info.artist, "ARTIST", tags->user_comments[i]);
        collect(info.album, "ALBUM", tags->user_comments[i]);
        collect(info.title, "TITLE", tags->user_comments[i]);
    }
    return info;
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
    return read(path, std::nullopt).duration_secs;
}

opus_info read_info(const std::string& path)
{
    return read(path, std::nullopt);
}

opus_info read_info(const std::string& path, std::chrono::steady_clock::time_point deadline)
{
    return read(path, deadline);
}

}  // namespace opus_utils
