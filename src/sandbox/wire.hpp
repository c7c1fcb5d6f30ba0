#pragma once
// What the library and its reader processes say to each other: a request to read a
// file, and what the read came to, each a MessagePack document behind its length.

#include <chrono>       // std::chrono::milliseconds
#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint32_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view

#include <musiccore/media.hpp>

namespace media::detail {

struct ReadRequest {
    std::string path;
    std::chrono::milliseconds work{0};
    bool regular_only = true;  // as a scan reads: nothing but regular files
    // Instead of reading: what the sandbox lets through of what it must refuse, as a
    // failure's message ("socket: Operation not permitted; ...").
    bool check_sandbox = false;
};

// What one read came to, as read_info tells it.
struct ReadOutcome {
    enum class Kind { info, unsupported, failed, out_of_memory };
    Kind kind = Kind::failed;
    MediaInfo info;       // info
    std::string message;  // unsupported: the format's name; failed: why
    bool in_ogg = false;  // unsupported
};

// A message's bytes at most: the tag limit and what holds them.
inline constexpr std::uint32_t max_message =
    static_cast<std::uint32_t>(max_tag_bytes) + (1U << 20U);

// The message's frame: its length in four bytes, little-endian, then the document.
std::string framed(const std::string& document);
// The length that a frame's first four bytes give.
std::uint32_t frame_length(std::string_view header);

// The first message of a reader: empty when it is sandboxed, else why it is not.
std::string encode_hello(const std::string& refusal);
std::string decode_hello(std::string_view document);

std::string encode(const ReadRequest& request);
std::string encode(const ReadOutcome& outcome);
// Throw media_error for a document that is not one.
ReadRequest decode_request(std::string_view document);
ReadOutcome decode_outcome(std::string_view document);

}  // namespace media::detail
