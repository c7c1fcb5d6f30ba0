#pragma once

#include <chrono>     // std::chrono::milliseconds, std::chrono::steady_clock
#include <cstddef>    // std::size_t
#include <cstdint>    // std::int64_t
#include <map>        // std::map
#include <memory>     // std::shared_ptr
#include <optional>   // std::optional
#include <stdexcept>  // std::runtime_error
#include <string>     // std::string
#include <vector>     // std::vector

#include <musiccore/export.hpp>

namespace media {

// A file's tags by name: one set of upper-case names for every format ("ARTIST",
// "ALBUMARTIST", "TRACKNUMBER", ...), each name's values in file order, never joined.
using Tags = std::map<std::string, std::vector<std::string>>;

// A picture that a file holds (cover art), as the file describes it: its bytes stay
// in the file until read_picture asks for them.
struct Picture {
    // What it shows, by the numbers that ID3 and FLAC share: 0 other, 3 the front
    // cover, 4 the back cover, ... (picture_type_name); an MP4 file's first picture
    // is its front cover, the others "other".
    int type = 0;
    std::string mime_type;  // "image/jpeg", "image/png", ...; empty when unknown
    std::string description;
    std::optional<int> width;  // in pixels, where the file says
    std::optional<int> height;
    std::uint64_t size = 0;  // in bytes
};

inline constexpr int front_cover = 3;

// "other", "file icon", ..., "front cover", "back cover", ..., "publisher logotype";
// "other" for a number past those.
MUSICCORE_EXPORT const char* picture_type_name(int type);

// What one read of an audio file tells.
struct MediaInfo {
    // "opus", "vorbis", "flac", "mp3", "mp2", "mp1", "aac", "alac", "wavpack", "pcm"
    // (integers), "float", "alaw" or "mulaw"
    std::string codec;
    int channels = 0;
    long sample_rate = 0;  // per second and channel; Opus is counted at 48000
    // Per channel over every link, the encoder delay and padding that the file states
    // taken off; absent when the input cannot tell (a pipe, say).
    std::optional<std::int64_t> samples;
    bool exact = false;           // samples is the exact playing length, not an estimate
    double duration_secs = 0;     // samples / sample_rate; 0 when samples is absent
    std::optional<long> bitrate;  // bits per second, where the format states one
    Tags tags;
    std::vector<std::string> dropped_tags;  // names of values longer than max_tag_value
    std::vector<Picture> pictures;          // in file order
    // Room for what a later 0.4 release adds, in a record of its own that this one
    // points to, so that this one's size and layout stay: see "Versions" in the README.
    std::shared_ptr<const void> extension;
};

// What one file may cost: past max_tag_bytes of tags in all, or max_tag_count
// values, the file fails; a value longer than max_tag_value is left out, and its name
// listed in dropped_tags.
inline constexpr std::size_t max_tag_bytes = std::size_t{16} << 20U;
inline constexpr std::size_t max_tag_count = 10000;
inline constexpr std::size_t max_tag_value = std::size_t{64} << 10U;
// The most pictures listed of a file; those past them are left out.
inline constexpr std::size_t max_pictures = 1000;

// The most bytes that read_picture gives by default.
inline constexpr std::size_t default_picture_limit = std::size_t{16} << 20U;

inline constexpr std::chrono::milliseconds default_work_limit{10000};
// The address space of a process that reads files for the library, past what its
// code and libraries map.
inline constexpr std::size_t default_memory_limit = std::size_t{512} << 20U;

// How long a read may go on, and where it happens.
struct Limits {
    // Processor time that the reading thread may spend on the file; zero: no limit.
    // Unlike a wall clock, it does not run while other files share the cores.
    std::chrono::milliseconds work = default_work_limit;
    // A time the read must not pass; none by default. Not with `isolated`.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    // Read in a process of its own, sandboxed, under `memory_limit` bytes of address
    // space: whatever the file does to a format library, it costs this process only
    // the read. Where no such process can be had (the musiccore-reader program not
    // installed, no seccomp), the read fails: "no sandboxed reader: ...".
    bool isolated = false;
    std::size_t memory_limit = default_memory_limit;
};

// A file that cannot be read, with what went wrong: "cannot open: No such file or
// directory", "FLAC: FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC", "time limit
// passed".
class MUSICCORE_EXPORT media_error : public std::runtime_error {
public:
    explicit media_error(const std::string& message);
    media_error(const media_error&) = default;
    media_error& operator=(const media_error&) = default;
    media_error(media_error&&) = default;
    media_error& operator=(media_error&&) = default;
    ~media_error() override;
};

// A file whose content is of a format that this library does not read, named by
// what its first bytes show: "RIFF WAVE: not an audio format this library reads".
class MUSICCORE_EXPORT unsupported_format : public media_error {
public:
    // `in_ogg`: an Ogg stream of another codec (Theora video, Speex).
    unsupported_format(const std::string& format, bool in_ogg);
    unsupported_format(const unsupported_format&) = default;
    unsupported_format& operator=(const unsupported_format&) = default;
    unsupported_format(unsupported_format&&) = default;
    unsupported_format& operator=(unsupported_format&&) = default;
    ~unsupported_format() override;

    const std::string& format() const noexcept { return format_; }
    bool in_ogg() const noexcept { return in_ogg_; }

private:
    std::string format_;
    bool in_ogg_;
};

// The values of `name` in `tags` joined with "; ", in file order; absent when
// there are none.
MUSICCORE_EXPORT std::optional<std::string> joined(const Tags& tags, const std::string& name);

// A format this library reads, as a person names it ("MP4 (AAC, ALAC)"), and the file
// names a folder scan takes for it (".m4a", ".m4b", ".mp4").
struct FormatName {
    std::string name;
    std::vector<std::string> extensions;
};

// Every format that read_info reads, in the order that their first bytes are looked
// for: Ogg Opus, Ogg Vorbis, FLAC (native or in Ogg), WAV, AIFF, MP4, WavPack, MP3.
MUSICCORE_EXPORT std::vector<FormatName> formats();

// Reads the audio file at `path`, whatever its name, of any format that formats()
// lists, told apart by their first bytes. Never
// blocks for long: anything but a regular file is read without blocking, and
// waiting more than 1 s for its data fails the read. Throws unsupported_format for
// another format, media_error for anything else that goes wrong, and
// std::invalid_argument for a negative work limit.
MUSICCORE_EXPORT MediaInfo read_info(const std::string& path);  // default Limits
MUSICCORE_EXPORT MediaInfo read_info(const std::string& path, const Limits& limits);

// The bytes of the picture that read_info lists at `index`, read here under the
// default work limit. Throws media_error as read_info does, and when the file has no
// such picture or it is larger than `max_bytes`.
MUSICCORE_EXPORT std::string read_picture(const std::string& path, std::size_t index,
                                          std::size_t max_bytes = default_picture_limit);
// The same under `limits`: with `limits.isolated`, the file is read in a reader
// process, and only the picture's bytes come back from it.
MUSICCORE_EXPORT std::string read_picture(const std::string& path, std::size_t index,
                                          const Limits& limits,
                                          std::size_t max_bytes = default_picture_limit);

}  // namespace media
