#include "io/opened_file.hpp"

#include <cerrno>   // errno
#include <cstring>  // std::strerror

#include <sys/stat.h>  // fstat

namespace media::detail {

OpenedFile open_file(const std::string& path, bool regular_only)
{
    if (path.find('\0') != std::string::npos) {
        OpenedFile none;
        none.failure = "the path holds a NUL character";
        return none;
    }
    UniqueFd fd(::open(path.c_str(), read_flags));  // NOLINT(cppcoreguidelines-pro-type-vararg)
    if (!fd) {
        OpenedFile none;
        none.failure = std::strerror(errno);
        return none;
    }
    return opened(std::move(fd), regular_only);
}

OpenedFile opened(UniqueFd fd, bool regular_only)
{
    OpenedFile file;
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        file.failure = std::strerror(errno);
        return file;
    }
    file.regular = S_ISREG(info.st_mode);
    if (regular_only && !file.regular) {
        file.failure = "not a regular file";
        return file;
    }
    file.size = file.regular ? static_cast<std::int64_t>(info.st_size) : 0;
    file.device = static_cast<std::int64_t>(info.st_dev);
    file.inode = static_cast<std::int64_t>(info.st_ino);
    file.fd = std::move(fd);
    return file;
}

}  // namespace media::detail
