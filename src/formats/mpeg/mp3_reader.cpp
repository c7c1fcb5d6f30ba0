#include "formats/mpeg/mp3_reader.hpp"

#include <algorithm>  // std::max
#include <cmath>      // std::lround
#include <cstdint>    // std::uint32_t
#include <memory>     // std::unique_ptr
#include <mutex>      // std::call_once
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

#include <mpg123.h>

#include "formats/mpeg/mpeg_frames.hpp"
#include "formats/reader.hpp"
#include "tags/ape_tags.hpp"
#include "tags/id3_tags.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

namespace {

struct HandleDeleter {
    void operator()(mpg123_handle* handle) const
    {
        mpg123_close(handle);
        mpg123_delete(handle);
    }
};
using ScopedHandle = std::unique_ptr<mpg123_handle, HandleDeleter>;

mpg123_ssize_t read(void* source, void* data, std::size_t size)
{
    return static_cast<FileSource*>(source)->read(data, size);
}

off_t seek(void* source, off_t offset, int whence)
{
    auto* file = static_cast<FileSource*>(source);
    return file->seek(offset, whence) ? static_cast<off_t>(file->tell()) : -1;
}

// The bytes of audio frames: from the first frame to the end, but for an ID3v1 tag.
std::int64_t audio_bytes(FileSource& source, std::int64_t first_frame)
{
    std::int64_t end = source.size();
    if (end - first_frame >= 128 && source.peek(end - 128, 3) == "TAG") {
        end -= 128;
    }
    return end - first_frame;
}

// What the Xing or Info frame at the start of the audio states of the length.
enum class Stated {
    no,        // nothing to go by: the frames are counted
    estimate,  // a length, but not to the sample
    exactly,
};

// Whether the Xing or Info frame at the start of the audio states a length that the
// file can hold and that the encoder's delay and padding make exact: a frame count
// that frames of the fewest bytes fit in, a byte count within the file, a delay and
// padding shorter than the audio. mpg123 reads the same frame for its length.
// ffmpeg's encoder (Lavc) writes a delay that decoders take otherwise than LAME's: its
// files play some 30 to 40 samples off the length stated, an estimate.
Stated states_its_length(FileSource& source, std::int64_t first_frame)
{
    const std::string frame(source.peek(first_frame, 4 + 32 + 8 + 8 + 100 + 4 + 24));
    const auto header = frame_header(frame);
    const auto info = header ? info_frame(frame, *header) : std::nullopt;
    if (!info || !info->frames || *info->frames == 0 || !info->delay) {
        return Stated::no;  // the frames, or what an encoder added to them, are not stated
    }
    const std::uint64_t samples = std::uint64_t{*info->frames} * header->samples;
    if (*info->delay + *info->padding >= samples) {
        return Stated::no;
    }
    const Stated told = info->encoder.substr(0, 4) == "Lavc" || info->encoder.substr(0, 4) == "Lavf"
                            ? Stated::estimate
                            : Stated::exactly;
    if (!source.seekable()) {
        return told;  // nothing to hold it against
    }
    const std::int64_t audio = audio_bytes(source, first_frame);
    const auto smallest = static_cast<std::int64_t>(smallest_frame(*header));
    // The Info frame is one of the frames it counts, or one before them.
    const bool holds = static_cast<std::int64_t>(*info->frames - 1) * smallest <= audio &&
                       (!info->bytes || static_cast<std::int64_t>(*info->bytes) <= audio);
    return holds ? told : Stated::no;
}

// A file whose Info frame states its length, read from that frame, as mpg123 reads
// it: the frames it counts, less the delay and padding it states; the rate of a file
// encoded at a constant or an average one.
MediaInfo as_stated(FileSource& source, std::int64_t first_frame, bool exact)
{
    const std::string frame(source.peek(first_frame, 4 + 32 + 8 + 8 + 100 + 4 + 24));
    const FrameHeader header = *frame_header(frame);
    const InfoFrame stated = *info_frame(frame, header);
    MediaInfo info;
    info.codec = "mp3";
    info.channels = header.mono ? 1 : 2;
    info.sample_rate = header.sample_rate;
    const std::uint64_t samples =
        std::uint64_t{*stated.frames} * header.samples - *stated.delay - stated.padding.value_or(0);
    info.samples = static_cast<std::int64_t>(samples);
    info.exact = exact;
    info.duration_secs = static_cast<double>(samples) / static_cast<double>(header.sample_rate);
    if (stated.average_kbps) {
        info.bitrate = 1000L * *stated.average_kbps;
    } else if (stated.constant) {
        info.bitrate = header.bitrate;
    }
    return info;
}

}  // namespace

