#pragma once
// A file opened for reading, the one way every read opens one.

#include <cstdint>  // std::int64_t
#include <string>   // std::string

#include <fcntl.h>  // O_*

#include "io/unique_fd.hpp"

namespace media::detail {

// O_NONBLOCK: opening a FIFO must not wait for a writer; it changes nothing for a
// regular file. O_NOCTTY: a terminal opened is never made this process's own.
inline constexpr int read_flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// An open descriptor and what fstat told of it, or why there is none.
struct OpenedFile {
    UniqueFd fd;
    bool regular = false;
    std::int64_t size = 0;  // of a regular file
    std::int64_t device = 0, inode = 0;
    std::string failure;  // when fd is not open: "No such file or directory"
};

// Opens `path` with read_flags. With `regular_only`, anything but a regular file is
// refused once opened ("not a regular file"), so that a file swapped for a FIFO after
// it was listed is not read. A path holding a NUL is refused: it would name another.
OpenedFile open_file(const std::string& path, bool regular_only);

// What `fd` is, refused as open_file refuses.
OpenedFile opened(UniqueFd fd, bool regular_only);

}  // namespace media::detail
