#include "formats/flac/flac_frames.hpp"

#include <algorithm>  // std::max
#include <array>      // std::array
#include <cstddef>    // std::size_t
#include <utility>    // std::pair

namespace media::detail {

namespace {

unsigned byte(std::string_view bytes, std::size_t at)
{
    return static_cast<unsigned char>(bytes[at]);
}

// CRC tables, non-reflected, initial value 0: CRC-8 (0x07) over a frame header,
// CRC-16 (0x8005) over a whole frame.
template <typename Word, unsigned Polynomial>
constexpr std::array<Word, 256> crc_table()
{
    constexpr unsigned top = 1U << (8 * sizeof(Word) - 1);
    std::array<Word, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << (8 * sizeof(Word) - 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & top) != 0 ? (crc << 1U) ^ Polynomial : crc << 1U;
        }
        table[i] = static_cast<Word>(crc);
    }
    return table;
}
constexpr auto crc8_table = crc_table<std::uint8_t, 0x07>();
constexpr auto crc16_table = crc_table<std::uint16_t, 0x8005>();

unsigned crc8(std::string_view bytes)
{
    unsigned crc = 0;
    for (const char c : bytes) {
        crc = crc8_table[crc ^ static_cast<unsigned char>(c)];
    }
    return crc;
}

unsigned crc16_byte(unsigned crc, unsigned byte)
{
    return (crc << 8U & 0xFFFFU) ^ crc16_table[(crc >> 8U) ^ byte];
}

// The CRC-16 of eight bytes at once: table k gives what a byte followed by k zero
// bytes adds. A frame is checked whole, so this is most of a read's work.
constexpr std::array<std::array<std::uint16_t, 256>, 8> crc16_slices()
{
    std::array<std::array<std::uint16_t, 256>, 8> tables{};
    tables[0] = crc16_table;
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const unsigned before = tables[k - 1][i];
            tables[k][i] =
                static_cast<std::uint16_t>((before << 8U & 0xFFFFU) ^ crc16_table[before >> 8U]);
        }
    }
    return tables;
}
constexpr auto crc16_tables = crc16_slices();

unsigned crc16(std::string_view bytes, unsigned crc = 0)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    for (; left >= 8; left -= 8, data += 8) {
        crc = crc16_tables[7][data[0] ^ (crc >> 8U)] ^ crc16_tables[6][data[1] ^ (crc & 0xFFU)] ^
              crc16_tables[5][data[2]] ^ crc16_tables[4][data[3]] ^ crc16_tables[3][data[4]] ^
              crc16_tables[2][data[5]] ^ crc16_tables[1][data[6]] ^ crc16_tables[0][data[7]];
    }
    for (; left > 0; --left, ++data) {
        crc = crc16_byte(crc, *data);
    }
    return crc;
}

// The frame or sample number, in FLAC's extension of UTF-8 to 36 bits: its value and
// bytes, or none.
std::optional<std::pair<std::uint64_t, std::size_t>> coded_number(std::string_view bytes)
{
    if (bytes.empty()) {
        return std::nullopt;
    }
    const unsigned first = byte(bytes, 0);
    std::size_t ones = 0;  // leading ones: the bytes of the number, but for 0 (one byte)
    while (ones < 8 && (first & (0x80U >> ones)) != 0) {
        ++ones;
    }
    // 0xxxxxxx is one byte; 110xxxxx two; ... 11111110 seven; 10xxxxxx and 0xFF none.
    if (ones == 1 || ones == 8) {
        return std::nullopt;
    }
    const std::size_t count = ones == 0 ? 1 : ones;
    if (bytes.size() < count) {
        return std::nullopt;
    }
    std::uint64_t value = count == 1 ? first : first & (0x7FU >> count);
    for (std::size_t i = 1; i < count; ++i) {
        if ((byte(bytes, i) & 0xC0U) != 0x80U) {
            return std::nullopt;
        }
        value = value << 6U | (byte(bytes, i) & 0x3FU);
    }
    return std::pair{value, count};
}

constexpr unsigned coded_rates[] = {0,     88200, 176400, 192000, 8000, 16000, 22050, 24000,
                                    32000, 44100, 48000,  96000,  0,    0,     0,     0};
constexpr unsigned coded_bits[] = {0, 8, 12, 0, 16, 20, 24, 32};

// Samples before the frame of `header`: by its own number, or by frame number.
std::optional<std::uint64_t> first_sample(const FlacFrameHeader& header, const FlacStream& stream)
{
    if (header.variable) {
        return header.number;
    }
    if (stream.max_block == 0 || header.block > stream.max_block) {
        return std::nullopt;
    }
    return header.number * stream.max_block;
}

// Samples per block by its code, where the code alone says.
unsigned coded_block(unsigned code)
{
    if (code == 1) {
        return 192;
    }
    return code < 8 ? 576U << (code - 2) : 256U << (code - 8);
}

// Whether the codes of a header's third and fourth bytes are valid, and say the
// stream's channels and sample size.
bool codes_fit(unsigned third, unsigned fourth, const FlacStream& stream)
{
    const unsigned block_code = third >> 4U;
    const unsigned rate_code = third & 0x0FU;
    const unsigned channel_code = fourth >> 4U;
    const unsigned bits_code = (fourth >> 1U) & 7U;
    if (block_code == 0 || rate_code == 15 || channel_code > 10 || bits_code == 3 ||
        (fourth & 1U) != 0) {
        return false;
    }
    const unsigned channels = channel_code < 8 ? channel_code + 1 : 2;
    return channels == stream.channels && (bits_code == 0 || coded_bits[bits_code] == stream.bits);
}

