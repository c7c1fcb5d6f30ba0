#include "formats/readers.hpp"

#include "formats/flac/flac_reader.hpp"
#include "formats/mp4/mp4_reader.hpp"
#include "formats/mpeg/mp3_reader.hpp"
#include "formats/ogg/opus_reader.hpp"
#include "formats/ogg/vorbis_reader.hpp"
#include "formats/pcm/aiff_reader.hpp"
#include "formats/pcm/wav_reader.hpp"
#include "formats/wavpack/wavpack_reader.hpp"

namespace media::detail {

namespace {

// A new format: its reader's folder, its answer in the probe, and a row here.
constexpr struct {
    Format format;
    Reader reader;
} readers[] = {
    {Format::ogg_opus, read_opus},
    {Format::ogg_vorbis, read_vorbis},
    {Format::ogg_flac, read_flac},
    {Format::flac, read_flac},
    {Format::mpeg_audio, read_mpeg_audio},
    {Format::wav, read_wav},
    {Format::aiff, read_aiff},
    {Format::mp4, read_mp4},
    {Format::wavpack, read_wavpack},
};

}  // namespace

Reader reader_of(Format format)
{
    for (const auto& row : readers) {
        if (row.format == format) {
            return row.reader;
        }
    }
    return nullptr;
}

void prepare_readers()
{
    prepare_mpeg_audio();
}

media_error read_failure(const char* format, const FileSource& source, const std::string& detail)
{
    return media_error(std::string(format) + ": " +
                       (source.failure().empty() ? detail : source.failure()));
}

}  // namespace media::detail
