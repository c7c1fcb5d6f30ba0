#include "formats/pcm/pcm_decode.hpp"

#include <algorithm>  // std::min
#include <cstdio>     // SEEK_SET
#include <cstring>    // std::memcpy, std::memmove
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

#include <musiccore/media.hpp>

#include "formats/reader.hpp"

namespace media::detail {

namespace {

std::uint64_t unsigned_at(const unsigned char* bytes, unsigned count, bool big_endian)
{
    std::uint64_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned at = big_endian ? i : count - 1 - i;
        value = (value << 8U) | bytes[at];
    }
    return value;
}

// G.711, to 16-bit values.
int alaw(unsigned char code)
{
    code ^= 0x55U;
    int value = (code & 0x0F) << 4;
    const int segment = (code & 0x70) >> 4;
    value += segment == 0 ? 8 : 0x108;
    if (segment > 1) {
        value <<= segment - 1;
    }
    return (code & 0x80) != 0 ? value : -value;
}

int mulaw(unsigned char code)
{
    code = static_cast<unsigned char>(~code);
    const int value = (((code & 0x0F) << 3) + 0x84) << ((code & 0x70) >> 4);
    return (code & 0x80) != 0 ? 0x84 - value : value - 0x84;
}

float sample_at(const unsigned char* bytes, const PcmSamples& samples)
{
    const unsigned size = samples.sample_bytes;
    const std::uint64_t raw = unsigned_at(bytes, size, samples.big_endian);
    const unsigned bits = size * 8;
    const auto full = static_cast<double>(std::uint64_t{1} << (bits - 1));
    switch (samples.coding) {
    case PcmCoding::integer: {
        // Two's complement of `bits` bits, sign-extended.
        const auto value = static_cast<std::int64_t>(raw << (64 - bits)) >> (64 - bits);
        return static_cast<float>(static_cast<double>(value) / full);
    }
    case PcmCoding::offset_integer:
        return static_cast<float>((static_cast<double>(raw) - full) / full);
    case PcmCoding::floating:
        if (size == 4) {
            const auto word = static_cast<std::uint32_t>(raw);
            float value = 0;
            std::memcpy(&value, &word, sizeof value);
            return value;
        } else {
            double value = 0;
            std::memcpy(&value, &raw, sizeof value);
            return static_cast<float>(value);
        }
    case PcmCoding::alaw:
        return static_cast<float>(alaw(bytes[0])) / 32768.0F;
    case PcmCoding::mulaw:
        return static_cast<float>(mulaw(bytes[0])) / 32768.0F;
    }
    return 0;
}

bool valid_size(const PcmSamples& samples)
{
    switch (samples.coding) {
    case PcmCoding::integer:
        return samples.sample_bytes >= 1 && samples.sample_bytes <= 4;
    case PcmCoding::offset_integer:
    case PcmCoding::alaw:
    case PcmCoding::mulaw:
        return samples.sample_bytes == 1;
    case PcmCoding::floating:
        return samples.sample_bytes == 4 || samples.sample_bytes == 8;
    }
    return false;
}

// To the first frame: a seek, or for a stream the bytes before it read and dropped.
bool go_to(FileSource& source, std::int64_t start)
{
    if (source.seekable()) {
        return source.seek(start, SEEK_SET);
    }
    unsigned char dropped[4096];
    while (source.tell() < start) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
            start - source.tell(), static_cast<std::int64_t>(sizeof dropped)));
        if (source.read(dropped, want) <= 0) {
            return false;
        }
    }
    return source.tell() == start;
}

}  // namespace

void decode_pcm(FileSource& source, const PcmSamples& samples, FrameSink& sink, const char* format)
{
    if (!valid_size(samples) || samples.channels < 1) {
        throw media_error(std::string(format) + ": samples of " +
                          std::to_string(samples.sample_bytes) + " bytes are not decoded");
    }
    if (!go_to(source, samples.start)) {
        throw read_failure(format, source, "the audio is not where its chunk says");
    }
    sink.start({samples.channels, samples.sample_rate, ChannelOrder::wave});
    const std::size_t frame = samples.sample_bytes * static_cast<std::size_t>(samples.channels);
    constexpr std::size_t frames_a_read = 4096;
    std::vector<unsigned char> bytes(frame * frames_a_read);
    std::vector<float> floats(static_cast<std::size_t>(samples.channels) * frames_a_read);
    std::uint64_t left = samples.bytes - samples.bytes % frame;
    std::size_t held = 0;  // bytes of a frame not yet whole
    while (left > 0) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size() - held));
        const long got = source.read(bytes.data() + held, want);
        if (got < 0) {
            throw read_failure(format, source, "cannot read the audio");
        }
        if (got == 0) {
            break;  // cut short: what the file holds is what plays
        }
        left -= static_cast<std::uint64_t>(got);
        held += static_cast<std::size_t>(got);
        const std::size_t frames = held / frame;
        for (std::size_t i = 0; i < frames * static_cast<std::size_t>(samples.channels); ++i) {
            floats[i] = sample_at(bytes.data() + i * samples.sample_bytes, samples);
        }
        sink.interleaved(floats.data(), frames);
        const std::size_t used = frames * frame;
        std::memmove(bytes.data(), bytes.data() + used, held - used);
        held -= used;
    }
}

}  // namespace media::detail
