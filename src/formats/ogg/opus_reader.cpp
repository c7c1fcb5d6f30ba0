#include "formats/ogg/opus_reader.hpp"

#include <memory>   // std::unique_ptr
#include <string>   // std::to_string
#include <utility>  // std::move
#include <vector>   // std::vector

#include <opusfile.h>

#include <musiccore/opusutils.hpp>

#include "formats/ogg/ogg_headers.hpp"
#include "formats/ogg/ogg_screen.hpp"
#include "formats/ogg/opus_pages.hpp"
#include "formats/reader.hpp"

namespace media::detail {

namespace {

struct OpusFileCloser {
    void operator()(OggOpusFile* file) const { op_free(file); }
};
// Owning the handle makes its release on every return and throw automatic.
using ScopedOpusFile = std::unique_ptr<OggOpusFile, OpusFileCloser>;

int read(void* source, unsigned char* data, int size)
{
    return static_cast<int>(
        static_cast<FileSource*>(source)->read(data, static_cast<std::size_t>(size)));
}

int seek(void* source, opus_int64 offset, int whence)
{
    return static_cast<FileSource*>(source)->seek(offset, whence) ? 0 : -1;
}

opus_int64 tell(void* source)
{
    return static_cast<FileSource*>(source)->tell();
}

// Without a seek callback opusfile treats the source as a stream: it reads it once,
// front to back, and cannot tell the whole length.
const OpusFileCallbacks seekable{read, seek, tell, nullptr};
const OpusFileCallbacks stream{read, nullptr, nullptr, nullptr};

}  // namespace

OpusRead read_opus_file(FileSource& source, OggScreen& screen)
{
    const ScreenInstalled screened(source, screen);
    bool began = false;
    auto pages = read_opus_pages(source, &screen, began);
    // A read that failed past the first page fails as it would have in opusfile's
    // hands; one that failed on it is left to fail there.
    if (began && !source.failure().empty()) {
        throw opus_utils::opus_error("op_open_file", OP_EREAD, source.failure());
    }
    if (pages) {
        return std::move(*pages);
    }
    int error = 0;
    const ScopedOpusFile file(
        op_open_callbacks(&source, source.seekable() ? &seekable : &stream, nullptr, 0, &error));
    if (!file || !source.failure().empty()) {
        // A read that failed on this side may still let opusfile open what it had,
        // but that is not the whole file.
        throw opus_utils::opus_error("op_open_file", file ? OP_EREAD : error, source.failure());
    }
    OpusRead got;
    // Link by link: opusfile 0.12 sums the whole stream in an order that can
    // overflow (undefined behaviour) on a crafted file, where this sum cannot.
    if (op_seekable(file.get()) != 0) {
        got.samples = 0;
        for (int link = 0; link < op_link_count(file.get()); ++link) {
            *got.samples += op_pcm_total(file.get(), link);
            got.links.push_back({static_cast<std::uint32_t>(op_serialno(file.get(), link)),
                                 op_pcm_total(file.get(), link), op_raw_total(file.get(), link),
                                 48000});
        }
    }
    got.channels = op_channel_count(file.get(), 0);
    const OpusTags* tags = op_tags(file.get(), 0);
    for (int i = 0; tags != nullptr && i < tags->comments; ++i) {
        got.tags.add_comment(
            {tags->user_comments[i], static_cast<std::size_t>(tags->comment_lengths[i])});
    }
    return got;
}

MediaInfo read_opus(FileSource& source, const Probe& /*probe*/)
{
    constexpr long rate = 48000;  // opusfile counts at this rate, whatever the input was
    try {
        OggScreen screen;
        OpusRead got = read_opus_file(source, screen);
        MediaInfo info;
        info.codec = "opus";
        info.channels = got.channels;
        info.sample_rate = rate;
        if (got.samples) {
            // opusenc's usual rate of bytes for a link that lies about its own.
            constexpr double typical_bits = 64000;
            const OggLength length = judged_length(std::move(got.links), source, screen,
                                                   max_opus_samples_a_byte, typical_bits);
            info.samples = length.samples;
            info.exact = length.exact;
            info.duration_secs = length.secs;
        }
        got.tags.move_into(info);
        return info;
    } catch (const opus_utils::opus_error& e) {
        throw read_failure("Ogg Opus", source,
                           e.reason().empty() ? ogg_library_error(e.error_code()) : e.reason());
    }
}

void decode_opus(FileSource& source, const Probe& /*probe*/, FrameSink& sink)
{
    constexpr const char* format = "Ogg Opus";
    OggScreen screen;
    const ScreenInstalled screened(source, screen);
    int error = 0;
    const ScopedOpusFile file(
        op_open_callbacks(&source, source.seekable() ? &seekable : &stream, nullptr, 0, &error));
    if (!file) {
        throw read_failure(format, source, ogg_library_error(error));
    }
    // At 48 kHz always, the header's output gain applied: what a player plays. 120 ms
    // of 8 channels, the most that one packet holds.
    std::vector<float> samples(std::size_t{5760} * 8);
    std::int64_t decoded = 0;
    int channels = 0;
    for (;;) {
        int link = 0;
        const int got =
            op_read_float(file.get(), samples.data(), static_cast<int>(samples.size()), &link);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            throw read_failure(format, source,
                               "decoding failed after sample " + std::to_string(decoded) + ": " +
                                   ogg_library_error(got));
        }
        const int link_channels = op_channel_count(file.get(), link);
        if (link_channels != channels) {
            channels = link_channels;
            sink.start({channels, 48000, ChannelOrder::vorbis});
        }
        sink.interleaved(samples.data(), static_cast<std::size_t>(got));
        decoded += got;
    }
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
}

}  // namespace media::detail
