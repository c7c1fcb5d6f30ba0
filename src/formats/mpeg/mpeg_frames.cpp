#include "formats/mpeg/mpeg_frames.hpp"

namespace media::detail {

namespace {

unsigned byte(std::string_view bytes, std::size_t at)
{
    return static_cast<unsigned char>(bytes[at]);
}

std::uint32_t be32(std::string_view bytes, std::size_t at)
{
    return byte(bytes, at) << 24U | byte(bytes, at + 1) << 16U | byte(bytes, at + 2) << 8U |
           byte(bytes, at + 3);
}

// Kilobits per second by bitrate index (1 to 14): MPEG-1 layers I, II, III, then
// MPEG-2 and 2.5 layer I, and layers II and III.
constexpr long bitrates[5][14] = {
    {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};
constexpr long rates[3] = {44100, 48000, 32000};

std::size_t table_of(const FrameHeader& header)
{
    if (header.mpeg1) {
        return static_cast<std::size_t>(header.layer - 1);
    }
    return header.layer == 1 ? 3 : 4;
}

}  // namespace

std::optional<FrameHeader> frame_header(std::string_view bytes)
{
    if (bytes.size() < 4 || byte(bytes, 0) != 0xFF || (byte(bytes, 1) & 0xE0U) != 0xE0U) {
        return std::nullopt;
    }
    const unsigned version = (byte(bytes, 1) >> 3U) & 3U;  // 0: 2.5, 2: 2, 3: 1
    const unsigned layer = (byte(bytes, 1) >> 1U) & 3U;    // 1: III, 2: II, 3: I
    const unsigned bitrate = byte(bytes, 2) >> 4U;
    const unsigned rate = (byte(bytes, 2) >> 2U) & 3U;
    if (version == 1 || layer == 0 || bitrate == 15 || rate == 3) {
        return std::nullopt;
    }
    FrameHeader header;
    header.mpeg1 = version == 3;
    header.layer = static_cast<int>(4 - layer);
    header.sample_rate = rates[rate] >> (version == 3 ? 0 : (version == 2 ? 1 : 2));
    header.mono = (byte(bytes, 3) >> 6U) == 3;
    header.padded = ((byte(bytes, 2) >> 1U) & 1U) != 0;
    header.bitrate = bitrate == 0 ? 0 : bitrates[table_of(header)][bitrate - 1] * 1000;
    header.samples = header.layer == 1 ? 384 : (header.layer == 2 || header.mpeg1 ? 1152 : 576);
    return header;
}

std::size_t smallest_frame(const FrameHeader& header)
{
    const long lowest = bitrates[table_of(header)][0] * 1000;
    if (header.layer == 1) {
        return static_cast<std::size_t>(12 * lowest / header.sample_rate * 4);
    }
    const long per_sample = static_cast<long>(header.samples) / 8;  // bytes a bit per second
    return static_cast<std::size_t>(per_sample * lowest / header.sample_rate);
}

std::size_t frame_bytes(const FrameHeader& header)
{
    if (header.bitrate == 0) {
        return 0;
    }
    if (header.layer == 1) {
        return static_cast<std::size_t>(
            (12 * header.bitrate / header.sample_rate + (header.padded ? 1 : 0)) * 4);
    }
    const long per_sample = static_cast<long>(header.samples) / 8;
    return static_cast<std::size_t>(per_sample * header.bitrate / header.sample_rate +
                                    (header.padded ? 1 : 0));
}

std::optional<InfoFrame> info_frame(std::string_view frame, const FrameHeader& header)
{
    if (header.layer != 3) {
        return std::nullopt;
    }
    const std::size_t side_info = header.mono ? (header.mpeg1 ? 17 : 9) : (header.mpeg1 ? 32 : 17);
    const std::size_t tag = 4 + side_info;
    // mpg123 wants zeros before the tag, past the checksum's place.
    if (frame.size() < tag + 8 ||
        frame.substr(4, side_info).find_first_not_of('\0', 2) != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view name = frame.substr(tag, 4);
    if (name != "Xing" && name != "Info") {
        return std::nullopt;
    }
    const std::uint32_t flags = be32(frame, tag + 4);
    std::size_t at = tag + 8;
    InfoFrame info;
    info.constant = name == "Info";
    for (const auto& [flag, field] : {std::pair{1U, &info.frames}, {2U, &info.bytes}}) {
        if ((flags & flag) != 0 && at + 4 <= frame.size()) {
            *field = be32(frame, at);
            at += 4;
        }
    }
    at += (flags & 4U) != 0 ? 100 : 0;  // the table of contents
    at += (flags & 8U) != 0 ? 4 : 0;    // the quality
    // The LAME extension: the encoder's name ("LAME3.100", "Lavc59.37"), then at 21
    // the delay and the padding, 12 bits each.
    if (at + 24 <= frame.size() && byte(frame, at) >= 'A' && byte(frame, at) <= 'Z') {
        const unsigned a = byte(frame, at + 21);
        const unsigned b = byte(frame, at + 22);
        const unsigned c = byte(frame, at + 23);
        info.delay = a << 4U | b >> 4U;
        info.padding = (b & 0x0FU) << 8U | c;
        info.encoder = frame.substr(at, 9);
        const unsigned method = byte(frame, at + 9) & 0x0FU;
        info.constant = method == 1 || method == 8;
        if (method == 2 || method == 9) {
            info.average_kbps = byte(frame, at + 20);
        }
    }
    return info;
}

}  // namespace media::detail
