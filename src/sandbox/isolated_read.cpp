// media::read_info and media::read_picture: here, or in a reader process when asked.
#include "sandbox/isolated_read.hpp"

#include <stdexcept>  // std::invalid_argument

#include "formats/read_media.hpp"
#include "sandbox/reader_pool.hpp"

namespace media {

namespace detail {

void check_isolated(const Limits& limits)
{
    check_work_limit(limits);
    if (limits.deadline) {
        throw std::invalid_argument("media::Limits: a deadline is kept in this process only");
    }
}

ReadOutcome read_alone(const std::string& path, const ReadRequest& request,
                       std::size_t memory_limit)
{
    ReaderPool reader(reader_program(), 1, memory_limit);
    ReadOutcome outcome;
    reader.read(
        1, [&path](std::size_t) { return open_file(path, false); }, request,
        [&outcome](std::size_t, ReadOutcome&& answer) { outcome = std::move(answer); }, {});
    return outcome;
}

void throw_failure(ReadOutcome& answer, std::size_t memory_limit)
{
    switch (answer.kind) {
    case ReadOutcome::Kind::unsupported:
        throw unsupported_format(answer.message, answer.in_ogg);
    case ReadOutcome::Kind::out_of_memory:
        throw media_error(memory_exceeded(memory_limit));
    default:
        throw media_error(answer.message);
    }
}

MediaInfo answered_info(ReadOutcome&& answer, std::size_t memory_limit)
{
    if (answer.kind != ReadOutcome::Kind::info) {
        throw_failure(answer, memory_limit);
    }
    return std::move(answer.info);
}

}  // namespace detail

MediaInfo read_info(const std::string& path)
{
    return read_info(path, Limits{});
}

MediaInfo read_info(const std::string& path, const Limits& limits)
{
    if (!limits.isolated) {
        return detail::read_media(path, limits, nullptr, false);
    }
    detail::check_isolated(limits);
    detail::ReadRequest request;
    request.work = limits.work;
    return detail::answered_info(detail::read_alone(path, request, limits.memory_limit),
                                 limits.memory_limit);
}

std::string read_picture(const std::string& path, std::size_t index, std::size_t max_bytes)
{
    return read_picture(path, index, Limits{}, max_bytes);
}

std::string read_picture(const std::string& path, std::size_t index, const Limits& limits,
                         std::size_t max_bytes)
{
    if (!limits.isolated) {
        return detail::read_picture(detail::open_file(path, false), index, max_bytes, limits);
    }
    detail::check_isolated(limits);
    detail::ReadRequest request;
    request.kind = detail::ReadRequest::Kind::picture;
    request.work = limits.work;
    request.picture = index;
    request.picture_max = max_bytes;
    detail::ReadOutcome answer = detail::read_alone(path, request, limits.memory_limit);
    if (answer.kind != detail::ReadOutcome::Kind::picture) {
        detail::throw_failure(answer, limits.memory_limit);
    }
    return std::move(answer.picture);
}

}  // namespace media
