#include "formats/format_table.hpp"

#include <algorithm>  // std::find_if, std::find, std::min

#include "formats/flac/flac_reader.hpp"
#include "formats/mp4/mp4_decoder.hpp"
#include "formats/mp4/mp4_reader.hpp"
#include "formats/mpeg/mp3_reader.hpp"
#include "formats/ogg/opus_reader.hpp"
#include "formats/ogg/vorbis_reader.hpp"
#include "formats/pcm/aiff_reader.hpp"
#include "formats/pcm/wav_reader.hpp"
#include "formats/wavpack/wavpack_reader.hpp"

namespace media::detail {

const std::vector<FormatRow>& format_rows()
{
    // MPEG audio last: where nothing else claims a file, its frames are looked for
    // past junk at its start.
    static const std::vector<FormatRow> rows{
        {Format::ogg_opus, "Ogg Opus", ".opus", probe_ogg, read_opus, decode_opus},
        {Format::ogg_vorbis, "Ogg Vorbis", ".ogg .oga", probe_ogg, read_vorbis, decode_vorbis},
        {Format::ogg_flac, "FLAC in Ogg", ".oga", probe_ogg, read_flac, decode_flac},
        {Format::flac, "FLAC", ".flac", probe_flac, read_flac, decode_flac},
        {Format::wav, "WAV (RIFF, RF64)", ".wav", probe_wav, read_wav, decode_wav},
        {Format::aiff, "AIFF", ".aif .aiff .aifc", probe_aiff, read_aiff, decode_aiff},
        {Format::mp4, "MP4 (AAC, ALAC)", ".m4a .m4b .mp4", probe_mp4, read_mp4, decode_mp4},
        {Format::wavpack, "WavPack", ".wv", probe_wavpack, read_wavpack, decode_wavpack},
        {Format::mpeg_audio, "MP3", ".mp3", probe_mpeg, read_mpeg_audio, decode_mpeg_audio},
    };
    return rows;
}

namespace {

const FormatRow* row_of(Format format)
{
    const auto& rows = format_rows();
    const auto row = std::find_if(rows.begin(), rows.end(), [format](const FormatRow& each) {
        return each.format == format;
    });
    return row == rows.end() ? nullptr : &*row;
}

}  // namespace

Reader reader_of(Format format)
{
    const FormatRow* row = row_of(format);
    return row == nullptr ? nullptr : row->reader;
}

Decoder decoder_of(Format format)
{
    const FormatRow* row = row_of(format);
    return row == nullptr ? nullptr : row->decoder;
}

std::vector<std::string_view> extensions_of(const FormatRow& row)
{
    std::vector<std::string_view> extensions;
    for (std::string_view names = row.extensions; !names.empty();) {
        extensions.push_back(names.substr(0, names.find(' ')));
        names.remove_prefix(std::min(names.size(), extensions.back().size() + 1));
    }
    return extensions;
}

bool listed_extension(std::string_view extension)
{
    // Asked for every name a walk meets: looked up in the names of all rows, once made.
    static const std::vector<std::string_view> all = [] {
        std::vector<std::string_view> names;
        for (const FormatRow& row : format_rows()) {
            const auto own = extensions_of(row);
            names.insert(names.end(), own.begin(), own.end());
        }
        return names;
    }();
    return std::find(all.begin(), all.end(), extension) != all.end();
}

void prepare_readers()
{
    prepare_mpeg_audio();
}

}  // namespace media::detail
