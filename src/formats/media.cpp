#include <musiccore/media.hpp>

#include <cstring>  // std::strerror

#include "formats/format_probe.hpp"
#include "formats/read_media.hpp"
#include "formats/readers.hpp"
#include "io/file_source.hpp"
#include "tags/pictures.hpp"

namespace media {

// Out of line, so that this file holds the vtables and type information that
// every catch relies on.
media_error::media_error(const std::string& message) : std::runtime_error(message) {}
media_error::~media_error() = default;

unsupported_format::unsupported_format(const std::string& format, bool in_ogg)
    : media_error(format + ": not an audio format this library reads"), format_(format),
      in_ogg_(in_ogg)
{
}
unsupported_format::~unsupported_format() = default;

std::optional<std::string> joined(const Tags& tags, const std::string& name)
{
    const auto values = tags.find(name);
    if (values == tags.end() || values->second.empty()) {
        return std::nullopt;
    }
    std::string text = values->second.front();
    for (std::size_t i = 1; i < values->second.size(); ++i) {
        text += "; ";
        text += values->second[i];
    }
    return text;
}

namespace detail {

MediaInfo read_media(const std::string& path, const Limits& limits, Heartbeat* heartbeat,
                     bool regular_only)
{
    if (limits.work.count() < 0) {
        throw std::invalid_argument("media::Limits::work must not be negative");
    }
    if (path.find('\0') != std::string::npos) {  // it would name another file
        throw media_error("cannot open: the path holds a NUL character");
    }
    WorkBudget budget(limits.work, limits.deadline, heartbeat);
    FileSource source(path, budget, regular_only);
    if (!source.is_open()) {
        throw media_error("cannot open: " + source.failure());
    }
    const Probe found = probe(source);
    if (!source.failure().empty()) {
        throw media_error(source.failure());
    }
    if (source.read_errno() != 0) {
        throw media_error(std::string("cannot read: ") + std::strerror(source.read_errno()));
    }
    const Reader reader = reader_of(found.format);
    if (reader == nullptr) {
        throw unsupported_format(found.name, found.in_ogg);
    }
    return reader(source, found);
}

}  // namespace detail

MediaInfo read_info(const std::string& path)
{
    return read_info(path, Limits{});
}

MediaInfo read_info(const std::string& path, const Limits& limits)
{
    return limits.isolated ? detail::read_isolated(path, limits)
                           : detail::read_media(path, limits, nullptr, false);
}

std::string read_picture(const std::string& path, std::size_t index, std::size_t max_bytes)
{
    detail::PictureCapture capture(index, max_bytes);
    const MediaInfo info = detail::read_media(path, Limits{}, nullptr, false);
    if (index >= info.pictures.size()) {
        throw media_error("no picture " + std::to_string(index) + ": the file has " +
                          std::to_string(info.pictures.size()));
    }
    if (info.pictures[index].size > max_bytes) {
        throw media_error("picture " + std::to_string(index) + " is " +
                          std::to_string(info.pictures[index].size) + " bytes, over the limit of " +
                          std::to_string(max_bytes));
    }
    if (!capture.bytes() || capture.bytes()->size() != info.pictures[index].size) {
        throw media_error("picture " + std::to_string(index) + " is cut short in the file");
    }
    return std::move(*capture.bytes());
}

}  // namespace media
