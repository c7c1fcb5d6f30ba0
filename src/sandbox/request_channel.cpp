#include "sandbox/request_channel.hpp"

#include <cerrno>   // errno
#include <cstring>  // std::memcpy

#include <sys/socket.h>  // recvmsg
#include <unistd.h>      // write

namespace media::detail {

bool RequestChannel::next(ReadRequest& request, UniqueFd& file)
{
    const auto header = [this] { return std::string_view(buffered_).substr(at_, 4); };
    while (buffered_.size() - at_ < 4 || buffered_.size() - at_ - 4 < frame_length(header())) {
        if (buffered_.size() - at_ >= 4 && frame_length(header()) > max_request) {
            return false;
        }
        if (!fill()) {
            return false;
        }
    }
    const std::size_t size = frame_length(header());
    try {
        request = decode_request(std::string_view(buffered_).substr(at_ + 4, size));
    } catch (const media_error&) {
        return false;
    }
    at_ += 4 + size;
    file.reset();
    if (request.kind != ReadRequest::Kind::check_sandbox) {
        if (files_.empty()) {
            return false;  // a file to read, and no file
        }
        file = std::move(files_.front());
        files_.pop_front();
    }
    return true;
}

bool RequestChannel::fill()
{
    buffered_.erase(0, at_);
    at_ = 0;
    iovec bytes{chunk_.data(), chunk_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * max_files_a_message)];
    msghdr message{};
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = -1;
    do {
        got = ::recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
         part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS) {
            const std::size_t count = (part->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(part) + i * sizeof(int), sizeof fd);
                files_.emplace_back(fd);
            }
        }
    }
    if (got <= 0 || (message.msg_flags & MSG_CTRUNC) != 0) {
        return false;  // the end, or descriptors lost on the way
    }
    buffered_.append(chunk_.data(), static_cast<std::size_t>(got));
    return true;
}

bool RequestChannel::send(const std::string& bytes) const
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t put = ::write(fd_, bytes.data() + at, bytes.size() - at);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace media::detail
