#include <stdexcept>  // std::invalid_argument

#include "formats/read_media.hpp"
#include "sandbox/reader_pool.hpp"

namespace media::detail {

namespace {

MediaInfo answered(ReadOutcome&& answer, std::size_t memory_limit)
{
    switch (answer.kind) {
    case ReadOutcome::Kind::info:
        return std::move(answer.info);
    case ReadOutcome::Kind::unsupported:
        throw unsupported_format(answer.message, answer.in_ogg);
    case ReadOutcome::Kind::out_of_memory:
        throw media_error(memory_exceeded(memory_limit));
    case ReadOutcome::Kind::failed:
        break;
    }
    throw media_error(answer.message);
}

}  // namespace

MediaInfo read_isolated(const std::string& path, const Limits& limits)
{
    if (limits.work.count() < 0) {
        throw std::invalid_argument("media::Limits::work must not be negative");
    }
    if (limits.deadline) {
        throw std::invalid_argument("media::Limits: a deadline is kept in this process only");
    }
    if (path.find('\0') != std::string::npos) {  // it would name another file
        throw media_error("cannot open: the path holds a NUL character");
    }
    std::string why = "no reader program installed";
    std::optional<ReaderPool> reader;
    if (const auto program = reader_program()) {
        try {
            reader.emplace(*program, 1, limits.memory_limit);
        } catch (const media_error& e) {
            why = e.what();
        }
    }
    if (!reader) {
        say_unsandboxed(why);
        return read_media(path, limits, nullptr, false);
    }
    std::optional<ReadOutcome> outcome;
    reader->read({path}, limits.work, false,
                 [&outcome](std::size_t, ReadOutcome&& answer) { outcome = std::move(answer); },
                 {});
    return answered(std::move(*outcome), limits.memory_limit);
}

}  // namespace media::detail
