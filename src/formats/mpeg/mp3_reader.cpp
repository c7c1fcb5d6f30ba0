#include "formats/mpeg/mp3_reader.hpp"

#include <cstdint>  // std::uint32_t
#include <memory>   // std::unique_ptr
#include <mutex>    // std::call_once

#include <mpg123.h>

#include "formats/reader.hpp"
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

std::uint32_t be32(std::string_view b, std::size_t at)
{
    const auto* p = reinterpret_cast<const unsigned char*>(b.data()) + at;
    return static_cast<std::uint32_t>(p[0]) << 24U | static_cast<std::uint32_t>(p[1]) << 16U |
           static_cast<std::uint32_t>(p[2]) << 8U | static_cast<std::uint32_t>(p[3]);
}

// Whether the first frame is a Xing or Info frame that states the number of frames,
// of a file no shorter than it says: then mpg123's length is exact without a walk
// over every frame. mpg123 does not tell whether it found one, so this looks where
// and as it does.
bool states_its_frames(FileSource& source, std::int64_t first_frame)
{
    const std::string_view frame = source.peek(first_frame, 4 + 32 + 16);
    if (frame.size() < 8 || ((static_cast<unsigned char>(frame[1]) >> 1U) & 3U) != 1) {
        return false;  // not layer III
    }
    const bool mpeg1 = ((static_cast<unsigned char>(frame[1]) >> 3U) & 3U) == 3;
    const bool mono = ((static_cast<unsigned char>(frame[3]) >> 6U) & 3U) == 3;
    const std::size_t side_info = mono ? (mpeg1 ? 17 : 9) : (mpeg1 ? 32 : 17);
    const std::string_view body = frame.substr(4);
    if (body.size() < side_info + 16 || body.find_first_not_of('\0', 2) < side_info) {
        return false;  // mpg123 wants zeros before the tag, past the checksum's place
    }
    const std::string_view tag = body.substr(side_info);
    const std::uint32_t flags = be32(tag, 4);
    if ((tag.substr(0, 4) != "Xing" && tag.substr(0, 4) != "Info") || (flags & 1U) == 0 ||
        be32(tag, 8) == 0) {
        return false;
    }
    // A stated byte count past the file's end: the file was cut short.
    return (flags & 2U) == 0 || !source.seekable() ||
           static_cast<std::int64_t>(be32(tag, 12)) <= source.size() - first_frame;
}

}  // namespace

MediaInfo read_mpeg_audio(FileSource& source, const Probe& probe)
{
    constexpr const char* format = "MP3";
    static std::once_flag initialised;  // needed by mpg123 before 1.27
    std::call_once(initialised, [] { mpg123_init(); });
    if (const char* why = id3v2_too_large(source)) {
        throw media_error(std::string(format) + ": " + why);
    }
    const bool exact_header = states_its_frames(source, probe.audio_start);
    int error = MPG123_OK;
    const ScopedHandle handle(mpg123_new(nullptr, &error));
    if (!handle) {
        throw media_error(std::string(format) + ": " + mpg123_plain_strerror(error));
    }
    mpg123_handle* mh = handle.get();
    const auto failed = [&] { return read_failure(format, source, mpg123_strerror(mh)); };
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    // Quiet: a library prints nothing. Gapless: the encoder delay and padding that
    // the LAME header states are no part of the length.
    if (mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0) != MPG123_OK ||
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
    if (frame.vbr == MPG123_CBR || frame.vbr == MPG123_ABR) {
        info.bitrate = 1000L * (frame.vbr == MPG123_CBR ? frame.bitrate : frame.abr_rate);
    }
    TagCollector tags;
    mpg123_id3v1* v1 = nullptr;
    mpg123_id3v2* v2 = nullptr;
    if ((mpg123_meta_check(mh) & MPG123_ID3) != 0 && mpg123_id3(mh, &v1, &v2) == MPG123_OK) {
        if (v2 != nullptr && v2->texts + v2->comments > 0) {
            add_id3v2(*v2, tags);
        } else if (v1 != nullptr) {
            add_id3v1(*v1, tags);
        }
    }
    tags.move_into(info);
    info.exact = exact_header;
    if (!exact_header && source.seekable()) {
        // Without a stated frame count, only a walk over every frame is exact.
        // Tags met on the way are skipped: those at the start have been read.
        if (mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_SKIP_ID3V2, 0) != MPG123_OK ||
            mpg123_scan(mh) != MPG123_OK) {
            throw failed();
        }
        info.exact = true;
    }
    const off_t samples = mpg123_length(mh);
    if (!source.failure().empty()) {
        throw failed();
    }
    if (samples >= 0) {
        info.samples = samples;
        info.duration_secs = static_cast<double>(samples) / static_cast<double>(rate);
    } else {
        info.exact = false;
    }
    return info;
}

}  // namespace media::detail
