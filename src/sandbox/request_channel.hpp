#pragma once
// A reader's side of its channel: the library's requests as they come, each with the
// descriptor of its file, and the answers back. Blocking: a reader has nothing else to
// do.

#include <cstddef>  // std::size_t
#include <deque>    // std::deque
#include <string>   // std::string
#include <vector>   // std::vector

#include "io/unique_fd.hpp"
#include "sandbox/wire.hpp"

namespace media::detail {

class RequestChannel {
public:
    explicit RequestChannel(int fd) : fd_(fd) {}

    // The next request, and its file's descriptor (none for a check of the sandbox).
    // False at the channel's end, and for what is not a request.
    bool next(ReadRequest& request, UniqueFd& file);
    // All of `bytes`, or false when the channel is gone.
    bool send(const std::string& bytes) const;

private:
    bool fill();

    int fd_;
    std::string buffered_;
    std::size_t at_ = 0;
    std::deque<UniqueFd> files_;  // in the order of the requests they go with
    std::vector<char> chunk_ = std::vector<char>(65536);
};

}  // namespace media::detail
