#include "formats/ogg/vorbis_reader.hpp"

#include <cerrno>  // errno, EIO

#include <vorbis/vorbisfile.h>

#include "formats/ogg/ogg_screen.hpp"
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

MediaInfo read_vorbis(FileSource& source, const Probe& /*probe*/)
{
    OggScreen screen("\x03vorbis");
    const ScreenInstalled screened(source, screen);
    VorbisFile file(source);
    if (file.error() != 0 || !source.failure().empty()) {
        throw read_failure("Ogg Vorbis", source,
                           "ov_open_callbacks failed with error code " +
                               std::to_string(file.error()));
    }
    const vorbis_info* first = ov_info(file.get(), 0);
    MediaInfo info;
    info.codec = "vorbis";
    info.channels = first->channels;
    info.sample_rate = first->rate;
    if (first->bitrate_nominal > 0) {
        info.bitrate = first->bitrate_nominal;
    }
    const ogg_int64_t samples = ov_pcm_total(file.get(), -1);
    if (samples >= 0) {  // OV_EINVAL when unseekable
        // Links of other rates make the count a sum of unlike samples: the time is
        // still right, the count is an estimate at the first link's rate.
        bool one_rate = true;
        for (int link = 1; link < ov_streams(file.get()); ++link) {
            one_rate = one_rate && ov_info(file.get(), link)->rate == first->rate;
        }
        info.exact = one_rate;
        info.duration_secs = one_rate
                                 ? static_cast<double>(samples) / static_cast<double>(first->rate)
                                 : ov_time_total(file.get(), -1);
        info.samples =
            one_rate
                ? samples
                : static_cast<ogg_int64_t>(info.duration_secs * static_cast<double>(first->rate));
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

}  // namespace media::detail
