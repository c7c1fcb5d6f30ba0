#pragma once
// MPEG audio frame headers and the Xing/Info frame that states a file's length, read
// here: what a length may be trusted on.

#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint32_t, std::int64_t
#include <optional>     // std::optional
#include <string_view>  // std::string_view

namespace media::detail {

struct FrameHeader {
    bool mpeg1 = true;  // else MPEG-2 or 2.5, of half the samples a layer III frame
    int layer = 3;
    long bitrate = 0;  // bits per second; 0: free format
    long sample_rate = 0;
    bool mono = false;
    bool padded = false;      // by a slot (a byte; four in layer I)
    std::size_t samples = 0;  // per channel, in one frame
};

// No frame takes more bytes than this (layer II at 384 kb/s and 32 kHz, padded, less).
inline constexpr std::size_t max_frame_bytes = 2881;

// The header in the four bytes at the start of `bytes`, if they are one.
std::optional<FrameHeader> frame_header(std::string_view bytes);

// The fewest bytes a frame of this version, layer and rate takes: at the lowest
// bitrate, unpadded.
std::size_t smallest_frame(const FrameHeader& header);
// The bytes of the frame whose header this is; 0 for one of free format, whose header
// does not tell.
std::size_t frame_bytes(const FrameHeader& header);

// What a Xing or Info frame (LAME's, or any encoder's with the LAME extension) states.
struct InfoFrame {
    std::optional<std::uint32_t> frames, bytes;
    // The encoder's delay and padding, in samples, from the LAME extension, and the
    // encoder that it names ("LAME3.100", "Lavc59.37").
    std::optional<std::uint32_t> delay, padding;
    std::string_view encoder;
    // How it was encoded, as mpg123 tells it: at a constant rate ("Info" without the
    // LAME extension, or its method 1 or 8), or an average one of `average_kbps`
    // (method 2 or 9).
    bool constant = false;
    std::optional<unsigned> average_kbps;
};

// The Xing or Info tag of the layer III frame at the start of `frame` (its header
// included), where mpg123 looks for one: past the side information, after zeros.
std::optional<InfoFrame> info_frame(std::string_view frame, const FrameHeader& header);

}  // namespace media::detail
