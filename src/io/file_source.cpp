#include "io/file_source.hpp"

#include <algorithm>  // std::min, std::max
#include <cerrno>     // errno, EINTR, EAGAIN
#include <cstring>    // std::memcpy, std::strerror
#include <utility>    // std::swap

#include <poll.h>    // poll
#include <unistd.h>  // pread, read

namespace media::detail {

namespace {

// The libraries ask for 2 to 8 KiB at a time; fewer, larger reads measured clearly
// faster.
// Read-ahead: a header's worth at first, which mostly tells the format and little
// more; then a little past each read elsewhere, and twice the last, up to the most,
// for a reader going on through the file.
constexpr std::size_t first_read = 2048;
constexpr std::size_t read_ahead = std::size_t{4} * 1024;
constexpr std::size_t most_read_ahead = std::size_t{64} * 1024;
// A peek at the last bytes of a file reads from this far before the end at least:
// the trailers there (an ID3v1 tag, an APE footer, the last page or block) are
// looked at one after another, each a little further back.
constexpr std::int64_t tail_margin = 512;

// A wait for a stream is cut into slices, so that a deadline or the budget ends it
// soon, and a signal costs no more than a slice.
constexpr std::chrono::milliseconds wait_slice{50};

}  // namespace

ByteScreen::~ByteScreen() = default;

FileSource::FileSource(OpenedFile file, WorkBudget& budget)
    : fd_(std::move(file.fd)), regular_(file.regular), size_(file.size), budget_(budget),
      failure_(std::move(file.failure))
{
}

FileSource::FileSource(const std::string& path, WorkBudget& budget, bool regular_only)
    : FileSource(open_file(path, regular_only), budget)
{
}

FileSource::~FileSource() = default;

long FileSource::read(void* data, std::size_t size)
{
    if (!failure_.empty()) {
        return -1;  // a refusal, a stall or a spent budget is final
    }
    if (const char* why = budget_.exhausted_every_few_calls()) {
        return fail(why);
    }
    auto* bytes = static_cast<unsigned char*>(data);
    if (!regular_) {
        return read_stream(bytes, size);
    }
    // Whole, but at the end: a read across the end of a window goes on in the next.
    std::size_t done = 0;
    while (done < size) {
        const long got = read_regular(bytes + done, size - done);
        if (got < 0) {
            return done > 0 ? static_cast<long>(done) : -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

bool FileSource::seek(std::int64_t offset, int whence)
{
    if (!regular_) {
        return false;
    }
    const std::int64_t base = whence == SEEK_CUR ? position_ : (whence == SEEK_END ? size_ : 0);
    if (offset < -base) {
        return false;
    }
    position_ = base + offset;
    return true;
}

std::string_view FileSource::peek(std::int64_t offset, std::size_t count)
{
    if (!failure_.empty()) {
        return {};
    }
    if (const char* why = budget_.exhausted_every_few_calls()) {
        fail(why);
        return {};
    }
    if (regular_) {
        // Past the end there is nothing: no window for it, whatever a file's bytes ask.
        if (offset < 0 || offset >= size_) {
            return {};
        }
        // From the read-ahead, which the reads that follow a peek then use as well.
        if (!holds(offset, count)) {
            const auto left = static_cast<std::size_t>(size_ - offset);
            const std::size_t want = std::min(std::max(count, next_fill(offset)), left);
            std::int64_t start = offset;
            if (offset >= size_ - static_cast<std::int64_t>(want)) {
                start = std::max<std::int64_t>(0, std::min(offset, size_ - tail_margin));
            }
            auto span = static_cast<std::int64_t>(want) + (offset - start);
            // One that would end just short of the file's end takes the rest: the
            // trailers there are looked at too, and need no window of their own.
            if (size_ - start - span < tail_margin) {
                span = size_ - start;
            }
            if (!fill_regular(start, static_cast<std::size_t>(span))) {
                return {};
            }
        }
        const auto from = static_cast<std::size_t>(offset - ahead_start_);
        const std::size_t kept = from < ahead_.size() ? std::min(count, ahead_.size() - from) : 0;
        return {reinterpret_cast<const char*>(ahead_.data()) + from, kept};
    }
    const auto end = static_cast<std::size_t>(offset) + count;
    while (position_ == 0 && ahead_.size() < end && fill_stream(end - ahead_.size()) > 0) {
    }
    if (position_ != 0 || static_cast<std::size_t>(offset) >= ahead_.size()) {
        return {};
    }
    const auto kept = std::min(count, ahead_.size() - static_cast<std::size_t>(offset));
    return {reinterpret_cast<const char*>(ahead_.data()) + offset, kept};
}

void FileSource::set_screen(ByteScreen* screen)
{
    screen_ = screen;
    screened(ahead_start_, ahead_.data(), ahead_.size());
}

void FileSource::drop_kept()
{
    if (regular_) {
        ahead_.clear();
        behind_.clear();
    }
}

namespace {

// Whether a window of `size` bytes from `start` holds [offset, offset + count).
bool within(std::int64_t start, std::size_t size, std::int64_t offset, std::size_t count)
{
    return offset >= start && offset - start <= static_cast<std::int64_t>(size) &&
           count <= size - static_cast<std::size_t>(offset - start);
}

}  // namespace

std::size_t FileSource::next_fill(std::int64_t offset)
{
    const bool onward =
        offset >= ahead_start_ && offset <= ahead_start_ + static_cast<std::int64_t>(ahead_.size());
    last_fill_ = last_fill_ == 0 ? first_read
                 : onward        ? std::min(2 * last_fill_, most_read_ahead)
                                 : read_ahead;
    return last_fill_;
}

bool FileSource::holds(std::int64_t offset, std::size_t count)
{
    if (within(ahead_start_, ahead_.size(), offset, count)) {
        return true;
    }
    if (!within(behind_start_, behind_.size(), offset, count)) {
        return false;
    }
    ahead_.swap(behind_);
    std::swap(ahead_start_, behind_start_);
    return true;
}

bool FileSource::fill_regular(std::int64_t offset, std::size_t size)
{
    // Each ask of the system is checked, and shows the thread moving: a read of a
    // slow file system that keeps going is not taken for one that is stuck.
    if (const char* why = budget_.exhausted()) {
        fail(why);
        return false;
    }
    // The window before is kept to go back to, unless the new one holds it.
    if (!within(offset, size, ahead_start_, ahead_.size())) {
        ahead_.swap(behind_);
        behind_start_ = ahead_start_;
    }
    ahead_.resize(size);
    ssize_t got = 0;
    do {
        got = pread(fd_.get(), ahead_.data(), ahead_.size(), offset);
    } while (got < 0 && errno == EINTR);
    const int error = errno;
    // At the end, or on an error, nothing stays buffered.
    ahead_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    ahead_start_ = offset;
    if (got < 0) {
        read_errno_ = error;
        return false;
    }
    return screened(ahead_start_, ahead_.data(), ahead_.size());
}

long FileSource::read_regular(unsigned char* data, std::size_t size)
{
    // A read goes on in the window it is in, to its end; the one behind serves only
    // a read that it holds whole, as a fresh read-ahead would.
    if (!within(ahead_start_, ahead_.size(), position_, 1) &&
        !holds(position_, std::min(size, read_ahead))) {
        if (!fill_regular(position_, next_fill(position_))) {
            return -1;
        }
        if (ahead_.empty()) {
            return 0;
        }
    }
    const auto offset = static_cast<std::size_t>(position_ - ahead_start_);
    const std::size_t count = std::min(size, ahead_.size() - offset);
    std::memcpy(data, ahead_.data() + offset, count);
    position_ += static_cast<std::int64_t>(count);
    return static_cast<long>(count);
}

long FileSource::read_stream(unsigned char* data, std::size_t size)
{
    // What a peek kept is given first, in order, from where the last read ended; it is
    // dropped only once all given, so a large peek is not moved along at each read.
    auto given = static_cast<std::size_t>(position_ - ahead_start_);
    if (given >= ahead_.size()) {
        ahead_.clear();
        ahead_start_ = position_;
        given = 0;
        const long got = fill_stream(size);
        if (got <= 0) {
            return got;
        }
    }
    const std::size_t count = std::min(size, ahead_.size() - given);
    std::memcpy(data, ahead_.data() + given, count);
    position_ += static_cast<std::int64_t>(count);
    return static_cast<long>(count);
}

long FileSource::fill_stream(std::size_t size)
{
    for (;;) {
        const long ready = wait_for_stream();
        if (ready <= 0) {
            return ready;
        }
        const std::size_t kept = ahead_.size();
        ahead_.resize(kept + size);
        const ssize_t got = ::read(fd_.get(), ahead_.data() + kept, size);
        ahead_.resize(kept + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got >= 0) {
            const auto start = ahead_start_ + static_cast<std::int64_t>(kept);
            return screened(start, ahead_.data() + kept, static_cast<std::size_t>(got)) ? got : -1;
        }
        if (errno != EINTR && errno != EAGAIN) {
            read_errno_ = errno;
            return -1;
        }
    }
}

// Waits for a stream to have data, or its end: 1 when it has, -1 when the wait
// fails. A FIFO without a writer reads as its end, and a writer may yet come, so the
// wait comes first. A signal neither restarts the wait nor escapes the budget.
long FileSource::wait_for_stream()
{
    const auto stalled_at = Clock::now() + stall_limit;
    for (;;) {
        if (const char* why = budget_.exhausted()) {
            return fail(why);
        }
        const auto left = stalled_at - Clock::now();
        if (left <= Clock::duration::zero()) {
            return fail("no data for 1 s");
        }
        const auto slice = std::min<Clock::duration>(left, wait_slice);
        pollfd ready{fd_.get(), POLLIN, 0};
        const int polled =
            poll(&ready, 1,
                 static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
        if (polled > 0) {
            return 1;
        }
        if (polled < 0 && errno != EINTR) {
            read_errno_ = errno;
            return -1;
        }
    }
}

bool FileSource::screened(std::int64_t position, const unsigned char* data, std::size_t size)
{
    if (screen_ == nullptr || size == 0) {
        return true;
    }
    if (const char* why = screen_->inspect(position, data, size)) {
        fail(why);
        return false;
    }
    return true;
}

long FileSource::fail(const char* why)
{
    failure_ = why;
    return -1;
}

}  // namespace media::detail
