#include "formats/pcm/wav_reader.hpp"

#include "formats/pcm/chunk_tags.hpp"
#include "formats/pcm/chunks.hpp"
#include "formats/pcm/pcm_decode.hpp"
#include "formats/pcm/pcm_length.hpp"
#include "formats/reader.hpp"
#include "io/byte_order.hpp"

namespace media::detail {

namespace {

constexpr const char* format = "WAV";
constexpr std::uint64_t unknown_size = 0xFFFFFFFF;  // RF64: see ds64

struct WaveFormat {
    const char* codec = nullptr;
    int channels = 0;
    long rate = 0;
    unsigned block_align = 0;
    unsigned bits = 0;  // a sample's, as stored
};

// The codecs whose frames all have one size, by their format tag.
const char* codec_of(unsigned tag)
{
    switch (tag) {
    case 1:
        return "pcm";
    case 3:
        return "float";
    case 6:
        return "alaw";
    case 7:
        return "mulaw";
    default:
        return nullptr;
    }
}

WaveFormat wave_format(std::string_view fmt)
{
    constexpr unsigned extensible = 0xFFFE;
    if (fmt.size() < 16) {
        throw media_error("WAV: fmt chunk too short");
    }
    auto tag = static_cast<unsigned>(little_endian(fmt, 0, 2));
    if (tag == extensible && fmt.size() >= 26) {
        tag = static_cast<unsigned>(little_endian(fmt, 24, 2));  // the sub-format GUID's start
    }
    WaveFormat wave{codec_of(tag), static_cast<int>(little_endian(fmt, 2, 2)),
                    static_cast<long>(little_endian(fmt, 4, 4)),
                    static_cast<unsigned>(little_endian(fmt, 12, 2)),
                    static_cast<unsigned>(little_endian(fmt, 14, 2))};
    if (wave.codec == nullptr) {
        throw unsupported_format("WAV of codec " + hex_code(tag, 4), false);
    }
    if (wave.channels == 0 || wave.rate == 0 || wave.block_align == 0) {
        throw media_error("WAV: fmt chunk states no channels, rate or frame size");
    }
    return wave;
}

// What the chunks before the audio, and those after it in a seekable file, state.
struct Chunks {
    std::optional<WaveFormat> wave;
    std::optional<Chunk> data;
};

Chunks walk_chunks(FileSource& source, ChunkTags& tags, ChunkWalk& walk, bool rf64)
{
    Chunks found;
    std::uint64_t data_size64 = unknown_size;
    while (const auto chunk = walk.next()) {
        if (chunk->id == "ds64" && rf64) {
            const std::string ds64 = walk.body(*chunk, 16);
            data_size64 = ds64.size() == 16 ? little_endian(ds64, 8, 8) : unknown_size;
        } else if (chunk->id == "fmt ") {
            found.wave = wave_format(walk.body(*chunk, 40));
        } else if (chunk->id == "data") {
            found.data = chunk;
            if (rf64 && chunk->size == unknown_size) {
                found.data->size = data_size64;
                walk.resize_last(*chunk, data_size64);
            }
            if (!source.seekable()) {
                break;  // a stream cannot be looked past its audio
            }
        } else if (chunk->id == "LIST") {
            tags.add_list(*chunk);
        } else if (chunk->id == "id3 " || chunk->id == "ID3 ") {
            tags.add_id3(*chunk);
        }
    }
    return found;
}

}  // namespace

MediaInfo read_wav(FileSource& source, const Probe& /*probe*/)
{
    const std::string riff(source.peek(0, 12));
    const bool rf64 = riff.compare(0, 4, "RF64") == 0 || riff.compare(0, 4, "BW64") == 0;
    ChunkWalk walk(source, false);
    ChunkTags tags(walk, source, format);
    const Chunks found = walk_chunks(source, tags, walk, rf64);
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    if (!found.wave || !found.data) {
        throw media_error(!found.wave ? "WAV: no fmt chunk" : "WAV: no data chunk");
    }
    const WaveFormat& wave = *found.wave;
    MediaInfo info;
    info.codec = wave.codec;
    info.channels = wave.channels;
    info.sample_rate = wave.rate;
    info.bitrate = wave.rate * static_cast<long>(wave.block_align) * 8;
    const bool stated = found.data->size != unknown_size;
    if (stated || source.seekable()) {
        set_pcm_length(info, source, found.data->body, found.data->size, wave.block_align);
        // A frame's size is stated twice: where the two disagree, either may be wrong.
        const unsigned frame = static_cast<unsigned>(wave.channels) * ((wave.bits + 7) / 8);
        info.exact = info.exact && stated && frame == wave.block_align;
    }
    tags.move_into(info);
    return info;
}

void decode_wav(FileSource& source, const Probe& /*probe*/, FrameSink& sink)
{
    const std::string riff(source.peek(0, 12));
    const bool rf64 = riff.compare(0, 4, "RF64") == 0 || riff.compare(0, 4, "BW64") == 0;
    ChunkWalk walk(source, false);
    ChunkTags tags(walk, source, format);
    const Chunks found = walk_chunks(source, tags, walk, rf64);
    if (!found.wave || !found.data) {
        throw media_error(!found.wave ? "WAV: no fmt chunk" : "WAV: no data chunk");
    }
    const WaveFormat& wave = *found.wave;
    const auto channels = static_cast<unsigned>(wave.channels);
    if (wave.block_align % channels != 0) {
        throw media_error("WAV: frames of " + std::to_string(wave.block_align) + " bytes for " +
                          std::to_string(channels) + " channels are not decoded");
    }
    const std::string codec = wave.codec;
    PcmSamples samples;
    samples.coding = codec == "float"   ? PcmCoding::floating
                     : codec == "alaw"  ? PcmCoding::alaw
                     : codec == "mulaw" ? PcmCoding::mulaw
                                        : PcmCoding::integer;
    samples.sample_bytes = wave.block_align / channels;
    if (samples.coding == PcmCoding::integer && samples.sample_bytes == 1) {
        samples.coding = PcmCoding::offset_integer;  // 8-bit WAV is unsigned
    }
    samples.channels = wave.channels;
    samples.sample_rate = wave.rate;
    samples.start = found.data->body;
    samples.bytes = found.data->size;
    decode_pcm(source, samples, sink, format);
}

}  // namespace media::detail
