#pragma once
// What every format's reader is: one function that reads
// the file behind a source, from its start, into the record.

#include <cstdint>  // std::uint64_t

#include <musiccore/media.hpp>

#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

// The most samples a byte of any format here can hold: a FLAC frame of 65535
// constant samples takes some ten bytes, a WavPack block of silence more. A length
// stated past this for a file's size is not taken as exact.
inline constexpr std::uint64_t max_samples_a_byte = 8192;

// `probe` is what the file's first bytes showed. Throws media_error, its message
// beginning with the format's name, when the file cannot be read.
using Reader = MediaInfo (*)(FileSource& source, const Probe& probe);

// Shows a screen the bytes that a reader's library reads, for as long as it reads.
class ScreenInstalled {
public:
    ScreenInstalled(FileSource& source, ByteScreen& screen) : source_(source)
    {
        source_.set_screen(&screen);
    }
    ScreenInstalled(const ScreenInstalled&) = delete;
    ScreenInstalled& operator=(const ScreenInstalled&) = delete;
    ScreenInstalled(ScreenInstalled&&) = delete;
    ScreenInstalled& operator=(ScreenInstalled&&) = delete;
    ~ScreenInstalled() { source_.set_screen(nullptr); }

private:
    FileSource& source_;
};

// The message of a failed read: `format`, then why this side stopped it if it did,
// or else the library's `detail`.
media_error read_failure(const char* format, const FileSource& source, const std::string& detail);

}  // namespace media::detail
