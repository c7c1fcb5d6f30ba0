// musiccore-reader: reads the files the library asks for, one at a time, in a process
// of its own that may do nothing else. Whatever a file does to a format library here,
// the library's process loses only that file.
//
// Started by the library with its channel on descriptor 3 and the memory it may use
// as its one argument, in bytes. Answers each request on the channel, and ends when
// the channel does.
#include <algorithm>    // std::max
#include <cerrno>       // errno
#include <cstdlib>      // std::strtoull
#include <cstring>      // std::strerror
#include <new>          // std::bad_alloc
#include <stdexcept>    // std::exception
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <sys/resource.h>  // setrlimit
#include <sys/socket.h>    // socket
#include <unistd.h>        // read, write, close_range, execve

#include "formats/read_media.hpp"
#include "formats/readers.hpp"
#include "sandbox/sanitized_reader.hpp"
#include "sandbox/seccomp_filter.hpp"
#include "sandbox/wire.hpp"

namespace {

using namespace media::detail;

bool write_all(const std::string& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t put = ::write(reader_channel, bytes.data() + at, bytes.size() - at);
        if (put < 0 && errno != EINTR) {
            return false;
        }
        at += put > 0 ? static_cast<std::size_t>(put) : 0;
    }
    return true;
}

// Requests as they come, several in one read when the library asked ahead.
class Requests {
public:
    // The next request's document; false at the channel's end.
    bool next(std::string& document)
    {
        while (buffered_.size() - at_ < 4 || buffered_.size() - at_ - 4 < frame_length(header())) {
            if (buffered_.size() - at_ >= 4 && frame_length(header()) > max_message) {
                return false;
            }
            if (!fill()) {
                return false;
            }
        }
        const std::size_t size = frame_length(header());
        document.assign(buffered_, at_ + 4, size);
        at_ += 4 + size;
        return true;
    }

private:
    std::string_view header() const { return std::string_view(buffered_).substr(at_, 4); }

    bool fill()
    {
        buffered_.erase(0, at_);
        at_ = 0;
        ssize_t got = -1;
        do {
            got = ::read(reader_channel, chunk_.data(), chunk_.size());
        } while (got < 0 && errno == EINTR);
        buffered_.append(chunk_.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        return got > 0;
    }

    std::string buffered_;
    std::size_t at_ = 0;
    std::vector<char> chunk_ = std::vector<char>(65536);
};

// What the sandbox lets through of what it must refuse.
std::string refusals()
{
    std::string text;
    errno = 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    text += fd >= 0 ? "socket: allowed" : std::string("socket: ") + std::strerror(errno);
    char path[] = "/bin/true";
    char* const arguments[] = {path, nullptr};
    char* const environment[] = {nullptr};
    errno = 0;
    ::execve(path, arguments, environment);  // returns only when refused
    return text + "; execve: " + std::strerror(errno);
}

ReadOutcome outcome_of(const ReadRequest& request)
{
    ReadOutcome outcome;
    if (request.check_sandbox) {
        outcome.message = refusals();
        return outcome;
    }
    try {
        outcome.info = read_media(request.path, media::Limits{request.work, std::nullopt}, nullptr,
                                  request.regular_only);
        outcome.kind = ReadOutcome::Kind::info;
    } catch (const media::unsupported_format& e) {
        outcome.kind = ReadOutcome::Kind::unsupported;
        outcome.message = e.format();
        outcome.in_ogg = e.in_ogg();
    } catch (const std::bad_alloc&) {
        outcome.kind = ReadOutcome::Kind::out_of_memory;
    } catch (const std::exception& e) {
        outcome.message = e.what();
    }
    return outcome;
}

void limit(int resource, rlim_t value)
{
    const rlimit bound{value, value};
    setrlimit(resource, &bound);
}

}  // namespace

int main(int argc, char** argv)
{
    // Nothing of the library's process but the channel and the standard three.
    close_range(reader_channel + 1, ~0U, 0);
    if (argc != 2) {
        return 2;
    }
    bound_address_space(std::strtoull(argv[1], nullptr, 10));
    crash_by_signal();
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_FSIZE, 0);
    limit(RLIMIT_NOFILE, 16);
    prepare_readers();  // what a reader would do the first time, while it still may
    const std::string refusal = allow_only_reading();
    if (!write_all(framed(encode_hello(refusal))) || !refusal.empty()) {
        return 1;
    }
    Requests requests;
    std::string document;
    while (requests.next(document)) {
        std::string answer;
        try {
            answer = framed(encode(outcome_of(decode_request(document))));
        } catch (const std::exception&) {  // a request it cannot read, or no memory left
            return 1;
        }
        if (!write_all(answer)) {
            return 1;
        }
    }
    return 0;
}
