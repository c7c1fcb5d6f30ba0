#include "formats/pcm/aiff_reader.hpp"

#include <algorithm>  // std::min
#include <cmath>      // std::ldexp, std::lround
#include <utility>    // std::pair

#include "formats/pcm/chunk_tags.hpp"
#include "formats/pcm/chunks.hpp"
#include "formats/pcm/pcm_decode.hpp"
#include "formats/pcm/pcm_length.hpp"
#include "formats/reader.hpp"
#include "io/byte_order.hpp"

namespace media::detail {

namespace {

constexpr const char* format = "AIFF";

struct Common {
    int channels = 0;
    std::uint64_t frames = 0;
    unsigned bits = 0;
    long rate = 0;
    std::string compression = "NONE";  // AIFF-C only
};

// The 80-bit extended float of COMM's rate, to whole samples a second.
long sample_rate(std::string_view bytes)
{
    const auto exponent = static_cast<int>(big_endian(bytes, 0, 2) & 0x7FFFU);
    const std::uint64_t mantissa = big_endian(bytes, 2, 8);
    const double rate = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
    return rate >= 1 && rate <= 1e9 && (bytes[0] & 0x80) == 0 ? std::lround(rate) : 0;
}

Common common(std::string_view comm, bool compressed)
{
    if (comm.size() < (compressed ? 22U : 18U)) {
        throw media_error("AIFF: COMM chunk too short");
    }
    Common c{static_cast<int>(big_endian(comm, 0, 2)), big_endian(comm, 2, 4),
             static_cast<unsigned>(big_endian(comm, 6, 2)), sample_rate(comm.substr(8, 10))};
    if (compressed) {
        c.compression = std::string(comm.substr(18, 4));
    }
    if (c.channels == 0 || c.rate == 0) {
        throw media_error("AIFF: COMM chunk states no channels or rate");
    }
    return c;
}

// The codec, and the bytes that one frame of each channel takes (0: not fixed).
std::pair<const char*, unsigned> codec_of(const Common& c)
{
    const std::string& type = c.compression;
    if (type == "NONE" || type == "twos" || type == "sowt" || type == "raw " || type == "in24" ||
        type == "in32") {
        return {"pcm", (c.bits + 7) / 8};
    }
    if (type == "fl32" || type == "FL32" || type == "fl64" || type == "FL64") {
        return {"float", type.back() == '2' ? 4U : 8U};
    }
    if (type == "alaw" || type == "ALAW" || type == "ulaw" || type == "ULAW") {
        return {type[0] == 'a' || type[0] == 'A' ? "alaw" : "mulaw", 1};
    }
    return {nullptr, 0};
}

struct Chunks {
    std::optional<Common> comm;
    std::optional<Chunk> sound;
};

Chunks walk_chunks(FileSource& source, ChunkTags& tags, ChunkWalk& walk, bool compressed)
{
    constexpr struct {
        const char* id;
        const char* name;
    } texts[] = {{"NAME", "TITLE"}, {"AUTH", "ARTIST"}, {"ANNO", "COMMENT"}, {"(c) ", "COPYRIGHT"}};
    Chunks found;
    while (const auto chunk = walk.next()) {
        if (chunk->id == "COMM") {
            found.comm = common(walk.body(*chunk, 64), compressed);
        } else if (chunk->id == "SSND") {
            found.sound = chunk;
            if (!source.seekable()) {
                break;  // a stream cannot be looked past its audio
            }
        } else if (chunk->id == "ID3 " || chunk->id == "id3 ") {
            tags.add_id3(*chunk);
        }
        for (const auto& text : texts) {
            if (chunk->id == text.id) {
                tags.add_text(text.name, *chunk);
            }
        }
    }
    return found;
}

// COMM counts the frames; SSND holds them past an offset and a block size.
void set_length(MediaInfo& info, FileSource& source, ChunkWalk& walk, const Chunks& found,
                std::uint64_t frame)
{
    const std::uint64_t bytes = found.comm->frames * frame;  // 32 + 16 + 13 bits: no overflow
    if (found.comm->frames == 0) {
        info.samples = 0;
        info.exact = true;
        return;
    }
    if (!found.sound) {
        throw media_error("AIFF: no SSND chunk");
    }
    const Chunk& sound = *found.sound;
    const std::string header = walk.body(sound, 8);
    const std::uint64_t offset = header.size() == 8 ? big_endian(header, 0, 4) : 0;
    const std::uint64_t in_chunk = sound.size > 8 + offset ? sound.size - 8 - offset : 0;
    set_pcm_length(info, source, sound.body + 8 + static_cast<std::int64_t>(offset),
                   std::min(bytes, in_chunk), frame);
    info.exact = info.exact && bytes <= in_chunk;
}

}  // namespace

MediaInfo read_aiff(FileSource& source, const Probe& /*probe*/)
{
    const bool compressed = source.peek(8, 4) == "AIFC";
    ChunkWalk walk(source, true);
    ChunkTags tags(walk, source, format);
    const Chunks found = walk_chunks(source, tags, walk, compressed);
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    if (!found.comm) {
        throw media_error("AIFF: no COMM chunk");
    }
    const Common& comm = *found.comm;
    const auto [codec, frame_bytes] = codec_of(comm);
    if (codec == nullptr) {
        throw unsupported_format("AIFF-C of codec " + comm.compression, false);
    }
    if (frame_bytes == 0) {
        throw media_error("AIFF: COMM chunk states no sample size");
    }
    MediaInfo info;
    info.codec = codec;
    info.channels = comm.channels;
    info.sample_rate = comm.rate;
    info.bitrate = comm.rate * comm.channels * static_cast<long>(frame_bytes) * 8;
    set_length(info, source, walk, found, static_cast<std::uint64_t>(comm.channels) * frame_bytes);
    tags.move_into(info);
    return info;
}

void decode_aiff(FileSource& source, const Probe& /*probe*/, FrameSink& sink)
{
    const bool compressed = source.peek(8, 4) == "AIFC";
    ChunkWalk walk(source, true);
    ChunkTags tags(walk, source, format);
    const Chunks found = walk_chunks(source, tags, walk, compressed);
    if (!found.comm || !found.sound) {
        throw media_error(!found.comm ? "AIFF: no COMM chunk" : "AIFF: no SSND chunk");
    }
    const Common& comm = *found.comm;
    const auto [codec, frame_bytes] = codec_of(comm);
    if (codec == nullptr || frame_bytes == 0) {
        throw media_error("AIFF: samples of codec " + comm.compression + " are not decoded");
    }
    const std::string type = comm.compression;
    const std::string named = codec;
    PcmSamples samples;
    samples.coding = named == "float"   ? PcmCoding::floating
                     : named == "alaw"  ? PcmCoding::alaw
                     : named == "mulaw" ? PcmCoding::mulaw
                     : type == "raw "   ? PcmCoding::offset_integer
                                        : PcmCoding::integer;
    samples.sample_bytes = frame_bytes;
    samples.big_endian = type != "sowt";
    samples.channels = comm.channels;
    samples.sample_rate = comm.rate;
    const Chunk& sound = *found.sound;
    const std::string header = walk.body(sound, 8);
    const std::uint64_t offset = header.size() == 8 ? big_endian(header, 0, 4) : 0;
    const std::uint64_t in_chunk = sound.size > 8 + offset ? sound.size - 8 - offset : 0;
    const std::uint64_t frame = static_cast<std::uint64_t>(comm.channels) * frame_bytes;
    samples.start = sound.body + 8 + static_cast<std::int64_t>(offset);
    samples.bytes = std::min(comm.frames * frame, in_chunk);
    decode_pcm(source, samples, sink, format);
}

}  // namespace media::detail
