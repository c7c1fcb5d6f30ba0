#include <musiccore/media.hpp>

#include "formats/format_probe.hpp"
#include "formats/format_table.hpp"
#include "formats/read_media.hpp"
#include "formats/record_check.hpp"
#include "io/file_source.hpp"
#include "tags/pictures.hpp"
#include "tags/tag_collector.hpp"

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

std::vector<FormatName> formats()
{
    std::vector<FormatName> names;
    for (const detail::FormatRow& row : detail::format_rows()) {
        FormatName format{row.name, {}};
        for (const std::string_view extension : extensions_of(row)) {
            format.extensions.emplace_back(extension);
        }
        names.push_back(std::move(format));
    }
    return names;
}

namespace detail {

void check_work_limit(const Limits& limits)
{
    if (limits.work.count() < 0) {
        throw std::invalid_argument("media::Limits::work must not be negative");
    }
}

MediaInfo read_media(OpenedFile file, const Limits& limits, Heartbeat* heartbeat)
{
    check_work_limit(limits);
    WorkBudget budget(limits.work, limits.deadline, heartbeat);
    const std::int64_t size = file.size;
    FileSource source(std::move(file), budget);
    const Probe found = probe_opened(source);
    const Reader reader = reader_of(found.format);
    if (reader == nullptr) {
        throw unsupported_format(found.name, found.in_ogg);
    }
    const TagBudget tag_budget;
    MediaInfo info = reader(source, found);
    if (const char* why = tag_budget.exceeded()) {
        throw media_error(found.name + ": " + why);
    }
    // A stream has no size to hold a stated length against: whatever it says of its
    // length is an estimate.
    info.exact = info.exact && source.seekable();
    const std::string problem =
        record_problem(info, source.seekable() ? std::optional<std::int64_t>(size) : std::nullopt);
    if (!problem.empty()) {
        throw media_error(found.name + ": " + problem);
    }
    return info;
}

MediaInfo read_media(const std::string& path, const Limits& limits, Heartbeat* heartbeat,
                     bool regular_only)
{
    check_work_limit(limits);
    return read_media(open_file(path, regular_only), limits, heartbeat);
}

std::string read_picture(OpenedFile file, std::size_t index, std::size_t max_bytes,
                         const Limits& limits)
{
    PictureCapture capture(index, max_bytes);
    const MediaInfo info = read_media(std::move(file), limits, nullptr);
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

media_error read_failure(const char* format, const FileSource& source, const std::string& detail)
{
    return media_error(std::string(format) + ": " +
                       (source.failure().empty() ? detail : source.failure()));
}

}  // namespace detail

}  // namespace media
