#include "formats/ogg/vorbis_reader.hpp"

#include <cerrno>  // errno, EIO
#include <string>  // std::to_string

#include <vorbis/vorbisfile.h>

#include "formats/ogg/ogg_headers.hpp"
#include "formats/ogg/ogg_lengths.hpp"
#include "formats/ogg/ogg_screen.hpp"
#include "formats/ogg/vorbis_pages.hpp"
#include "formats/reader.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

namespace {

// vorbisfile tells an error from the end by errno, which it clears first.
std::size_t read(void* data, std::size_t size, std::size_t count, void* source)
{
    if (size == 0) {
        return 0;
    }
    const long got = static_cast<FileSource*>(source)->read(data, size * count);
    errno = got < 0 ? EIO : 0;
    return got < 0 ? 0 : static_cast<std::size_t>(got) / size;
}

int seek(void* source, ogg_int64_t offset, int whence)
{
    return static_cast<FileSource*>(source)->seek(offset, whence) ? 0 : -1;
}

long tell(void* source)
{
    return static_cast<long>(static_cast<FileSource*>(source)->tell());
}

// Without a seek callback vorbisfile reads the source once, as a stream.
const ov_callbacks seekable{read, seek, nullptr, tell};
const ov_callbacks stream{read, nullptr, nullptr, nullptr};

// An open file, cleared on every path; vorbisfile clears one that fails to open.
class VorbisFile {
public:
    explicit VorbisFile(FileSource& source)
        : error_(
              ov_open_callbacks(&source, &file_, nullptr, 0, source.seekable() ? seekable : stream))
    {
    }
    VorbisFile(const VorbisFile&) = delete;
    VorbisFile& operator=(const VorbisFile&) = delete;
    VorbisFile(VorbisFile&&) = delete;
    VorbisFile& operator=(VorbisFile&&) = delete;
    ~VorbisFile()
    {
        if (error_ == 0) {
            ov_clear(&file_);
        }
    }

    int error() const { return error_; }
    OggVorbis_File* get() { return &file_; }

private:
    OggVorbis_File file_{};
    int error_;
};

}  // namespace

namespace {

// What a seekable file's links come to, held to its bytes.
void take_length(MediaInfo& info, std::vector<LinkCount> links, FileSource& source,
                 OggScreen& screen, long nominal_bitrate)
{
    const auto nominal = static_cast<double>(nominal_bitrate > 0 ? nominal_bitrate : 128000);
    const OggLength length =
        judged_length(std::move(links), source, screen, max_vorbis_samples_a_byte, nominal);
    info.samples = length.samples;
    info.exact = length.exact;
    info.duration_secs = length.secs;
}

}  // namespace

MediaInfo read_vorbis(FileSource& source, const Probe& /*probe*/)
{
    OggScreen screen;
    screen.defer_codebooks();  // unpacked by libvorbis only, if it is left the file
    const ScreenInstalled screened(source, screen);
    MediaInfo info;
    info.codec = "vorbis";
    if (auto pages = read_vorbis_pages(source, &screen); pages && source.failure().empty()) {
        info.channels = pages->channels;
        info.sample_rate = pages->rate;
        if (pages->nominal_bitrate > 0) {
            info.bitrate = pages->nominal_bitrate;
        }
        take_length(info, {pages->link}, source, screen, pages->nominal_bitrate);
        pages->tags.move_into(info);
        return info;
    }
    if (!source.failure().empty()) {
        throw read_failure("Ogg Vorbis", source, "");
    }
    // What libvorbis reads of the bytes kept already is not screened again.
    if (const char* refusal = screen.judge_codebooks()) {
        throw media_error(std::string("Ogg Vorbis: ") + refusal);
    }
    VorbisFile file(source);
    if (file.error() != 0 || !source.failure().empty()) {
        throw read_failure("Ogg Vorbis", source, ogg_library_error(file.error()));
    }
    const vorbis_info* first = ov_info(file.get(), 0);
    info.channels = first->channels;
    info.sample_rate = first->rate;
    if (first->bitrate_nominal > 0) {
        info.bitrate = first->bitrate_nominal;
    }
    if (ov_seekable(file.get()) != 0) {
        std::vector<LinkCount> links;
        links.reserve(static_cast<std::size_t>(ov_streams(file.get())));
        for (int link = 0; link < ov_streams(file.get()); ++link) {
            links.push_back({static_cast<std::uint32_t>(ov_serialnumber(file.get(), link)),
                             ov_pcm_total(file.get(), link), ov_raw_total(file.get(), link),
                             ov_info(file.get(), link)->rate});
        }
        take_length(info, std::move(links), source, screen, first->bitrate_nominal);
    }
    TagCollector tags;
    const vorbis_comment* comments = ov_comment(file.get(), 0);
    for (int i = 0; comments != nullptr && i < comments->comments; ++i) {
        tags.add_comment(
            {comments->user_comments[i], static_cast<std::size_t>(comments->comment_lengths[i])});
    }
    tags.move_into(info);
    return info;
}

void decode_vorbis(FileSource& source, const Probe& /*probe*/, FrameSink& sink)
{
    constexpr const char* format = "Ogg Vorbis";
    OggScreen screen;
    const ScreenInstalled screened(source, screen);
    VorbisFile file(source);
    if (file.error() != 0) {
        throw read_failure(format, source, ogg_library_error(file.error()));
    }
    // libvorbisfile 1.3.7 leaves a chained file at its last link once opened, and
    // would decode that link alone: back to the first sample.
    if (ov_seekable(file.get()) != 0 && ov_pcm_seek(file.get(), 0) != 0) {
        throw read_failure(format, source, "cannot go back to the first sample");
    }
    std::int64_t decoded = 0;
    int current = -1;
    PcmLayout layout;
    for (;;) {
        float** channels = nullptr;
        int link = 0;
        constexpr int most = 4096;
        const long got = ov_read_float(file.get(), &channels, most, &link);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            throw read_failure(format, source,
                               "decoding failed after sample " + std::to_string(decoded) + ": " +
                                   ogg_library_error(static_cast<int>(got)));
        }
        if (link != current) {
            const vorbis_info* info = ov_info(file.get(), link);
            if (info == nullptr) {
                throw read_failure(format, source, "a link without stream information");
            }
            current = link;
            const PcmLayout now{info->channels, info->rate, ChannelOrder::vorbis};
            if (now.channels != layout.channels || now.sample_rate != layout.sample_rate) {
                layout = now;
                sink.start(layout);
            }
        }
        sink.planar(channels, static_cast<std::size_t>(got));
        decoded += got;
    }
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
}

}  // namespace media::detail
