#include "formats/mp4/mp4_codecs.hpp"

#include <algorithm>  // std::min
#include <iterator>   // std::size

#include <musiccore/media.hpp>

#include "io/byte_order.hpp"

namespace media::detail {

namespace {

constexpr std::size_t entry_limit = 1U << 16U;

// Reads bits from the most significant on; past the end, zeros.
class Bits {
public:
    explicit Bits(std::string_view bytes) : bytes_(bytes) {}
    unsigned take(unsigned count)
    {
        unsigned value = 0;
        for (unsigned i = 0; i < count; ++i, ++at_) {
            const std::size_t byte = at_ / 8;
            const unsigned bit =
                byte < bytes_.size()
                    ? (static_cast<unsigned char>(bytes_[byte]) >> (7 - at_ % 8)) & 1U
                    : 0;
            value = value << 1U | bit;
        }
        return value;
    }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

long aac_rate(Bits& bits)
{
    constexpr long rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                              22050, 16000, 12000, 11025, 8000,  7350};
    const unsigned index = bits.take(4);
    if (index == 15) {
        return static_cast<long>(bits.take(24));
    }
    return index < std::size(rates) ? rates[index] : 0;
}

unsigned object_type(Bits& bits)
{
    const unsigned type = bits.take(5);
    return type == 31 ? 32 + bits.take(6) : type;
}

// AudioSpecificConfig: the object type, the rate and the channels. SBR (HE-AAC) and
// PS (HE-AAC v2) signalled in it play at the extension's rate; PS in stereo.
void audio_specific_config(std::string_view config, SoundTrack& track)
{
    constexpr unsigned sbr = 5;
    constexpr unsigned ps = 29;
    Bits bits(config);
    const unsigned type = object_type(bits);
    const long rate = aac_rate(bits);
    const unsigned layout = bits.take(4);
    if (rate > 0) {
        track.sample_rate = rate;
    }
    if (layout > 0 && layout < 8) {
        track.channels = layout == 7 ? 8 : static_cast<int>(layout);
    }
    if (type == sbr || type == ps) {
        if (const long output = aac_rate(bits); output > 0) {
            track.sample_rate = output;
        }
        if (type == ps) {
            track.channels = 2;
        }
    }
}

// An MPEG-4 descriptor's length: up to four bytes of seven bits each.
std::size_t descriptor(std::string_view body, std::size_t& at, unsigned& tag)
{
    if (at >= body.size()) {
        return 0;
    }
    tag = static_cast<unsigned char>(body[at++]);
    std::size_t length = 0;
    for (int i = 0; i < 4 && at < body.size(); ++i) {
        const auto byte = static_cast<unsigned char>(body[at++]);
        length = length << 7U | (byte & 0x7FU);
        if ((byte & 0x80U) == 0) {
            break;
        }
    }
    return std::min(length, body.size() - at);
}

// esds: ES_Descriptor (3), holding DecoderConfigDescriptor (4), holding the
// AudioSpecificConfig (5).
void elementary_stream(std::string_view body, SoundTrack& track)
{
    constexpr unsigned mpeg4_audio = 0x40;
    std::size_t at = 4;  // version and flags
    unsigned tag = 0;
    std::size_t length = descriptor(body, at, tag);
    if (tag != 3 || length < 3) {
        throw media_error("MP4: esds holds no ES descriptor");
    }
    const auto flags = static_cast<unsigned char>(body[at + 2]);
    at += 3 + ((flags & 0x80U) != 0 ? 2 : 0) + ((flags & 0x20U) != 0 ? 2 : 0);
    if ((flags & 0x40U) != 0 && at < body.size()) {
        at += 1 + static_cast<unsigned char>(body[at]);  // a URL
    }
    length = descriptor(body, at, tag);
    if (tag != 4 || length < 13) {
        throw media_error("MP4: esds holds no decoder configuration");
    }
    const auto object = static_cast<unsigned char>(body[at]);
    if (object != mpeg4_audio && (object < 0x66 || object > 0x68)) {  // 0x66-0x68: MPEG-2 AAC
        throw unsupported_format("MP4 of audio object " + hex_code(object, 2), false);
    }
    if (const auto average = static_cast<long>(big_endian(body, at + 9, 4)); average > 0) {
        track.bitrate = average;
    }
    at += 13;
    length = descriptor(body, at, tag);
    if (tag == 5) {
        track.config = std::string(body.substr(at, length));
        audio_specific_config(body.substr(at, length), track);
    }
}

// The ALAC cookie: frame length, version, bit depth, three tuning bytes, channels,
// maximum run, maximum frame bytes, average bitrate, sample rate.
void alac_cookie(std::string_view body, SoundTrack& track)
{
    if (body.size() < 28) {
        throw media_error("MP4: ALAC cookie too short");
    }
    track.channels = static_cast<unsigned char>(body[13]);
    if (const auto average = static_cast<long>(big_endian(body, 20, 4)); average > 0) {
        track.bitrate = average;
    }
    track.sample_rate = static_cast<long>(big_endian(body, 24, 4));
}

}  // namespace

void describe_codec(BoxFile& file, const Box& stsd, SoundTrack& track)
{
    auto entries = file.inside(stsd, 8);  // version, flags and the count of entries
    const auto entry = entries.next();
    if (!entry) {
        throw media_error("MP4: the sound track has no sample entry");
    }
    if (entry->type != "mp4a" && entry->type != "alac") {
        throw unsupported_format("MP4 of codec '" + entry->type + "'", false);
    }
    const std::string fields = file.body(*entry, entry_limit).substr(0, 28);
    if (fields.size() < 28) {
        throw media_error("MP4: sample entry too short");
    }
    // The QuickTime sound description's version adds fields before the boxes.
    const std::uint64_t version = big_endian(fields, 8, 2);
    const std::int64_t boxes = version == 1 ? 44 : (version == 2 ? 64 : 28);
    track.channels = static_cast<int>(big_endian(fields, 16, 2));
    track.sample_rate = static_cast<long>(big_endian(fields, 24, 2));  // 16.16, whole part
    track.codec = entry->type == "mp4a" ? "aac" : "alac";
    const auto config = file.find(*entry, entry->type == "mp4a" ? "esds" : "alac", boxes);
    if (config) {
        const std::string body = file.body(*config, entry_limit);
        if (entry->type == "mp4a") {
            elementary_stream(body, track);
        } else {
            alac_cookie(body, track);
            // libavcodec's ALAC decoder takes the box as a box: its size and type, then
            // its version, flags and cookie.
            constexpr std::size_t boxed = 36;
            track.config = std::string("\0\0\0\x24"
                                       "alac",
                                       8) +
                           body.substr(0, boxed - 8);
        }
    }
    if (track.channels == 0 || track.sample_rate == 0) {
        throw media_error("MP4: the sound track states no channels or rate");
    }
}

}  // namespace media::detail
