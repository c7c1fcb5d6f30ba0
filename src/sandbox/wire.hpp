#pragma once
// What the library and its reader processes say to each other: a request about a file
// whose descriptor goes with it, and what the read came to, each a MessagePack
// document behind its length. A reader may be anyone's by the time it answers: every
// answer is judged here against what was asked.

#include <chrono>       // std::chrono::milliseconds
#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint32_t, std::uint64_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <musiccore/loudness.hpp>
#include <musiccore/media.hpp>

namespace media::detail {

// The file descriptor a reader is asked and answers on, and the only one it may write
// to (but for standard error, where a sanitizer would report).
inline constexpr int reader_channel = 3;

struct ReadRequest {
    enum class Kind {
        info,     // read the file: its record
        picture,  // the bytes of one of its pictures
        // Instead of reading: what the sandbox lets through of what it must refuse,
        // as a failure's message ("open: Operation not permitted; ..."). No file.
        check_sandbox,
        loudness,  // decode the file and measure it
    };
    Kind kind = Kind::info;
    std::uint64_t id = 0;  // the answer says it again
    std::chrono::milliseconds work{0};
    std::size_t picture = 0;          // picture: which, as the record lists them
    std::size_t picture_max = 0;      // picture: its bytes at most
    bool true_peak = false;           // loudness: with the true peak
    std::vector<SampleRange> ranges;  // loudness: measured each on its own; none: whole
};

// What one read came to, as read_info tells it.
struct ReadOutcome {
    enum class Kind { info, unsupported, failed, out_of_memory, picture, loudness };
    Kind kind = Kind::failed;
    MediaInfo info;                  // info
    std::string message;             // unsupported: the format's name; failed: why
    bool in_ogg = false;             // unsupported
    std::string picture;             // picture: its bytes
    std::vector<Loudness> loudness;  // loudness: one whole, or one for each range asked
};

struct Answer {
    std::uint64_t id = 0;
    ReadOutcome outcome;
};

// Requests asked of a reader before it answers the first, at most: each with its
// file's descriptor, which the reader holds until it reads the file.
inline constexpr std::size_t max_asked_ahead = 64;
// Descriptors that go with one message at most: those asked ahead.
inline constexpr std::size_t max_files_a_message = max_asked_ahead;

// The processor time a reader may spend in all, whatever it is asked: a bound for a
// reader whose library spins on after this process has gone. Readers are replaced
// well before it.
inline constexpr std::chrono::seconds reader_cpu_backstop{3600};

// An answer's block histograms: per bin, its number, blocks and energy, one after
// the other; then the bins of the 3 s windows. Both at most gating.hpp's bin_count.
// (A loudness answer's payload: a list of one for each range asked (one for the file
// whole), each [channels, rate, frames, sample peak, true peak or null, [bin, blocks,
// energy, ...], [bin, blocks, energy, ...]].)

// A request's bytes at most.
inline constexpr std::uint32_t max_request = 4096;
// A failure's message at most: no library says more of a file.
inline constexpr std::size_t max_failure_text = 4096;

// The most bytes an answer to `request` about a file of `size` bytes (none: a stream)
// takes: what its record may hold (max_record_text), the document around it, and the
// picture's bytes that were asked for.
std::uint32_t answer_limit(const ReadRequest& request, std::optional<std::int64_t> size);

// Why `outcome` is no answer that a reader of this library could give to `request`
// about a file of `size` bytes; empty when it is one. A record's duration is set from
// its samples and rate.
std::string answer_problem(const ReadRequest& request, std::optional<std::int64_t> size,
                           ReadOutcome& outcome);

// The message's frame: its length in four bytes, little-endian, then the document.
std::string framed(const std::string& document);
// The length that a frame's first four bytes give.
std::uint32_t frame_length(std::string_view header);

// The first message of a reader: empty when it is sandboxed, else why it is not.
std::string encode_hello(const std::string& refusal);
std::string decode_hello(std::string_view document);

std::string encode(const ReadRequest& request);
std::string encode(const Answer& answer);
// Throw media_error for a document that is not one.
ReadRequest decode_request(std::string_view document);
Answer decode_answer(std::string_view document);

}  // namespace media::detail