void prepare_mpeg_audio()
{
    static std::once_flag initialised;  // needed by mpg123 before 1.27
    std::call_once(initialised, [] { mpg123_init(); });
}

MediaInfo read_mpeg_audio(FileSource& source, const Probe& probe)
{
    constexpr const char* format = "MP3";
    prepare_mpeg_audio();
    // The tags are read here: mpg123 only skips them, and never parses what it may
    // not be able to bound.
    TagCollector tags;
    bool tagged = false;
    if (const char* why = read_id3v2(source, tags, tagged)) {
        throw media_error(std::string(format) + ": " + why);
    }
    // APE tags (foobar2000's, mp3gain's) add what ID3v2 does not name; ID3v1 is the
    // last resort.
    TagCollector ape;
    if (const char* why = read_ape_tags(source, ape)) {
        throw media_error(std::string(format) + ": " + why);
    }
    tags.add_missing(ape);
    if (tags.empty()) {
        read_id3v1(source, tags);
    }
    const Stated length_stated = states_its_length(source, probe.audio_start);
    const bool stated = length_stated != Stated::no;
    if (stated && source.seekable()) {
        MediaInfo info = as_stated(source, probe.audio_start, length_stated == Stated::exactly);
        tags.move_into(info);
        return info;
    }
    int error = MPG123_OK;
    const ScopedHandle handle(mpg123_new(nullptr, &error));
    if (!handle) {
        throw media_error(std::string(format) + ": " + mpg123_plain_strerror(error));
    }
    mpg123_handle* mh = handle.get();
    const auto failed = [&] {
        return read_failure(format, source, mpg123_plain_strerror(mpg123_errcode(mh)));
    };
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    // Quiet: a library prints nothing. Gapless: the encoder delay and padding that
    // the LAME header states are no part of the length.
    // It looks for the first frame as far as the probe found it, past what is none.
    const long resync = static_cast<long>(std::max<std::int64_t>(
        1024, probe.audio_start + static_cast<std::int64_t>(max_frame_bytes)));
    if (mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS | MPG123_SKIP_ID3V2, 0) !=
            MPG123_OK ||
        mpg123_param(mh, MPG123_RESYNC_LIMIT, resync, 0) != MPG123_OK ||
        mpg123_replace_reader_handle(mh, read, seek, nullptr) != MPG123_OK ||
        mpg123_open_handle(mh, &source) != MPG123_OK ||
        mpg123_getformat(mh, &rate, &channels, &encoding) != MPG123_OK || rate <= 0) {
        throw failed();
    }
    MediaInfo info;
    mpg123_frameinfo frame{};
    mpg123_info(mh, &frame);
    info.codec = frame.layer == 1 ? "mp1" : (frame.layer == 2 ? "mp2" : "mp3");
    info.channels = channels;
    info.sample_rate = rate;
    if (stated && (frame.vbr == MPG123_CBR || frame.vbr == MPG123_ABR)) {
        info.bitrate = 1000L * (frame.vbr == MPG123_CBR ? frame.bitrate : frame.abr_rate);
    }
    tags.move_into(info);
    const bool counted = !stated && source.seekable();
    // A length not stated, or not to be trusted, is the frames counted: all but what
    // an encoder added before and after them, which no header here states, so an
    // estimate. Tags met on the way are skipped: those at the start have been read.
    // Nor what a LAME header that lies says of it.
    if (counted && (mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0) != MPG123_OK ||
                    mpg123_scan(mh) != MPG123_OK)) {
        throw failed();
    }
    const off_t samples = mpg123_length(mh);
    if (!source.failure().empty()) {
        throw failed();
    }
    if (samples > 0) {
        info.samples = samples;
        info.duration_secs = static_cast<double>(samples) / static_cast<double>(rate);
        info.exact = length_stated == Stated::exactly;
    }
    if (counted && samples > 0) {
        // The average over the frames counted, to the kilobit.
        const double bits = 8.0 * static_cast<double>(audio_bytes(source, probe.audio_start));
        info.bitrate = 1000 * std::lround(bits / info.duration_secs / 1000);
    }
    return info;
}

