#include <musiccore/opusutils.hpp>

#include <memory>  // std::unique_ptr

#include <opusfile.h>

namespace {

struct OpusFileCloser {
    void operator()(OggOpusFile* file) const { op_free(file); }
};
// Owning the handle makes its release on every return and throw automatic.
using ScopedOpusFile = std::unique_ptr<OggOpusFile, OpusFileCloser>;

// op_pcm_total counts samples at this rate, whatever the input rate was.
constexpr double samples_per_second = 48000.0;

}  // namespace

double opus_utils::get_duration_secs(const std::string& path)
{
    // op_open_file takes a C string; one cut short by an embedded NUL would name
    // another file. Such a path names no file, so it fails as an unopenable one.
    if (path.find('\0') != std::string::npos) {
        throw opus_error("op_open_file", OP_EFAULT);
    }
    int error = 0;
    const ScopedOpusFile file(op_open_file(path.c_str(), &error));
    if (!file) {
        throw opus_error("op_open_file", error);
    }
    const ogg_int64_t samples = op_pcm_total(file.get(), -1);
    if (samples == OP_EINVAL) {
        throw opus_error("op_pcm_total", OP_EINVAL);
    }
    return static_cast<double>(samples) / samples_per_second;
}
