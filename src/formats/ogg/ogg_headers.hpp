#pragma once
// The header packets of Ogg Opus, Vorbis and FLAC streams, judged by what a library
// would allocate for them, before it does.

#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint64_t
#include <optional>     // std::optional
#include <string_view>  // std::string_view

namespace media::detail {

enum class OggCodec { opus, vorbis, flac, other };

// Metadata blocks a FLAC stream may have, native or in Ogg: a few in any real file.
inline constexpr std::size_t max_flac_blocks = 1024;

// The codec a stream's first packet begins, and how many header packets it has
// (that first one included): Opus 2, Vorbis 3, FLAC 1 and those its first packet
// counts; none for another codec.
struct OggHeaders {
    OggCodec codec = OggCodec::other;
    std::size_t count = 0;
};
OggHeaders headers_of(std::string_view first_packet);

// What a header packet asks a library to keep.
struct HeaderCost {
    std::size_t comments = 0;       // values a comment header declares
    std::size_t comment_bytes = 0;  // and the bytes they hold
    // A Vorbis setup's codebooks: as unpacked, kept for every link of a chain; and
    // their tables for decoding, made for the link being decoded.
    std::uint64_t books_kept = 0, books_decoding = 0;
};

// The cost of header packet `index` (from 0) of a stream of `codec`: its comments,
// wherever in the headers they are, and a Vorbis setup's codebooks, as libvorbis
// unpacks and decodes them. A packet a library would refuse costs what it declares
// up to where it stops making sense.
HeaderCost cost_of(OggCodec codec, std::size_t index, std::string_view packet);

// The comments a Vorbis comment structure ("vendor", count, "name=value"...) declares,
// and their bytes; `packet` begins at the vendor's length.
HeaderCost comment_cost(std::string_view packet);

// What opusfile's and libvorbisfile's error codes (OP_EREAD, OV_ENOTVORBIS, ...: the
// two number them alike) say: "a bad header", ...
std::string ogg_library_error(int code);

}  // namespace media::detail
