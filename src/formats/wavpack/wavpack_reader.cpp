#include "formats/wavpack/wavpack_reader.hpp"

#include <cmath>   // std::lround
#include <memory>  // std::unique_ptr

#include <wavpack/wavpack.h>

#include "formats/reader.hpp"
#include "tags/ape_tags.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

namespace {

constexpr const char* format = "WavPack";

struct ContextCloser {
    void operator()(WavpackContext* context) const { WavpackCloseFile(context); }
};
using ScopedContext = std::unique_ptr<WavpackContext, ContextCloser>;

// libwavpack reads through these, and may give one byte back.
struct Reading {
    FileSource& source;
    int pushed = -1;  // a byte given back, not yet read again
};

Reading& of(void* id)
{
    return *static_cast<Reading*>(id);
}

int32_t read_bytes(void* id, void* data, int32_t count)
{
    Reading& reading = of(id);
    auto* bytes = static_cast<unsigned char*>(data);
    int32_t given = 0;
    if (count > 0 && reading.pushed >= 0) {
        *bytes++ = static_cast<unsigned char>(reading.pushed);
        reading.pushed = -1;
        given = 1;
    }
    const long got = reading.source.read(bytes, static_cast<std::size_t>(count - given));
    return got < 0 ? given : given + static_cast<int32_t>(got);
}

int32_t write_bytes(void* /*id*/, void* /*data*/, int32_t /*count*/)
{
    return 0;  // never written
}

int64_t get_pos(void* id)
{
    const Reading& reading = of(id);
    return reading.source.tell() - (reading.pushed >= 0 ? 1 : 0);
}

int set_pos_abs(void* id, int64_t position)
{
    Reading& reading = of(id);
    reading.pushed = -1;
    return reading.source.seek(position, SEEK_SET) ? 0 : -1;
}

int set_pos_rel(void* id, int64_t delta, int mode)
{
    Reading& reading = of(id);
    if (reading.pushed >= 0 && mode == SEEK_CUR) {
        --delta;
    }
    reading.pushed = -1;
    return reading.source.seek(delta, mode) ? 0 : -1;
}

int push_back_byte(void* id, int byte)
{
    of(id).pushed = byte;
    return byte;
}

int64_t get_length(void* id)
{
    const FileSource& source = of(id).source;
    return source.seekable() ? source.size() : 0;
}

int can_seek(void* id)
{
    return of(id).source.seekable() ? 1 : 0;
}

int truncate_here(void* /*id*/)
{
    return -1;
}

int close_file(void* /*id*/)
{
    return 0;  // the source is closed by its owner
}

}  // namespace

MediaInfo read_wavpack(FileSource& source, const Probe& /*probe*/)
{
    TagCollector tags;
    if (const char* why = read_ape_tags(source, tags)) {
        throw media_error(std::string(format) + ": " + why);
    }
    source.seek(0, SEEK_SET);
    Reading reading{source};
    WavpackStreamReader64 stream_reader = {read_bytes,    write_bytes,    get_pos,    set_pos_abs,
                                           set_pos_rel,   push_back_byte, get_length, can_seek,
                                           truncate_here, close_file};
    char error[81] = {};  // libwavpack writes at most 80 characters
    const ScopedContext context(
        WavpackOpenFileInputEx64(&stream_reader, &reading, nullptr, error, 0, 0));
    if (!context) {
        throw read_failure(format, source, error);
    }
    WavpackContext* wpc = context.get();
    MediaInfo info;
    info.codec = "wavpack";
    info.channels = WavpackGetNumChannels(wpc);
    info.sample_rate = static_cast<long>(WavpackGetSampleRate(wpc));
    if (info.channels <= 0 || info.sample_rate <= 0) {
        throw media_error("WavPack: no channels or rate");
    }
    const int64_t samples = WavpackGetNumSamples64(wpc);
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    if (samples >= 0) {
        info.samples = samples;
        info.exact = true;
        info.duration_secs = static_cast<double>(samples) / static_cast<double>(info.sample_rate);
        if (const double bits = WavpackGetAverageBitrate(wpc, 0); bits > 0) {
            info.bitrate = std::lround(bits);
        }
    }
    tags.move_into(info);
    return info;
}

}  // namespace media::detail