// Where a frame that begins `frame` may end: the first place past its header where the
// running CRC-16 is 0, as it is after a frame and its own CRC; and whether it is 0 at
// the very end.
std::pair<std::optional<std::size_t>, bool> frame_ends(std::string_view frame,
                                                       std::size_t header_size)
{
    if (frame.size() >= header_size + 2 && crc16(frame) == 0) {
        return {frame.size(), true};
    }
    unsigned crc = crc16(frame.substr(0, header_size));
    for (std::size_t i = header_size; i < frame.size(); ++i) {
        crc = crc16_byte(crc, byte(frame, i));
        if (crc == 0 && i >= header_size + 2) {
            return {i + 1, false};
        }
    }
    return {std::nullopt, false};
}

// Looks for the last frame in `bytes` (the audio's last ones), as last_flac_frame;
// false when a larger window may find it.
bool search_window(std::string_view bytes, const FlacStream& stream, FlacEnd& found)
{
    // The last header that checks out is the last frame's, but for the rare bytes
    // inside a frame that look like one: a few are tried, each by its CRC-16.
    constexpr std::size_t most_tried = 4;
    std::size_t tried = 0;
    for (std::size_t at = bytes.size() < 2 ? 0 : bytes.size() - 2;
         at-- > 0 && tried < most_tried;) {
        if (byte(bytes, at) != 0xFF || (byte(bytes, at + 1) & 0xFEU) != 0xF8U) {
            continue;
        }
        const auto header = flac_frame_header(bytes.substr(at, 32), stream);
        const auto before = header ? first_sample(*header, stream) : std::nullopt;
        if (!before) {
            continue;
        }
        ++tried;
        if (!found.before_last_header) {
            found.before_last_header = before;
        }
        const auto [first_end, to_the_end] = frame_ends(bytes.substr(at), header->size);
        if (to_the_end) {
            found.samples = *before + header->block;
            found.to_the_end = true;
            return true;
        }
        if (first_end && !found.samples) {  // whole, then what is no frame
            found.samples = *before + header->block;
        }
    }
    return found.samples || tried == most_tried;
}

}  // namespace

std::optional<FlacFrameHeader> flac_frame_header(std::string_view bytes, const FlacStream& stream)
{
    if (bytes.size() < 6 || byte(bytes, 0) != 0xFF || (byte(bytes, 1) & 0xFEU) != 0xF8U ||
        !codes_fit(byte(bytes, 2), byte(bytes, 3), stream)) {
        return std::nullopt;
    }
    FlacFrameHeader header;
    header.variable = (byte(bytes, 1) & 1U) != 0;
    const unsigned block_code = byte(bytes, 2) >> 4U;
    const unsigned rate_code = byte(bytes, 2) & 0x0FU;
    const auto number = coded_number(bytes.substr(4));
    if (!number || (!header.variable && number->second > 6)) {
        return std::nullopt;
    }
    header.number = number->first;
    std::size_t at = 4 + number->second;
    // What the codes leave to bytes after the number: the block size, then the rate.
    const std::size_t block_bytes = block_code == 6 ? 1 : (block_code == 7 ? 2 : 0);
    const std::size_t rate_bytes = rate_code == 12 ? 1 : (rate_code > 12 ? 2 : 0);
    if (bytes.size() < at + block_bytes + rate_bytes + 1) {
        return std::nullopt;
    }
    const auto read = [&](std::size_t count) {
        unsigned value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            value = value << 8U | byte(bytes, at++);
        }
        return value;
    };
    header.block = block_bytes > 0 ? read(block_bytes) + 1 : coded_block(block_code);
    unsigned rate = coded_rates[rate_code];
    if (rate_bytes > 0) {
        const unsigned stated = read(rate_bytes);
        rate = rate_code == 12 ? stated * 1000 : (rate_code == 13 ? stated : stated * 10);
    }
    if ((rate_code != 0 && rate != stream.rate) || crc8(bytes.substr(0, at)) != byte(bytes, at)) {
        return std::nullopt;
    }
    header.size = at + 1;
    return header;
}

FlacEnd last_flac_frame(FileSource& source, std::int64_t audio_start, std::int64_t audio_end,
                        const FlacStream& stream)
{
    // No frame is larger: 65535 samples of 8 channels of 32 bits, and their headers.
    constexpr std::int64_t largest_frame = std::int64_t{65535} * 8 * 4 + 64;
    FlacEnd found;
    // First the largest frame that STREAMINFO states, and a little.
    std::int64_t window =
        stream.max_frame > 0 ? std::int64_t{stream.max_frame} + 64 : std::int64_t{16} * 1024;
    for (;; window *= 4) {
        const std::int64_t from = std::max(audio_start, audio_end - window);
        if (from >= audio_end) {
            return found;
        }
        const std::string_view bytes =
            source.peek(from, static_cast<std::size_t>(audio_end - from));
        if (static_cast<std::int64_t>(bytes.size()) != audio_end - from) {
            return found;  // a read that failed: failure() says why
        }
        // Done, or no frame runs to the end in a window that would hold any frame
        // whole: the file is cut, or ends in something else.
        if (search_window(bytes, stream, found) || from == audio_start || window > largest_frame) {
            return found;
        }
    }
}

}  // namespace media::detail
