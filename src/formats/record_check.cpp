#include "formats/record_check.hpp"

#include <algorithm>  // std::min, std::find
#include <iterator>   // std::begin, std::end

#include "formats/reader.hpp"  // max_samples_a_byte

namespace media::detail {

namespace {

// Text a byte of a tag can become: Latin-1 doubles, a genre's number spelt out grows
// more ("1" and its separator: "Classic Rock").
constexpr std::size_t text_a_byte = 8;
// What a record says whatever its file: the codec, a failure's words.
constexpr std::size_t fixed_text = 4096;
// Each value takes at least a byte of its file (its separator), but for the few a
// reader makes of one ("3/12": a number and a total).
constexpr std::int64_t made_values = 16;
constexpr int max_channels = 255;
constexpr int last_picture_type = 20;  // "publisher logotype"

bool known_codec(const std::string& codec)
{
    static const char* const codecs[] = {"opus", "vorbis",  "flac", "mp3",   "mp2",  "mp1",  "aac",
                                         "alac", "wavpack", "pcm",  "float", "alaw", "mulaw"};
    return std::find(std::begin(codecs), std::end(codecs), codec) != std::end(codecs);
}

std::size_t text_of(const MediaInfo& info, std::size_t& values)
{
    std::size_t text = info.codec.size();
    values = info.dropped_tags.size();
    for (const auto& [name, list] : info.tags) {
        text += name.size();
        for (const std::string& value : list) {
            text += value.size();
        }
        values += list.size();
    }
    for (const std::string& name : info.dropped_tags) {
        text += name.size();
    }
    for (const Picture& picture : info.pictures) {
        text += picture.mime_type.size() + picture.description.size();
    }
    return text;
}

std::string picture_problem(const Picture& picture, std::optional<std::int64_t> size)
{
    if (picture.type < 0 || picture.type > last_picture_type) {
        return "a picture of type " + std::to_string(picture.type);
    }
    if ((picture.width && *picture.width <= 0) || (picture.height && *picture.height <= 0)) {
        return "a picture of no width or height";
    }
    if (picture.size == 0 || (size && picture.size > static_cast<std::uint64_t>(*size))) {
        return "a picture of " + std::to_string(picture.size) + " bytes";
    }
    return {};
}

}  // namespace

std::size_t max_record_text(std::optional<std::int64_t> size)
{
    if (!size) {
        return max_tag_bytes;
    }
    const auto bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(*size, 0));
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(max_tag_bytes, bytes * text_a_byte + fixed_text));
}

std::string record_problem(MediaInfo& info, std::optional<std::int64_t> size)
{
    if (!known_codec(info.codec)) {
        return "a codec of no reader";
    }
    if (info.channels < 1 || info.channels > max_channels) {
        return std::to_string(info.channels) + " channels";
    }
    if (info.sample_rate <= 0) {
        return "a rate of " + std::to_string(info.sample_rate) + " Hz";
    }
    if (info.samples && *info.samples < 0) {
        return std::to_string(*info.samples) + " samples";
    }
    if (info.exact &&
        (!info.samples || (size && static_cast<std::uint64_t>(*info.samples) / max_samples_a_byte >
                                       static_cast<std::uint64_t>(*size)))) {
        return "an exact length that its bytes cannot hold";
    }
    if (info.bitrate && *info.bitrate < 0) {
        return "a bitrate below 0";
    }
    info.duration_secs =
        info.samples ? static_cast<double>(*info.samples) / static_cast<double>(info.sample_rate)
                     : 0;
    std::size_t values = 0;
    const std::size_t text = text_of(info, values);
    if (text > max_tag_bytes) {
        return "tags over the 16 MiB limit";
    }
    if (text > max_record_text(size)) {
        return "more text than the file's bytes can hold";
    }
    if (values > max_tag_count) {
        return "more than 10000 tags";
    }
    if (size && static_cast<std::int64_t>(values) > *size + made_values) {
        return "more tag values than the file has bytes";
    }
    if (info.pictures.size() > max_pictures) {
        return "more than " + std::to_string(max_pictures) + " pictures";
    }
    for (const Picture& picture : info.pictures) {
        if (std::string problem = picture_problem(picture, size); !problem.empty()) {
            return problem;
        }
    }
    return {};
}

}  // namespace media::detail
