#include "file_source.hpp"

#include <algorithm>  // std::min
#include <cerrno>     // errno, EINTR, EAGAIN
#include <cstring>    // std::memcpy

#include <fcntl.h>     // open, O_*
#include <poll.h>      // poll
#include <sys/stat.h>  // fstat
#include <unistd.h>    // pread, read, close

namespace opus_utils::detail {

namespace {

// opusfile asks for 2 KiB at a time; fewer, larger reads measured clearly faster.
constexpr std::size_t read_ahead = std::size_t{16} * 1024;

}  // namespace

// O_NONBLOCK: opening a FIFO must not wait for a writer. It changes nothing for a
// regular file.
FileSource::FileSource(const std::string& path, Deadline deadline)
    : fd_(::open(path.c_str(),  // NOLINT(cppcoreguidelines-pro-type-vararg): open(2)
                 O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)),
      deadline_(deadline)
{
    struct stat info {};
    if (fd_ >= 0 && fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) {
        regular_ = true;
        size_ = info.st_size;
    }
}

FileSource::~FileSource()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

const OpusFileCallbacks* FileSource::callbacks() const
{
    // Without a seek callback opusfile treats the source as a stream: it reads it
    // once, front to back, never asks where it is, and cannot tell the whole length.
    static const OpusFileCallbacks seekable{read, seek, tell, nullptr};
    static const OpusFileCallbacks stream{read, nullptr, nullptr, nullptr};
    return regular_ ? &seekable : &stream;
}

// opusfile always asks for at least one byte.
int FileSource::read(void* source, unsigned char* data, int size)
{
    auto& self = *static_cast<FileSource*>(source);
    if (self.deadline_passed()) {
        return self.fail("time limit passed");
    }
    return self.regular_ ? self.read_regular(data, size) : self.read_stream(data, size);
}

// opusfile seeks only within the file: to an offset it has seen, or by 0 from the
// end or the current position.
int FileSource::seek(void* source, opus_int64 offset, int whence)
{
    auto& self = *static_cast<FileSource*>(source);
    const opus_int64 base =
        whence == SEEK_CUR ? self.position_ : (whence == SEEK_END ? self.size_ : 0);
    self.position_ = base + offset;
    return 0;
}

opus_int64 FileSource::tell(void* source)
{
    return static_cast<FileSource*>(source)->position_;
}

int FileSource::read_regular(unsigned char* data, int size)
{
    const bool buffered = position_ >= ahead_start_ &&
                          position_ < ahead_start_ + static_cast<opus_int64>(ahead_.size());
    if (!buffered) {
        ahead_.resize(read_ahead);
        ssize_t got = 0;
        do {
            got = pread(fd_, ahead_.data(), ahead_.size(), position_);
        } while (got < 0 && errno == EINTR);
        // At the end, or on an error, nothing stays buffered.
        ahead_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        ahead_start_ = position_;
        if (ahead_.empty()) {
            return got == 0 ? 0 : OP_EREAD;
        }
    }
    const auto offset = static_cast<std::size_t>(position_ - ahead_start_);
    const std::size_t count = std::min(static_cast<std::size_t>(size), ahead_.size() - offset);
    std::memcpy(data, ahead_.data() + offset, count);
    position_ += static_cast<opus_int64>(count);
    return static_cast<int>(count);
}

int FileSource::read_stream(unsigned char* data, int size)
{
    for (;;) {
        // Wait before reading: a FIFO without a writer reads as its end, and a
        // writer may yet come. A deadline is checked at the next read.
        pollfd ready{fd_, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(stall_limit.count()));
        if (polled == 0) {
            return fail("no data for 1 s");
        }
        if (polled > 0) {
            const ssize_t got = ::read(fd_, data, static_cast<std::size_t>(size));
            if (got >= 0) {
                return static_cast<int>(got);
            }
        }
        if (errno != EINTR && errno != EAGAIN) {
            return OP_EREAD;
        }
    }
}

bool FileSource::deadline_passed()
{
    return deadline_ && std::chrono::steady_clock::now() >= *deadline_;
}

int FileSource::fail(const char* why)
{
    failure_ = why;
    return OP_EREAD;
}

}  // namespace opus_utils::detail
