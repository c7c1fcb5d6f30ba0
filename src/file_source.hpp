#pragma once
// Internal: not installed. opusfile reads files through this, never through
// op_open_file, so that no input can block a query for long.

#include <chrono>    // std::chrono::steady_clock, std::chrono::milliseconds
#include <optional>  // std::optional
#include <string>    // std::string
#include <vector>    // std::vector

#include <opusfile.h>

namespace opus_utils::detail {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// A file opened for opusfile's callbacks. A regular file is read with pread and a
// small read-ahead, and can seek. Anything else (a FIFO, a device) is opened
// without blocking, cannot seek, and waits at most `stall_limit` for data that
// does not come. Past the deadline, if there is one, every read fails.
class FileSource {
public:
    static constexpr std::chrono::milliseconds stall_limit{1000};

    FileSource(const std::string& path, Deadline deadline);
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    FileSource(FileSource&&) = delete;  // opusfile holds its address
    FileSource& operator=(FileSource&&) = delete;
    ~FileSource();

    bool is_open() const { return fd_ >= 0; }
    // The callbacks to hand to op_open_callbacks with this object as the source.
    // They close nothing: the source closes its file when it goes.
    const OpusFileCallbacks* callbacks() const;
    // Why a read failed on this side, for an error message; empty if none did.
    const std::string& failure() const { return failure_; }

private:
    static int read(void* source, unsigned char* data, int size);
    static int seek(void* source, opus_int64 offset, int whence);
    static opus_int64 tell(void* source);

    int read_regular(unsigned char* data, int size);
    int read_stream(unsigned char* data, int size);
    bool deadline_passed();
    int fail(const char* why);

    int fd_ = -1;
    bool regular_ = false;
    opus_int64 size_ = 0;
    opus_int64 position_ = 0;
    Deadline deadline_;
    std::vector<unsigned char> ahead_;  // regular files: the bytes from ahead_start_ on
    opus_int64 ahead_start_ = 0;
    std::string failure_;
};

}  // namespace opus_utils::detail