void decode_mpeg_audio(FileSource& source, const Probe& probe, FrameSink& sink)
{
    constexpr const char* format = "MP3";
    prepare_mpeg_audio();
    // The range that the reader counts: without the delay and padding that a LAME
    // header states, and all the frames where none does.
    const bool stated =
        source.seekable() && states_its_length(source, probe.audio_start) != Stated::no;
    if (!source.seek(0, SEEK_SET)) {
        throw read_failure(format, source, "cannot go back to the start");
    }
    int error = MPG123_OK;
    const ScopedHandle handle(mpg123_new(nullptr, &error));
    if (!handle) {
        throw media_error(std::string(format) + ": " + mpg123_plain_strerror(error));
    }
    mpg123_handle* mh = handle.get();
    const long resync = static_cast<long>(std::max<std::int64_t>(
        1024, probe.audio_start + static_cast<std::int64_t>(max_frame_bytes)));
    const long flags = MPG123_QUIET | MPG123_SKIP_ID3V2 | (stated ? MPG123_GAPLESS : 0);
    bool ready = mpg123_param(mh, MPG123_FLAGS, flags, 0) == MPG123_OK &&
                 mpg123_param(mh, MPG123_RESYNC_LIMIT, resync, 0) == MPG123_OK &&
                 mpg123_format_none(mh) == MPG123_OK;
    const long* rates = nullptr;
    std::size_t rate_count = 0;
    mpg123_rates(&rates, &rate_count);
    for (std::size_t i = 0; ready && i < rate_count; ++i) {
        ready = mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32) ==
                MPG123_OK;
    }
    if (!ready || mpg123_replace_reader_handle(mh, read, seek, nullptr) != MPG123_OK ||
        mpg123_open_handle(mh, &source) != MPG123_OK) {
        throw read_failure(format, source, mpg123_plain_strerror(mpg123_errcode(mh)));
    }
    std::vector<float> samples(std::size_t{1152} * 2 * 8);
    std::int64_t decoded = 0;
    int channels = 0;
    for (;;) {
        std::size_t bytes = 0;
        const int status = mpg123_read(mh, samples.data(), samples.size() * sizeof(float), &bytes);
        if (status == MPG123_NEW_FORMAT) {
            long rate = 0;
            int encoding = 0;
            mpg123_getformat(mh, &rate, &channels, &encoding);
            sink.start({channels, rate, ChannelOrder::wave});
        }
        if (bytes > 0 && channels > 0) {
            const std::size_t frames = bytes / sizeof(float) / static_cast<std::size_t>(channels);
            sink.interleaved(samples.data(), frames);
            decoded += static_cast<std::int64_t>(frames);
        }
        if (status == MPG123_DONE) {
            break;
        }
        if (status != MPG123_OK && status != MPG123_NEW_FORMAT) {
            throw read_failure(
                format, source,
                "decoding failed after sample " + std::to_string(decoded) + ": " +
                    mpg123_plain_strerror(status == MPG123_ERR ? mpg123_errcode(mh) : status));
        }
    }
    if (decoded == 0) {
        throw read_failure(format, source, "no audio decoded");
    }
}

}  // namespace media::detail
