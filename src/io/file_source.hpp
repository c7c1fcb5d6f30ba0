#pragma once
// Every format's library reads files through this, never
// by itself, so that no input can block a read for long or run past its budget.

#include <chrono>       // std::chrono::milliseconds
#include <cstddef>      // std::size_t
#include <cstdint>      // std::int64_t
#include <memory>       // std::allocator
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include "io/opened_file.hpp"
#include "io/work_budget.hpp"

namespace media::detail {

// Looks at bytes as they come from the file, before any library sees them, and can
// refuse them: the defence against inputs that a library is known to mishandle.
class ByteScreen {
public:
    ByteScreen() = default;
    ByteScreen(const ByteScreen&) = delete;
    ByteScreen& operator=(const ByteScreen&) = delete;
    ByteScreen(ByteScreen&&) = delete;
    ByteScreen& operator=(ByteScreen&&) = delete;
    virtual ~ByteScreen();

    // `data` holds the file's bytes from `position` on. Null to let them through;
    // otherwise why the file is refused.
    virtual const char* inspect(std::int64_t position, const unsigned char* data,
                                std::size_t size) = 0;
};

// Bytes that a read fills at once: left uninitialised when they are made, for a
// buffer that is filled again for every file would be cleared for nothing.
struct UninitialisedBytes : std::allocator<unsigned char> {
    template <typename U>
    struct rebind {
        using other = UninitialisedBytes;
    };
    static void construct(const unsigned char* /*byte*/) noexcept {}  // left as it was
    static void construct(unsigned char* byte, unsigned char value) noexcept { *byte = value; }
};

// An opened file. A regular file is read with pread and a small read-ahead, and can
// seek. Anything else (a FIFO, a device) is opened without blocking, cannot seek,
// and waits at most `stall_limit` for data that does not come. Each read first asks
// the budget, and every read fails once it is spent.
class FileSource {
public:
    static constexpr std::chrono::milliseconds stall_limit{1000};

    // Reads `file`; one that is not open fails as its failure says.
    FileSource(OpenedFile file, WorkBudget& budget);
    // Opens `path` as open_file does.
    FileSource(const std::string& path, WorkBudget& budget, bool regular_only = false);
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    FileSource(FileSource&&) = delete;  // the libraries hold its address
    FileSource& operator=(FileSource&&) = delete;
    ~FileSource();

    // When not, failure() says why.
    bool is_open() const { return static_cast<bool>(fd_); }
    bool seekable() const { return regular_; }
    std::int64_t size() const { return size_; }  // regular files only

    // Up to `size` bytes from the position on: the count, 0 at the end, or -1 on
    // failure (failure() says why when this side stopped the read).
    long read(void* data, std::size_t size);
    // SEEK_SET, SEEK_CUR or SEEK_END; false for a stream or a position before 0.
    bool seek(std::int64_t offset, int whence);
    std::int64_t tell() const { return position_; }

    // Up to `count` bytes from `offset` on, without moving the position; valid until
    // the next peek or read. A stream keeps what it reads for the reads to come, and
    // gives only its first bytes.
    std::string_view peek(std::int64_t offset, std::size_t count);

    // Shows `screen` everything read from now on, and what is already kept. A
    // refusal fails the read, and every later one.
    void set_screen(ByteScreen* screen);
    // Lets go of what a regular file's reads kept, so that a screen set next sees the
    // file in the order it is read from then on, and nothing twice.
    void drop_kept();

    // Why the open failed, or why a read failed on this side; empty if neither did.
    const std::string& failure() const { return failure_; }
    // errno of the latest read that the system failed, or 0.
    int read_errno() const { return read_errno_; }

private:
    long read_regular(unsigned char* data, std::size_t size);
    // Reads up to `size` bytes from `offset` into ahead_ and screens them; false on a
    // read error or a refusal. What ahead_ held is kept behind.
    bool fill_regular(std::int64_t offset, std::size_t size);
    // Whether ahead_ holds [offset, offset + count), or the window kept behind does,
    // which then becomes ahead_: a reader going back to where it was (the head after
    // the tail) reads nothing again.
    bool holds(std::int64_t offset, std::size_t count);
    // How much to read ahead for a read that starts at `offset`.
    std::size_t next_fill(std::int64_t offset);
    long read_stream(unsigned char* data, std::size_t size);
    // Appends up to `size` bytes of the stream to ahead_; the count, or -1.
    long fill_stream(std::size_t size);
    long wait_for_stream();
    bool screened(std::int64_t position, const unsigned char* data, std::size_t size);
    long fail(const char* why);

    UniqueFd fd_;
    int read_errno_ = 0;
    bool regular_ = false;
    std::int64_t size_ = 0;
    std::int64_t position_ = 0;
    WorkBudget& budget_;
    ByteScreen* screen_ = nullptr;
    // Regular files: the bytes from ahead_start_ on, read ahead or peeked. Streams:
    // bytes read from ahead_start_ on, given up to position_.
    std::vector<unsigned char, UninitialisedBytes> ahead_;
    std::int64_t ahead_start_ = 0;
    // Regular files: the window ahead_ held before, screened already.
    std::vector<unsigned char, UninitialisedBytes> behind_;
    std::int64_t behind_start_ = 0;
    std::size_t last_fill_ = 0;  // 0: nothing read yet
    std::string failure_;
};

}  // namespace media::detail
