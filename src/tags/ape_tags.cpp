#include "tags/ape_tags.hpp"

#include <cstdint>   // std::uint64_t
#include <iterator>  // std::size

#include "io/byte_order.hpp"
#include "tags/id3_tags.hpp"
#include "tags/pictures.hpp"

namespace media::detail {

namespace {

constexpr std::int64_t footer_size = 32;
constexpr std::int64_t id3v1_size = 128;
constexpr std::uint64_t text_item = 0;  // the item flags' bits 1 and 2
constexpr std::uint64_t binary_item = 1;

// "Cover Art (Front)" and its kin: a file name, a zero byte, the picture's bytes. The
// words in parentheses name the picture types in their order.
void add_cover(TagCollector& tags, std::string_view key, std::string_view value)
{
    constexpr std::string_view prefix = "COVER ART (";
    constexpr const char* types[] = {
        "OTHER",
        "ICON",
        "OTHER ICON",
        "FRONT",
        "BACK",
        "LEAFLET",
        "MEDIA",
        "LEAD ARTIST",
        "ARTIST",
        "CONDUCTOR",
        "BAND",
        "COMPOSER",
        "LYRICIST",
        "RECORDING LOCATION",
        "DURING RECORDING",
        "DURING PERFORMANCE",
        "VIDEO CAPTURE",
        "FISH",
        "ILLUSTRATION",
        "BAND LOGOTYPE",
        "PUBLISHER LOGOTYPE",
    };
    const std::string name = ascii_upper(key);
    if (name.compare(0, prefix.size(), prefix) != 0 || name.back() != ')') {
        return;
    }
    const std::string_view words =
        std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - 1);
    const std::size_t file_end = value.find('\0');
    if (file_end == std::string_view::npos) {
        return;
    }
    Picture picture;
    for (std::size_t type = 0; type < std::size(types); ++type) {
        picture.type = words == types[type] ? static_cast<int>(type) : picture.type;
    }
    picture.description = std::string(value.substr(0, file_end));
    const std::string_view bytes = value.substr(file_end + 1);
    picture.mime_type = sniffed_mime_type(bytes);
    tags.add_picture(std::move(picture), bytes);
}

void add_item(TagCollector& tags, std::string_view key, std::string_view value)
{
    constexpr struct {
        const char* key;
        const char* name;
    } names[] = {
        {"YEAR", "DATE"},
        {"ALBUM ARTIST", "ALBUMARTIST"},
        {"DEBUT ALBUM", "ORIGINALALBUM"},
        {"PUBLISHER", "LABEL"},
    };
    std::string name = ascii_upper(key);
    for (const auto& known : names) {
        if (name == known.key) {
            name = known.name;
        }
    }
    name = described_tag_name(name);
    // Version 2 separates the values of one item with a zero byte.
    for (std::size_t start = 0; start <= value.size();) {
        const std::size_t end = std::min(value.find('\0', start), value.size());
        const std::string_view one = value.substr(start, end - start);
        if (name == "TRACK") {
            tags.add_numbered("TRACKNUMBER", "TRACKTOTAL", one);
        } else if (name == "DISC") {
            tags.add_numbered("DISCNUMBER", "DISCTOTAL", one);
        } else if (!one.empty()) {
            tags.add(name, one);
        }
        start = end + 1;
    }
}

}  // namespace

const char* read_ape_tags(FileSource& source, TagCollector& tags, std::int64_t& audio_end)
{
    audio_end = source.seekable() ? source.size() : 0;
    if (!source.seekable() || source.size() < footer_size) {
        return nullptr;
    }
    std::int64_t end = source.size();
    if (end >= id3v1_size + footer_size && source.peek(end - id3v1_size, 3) == "TAG") {
        end -= id3v1_size;
        audio_end = end;
    }
    const std::string footer(source.peek(end - footer_size, footer_size));
    if (footer.size() != footer_size || footer.compare(0, 8, "APETAGEX") != 0) {
        return nullptr;
    }
    // The size counts the items and this footer, not the header before them.
    const std::uint64_t size = little_endian(footer, 12, 4);
    const std::uint64_t count = little_endian(footer, 16, 4);
    if (size > max_tag_bytes) {
        return "APE tag over the 16 MiB limit";
    }
    if (count > max_tag_count) {
        return "more than 10000 tags";
    }
    const bool has_header = (little_endian(footer, 20, 4) >> 31U) != 0;
    const std::uint64_t whole = size + (has_header ? footer_size : 0);
    if (size < footer_size || whole > static_cast<std::uint64_t>(end)) {
        tags.drop("APEv2");  // a footer of no tag that fits here: none read
        return nullptr;
    }
    audio_end = end - static_cast<std::int64_t>(whole);
    const std::string items(source.peek(end - static_cast<std::int64_t>(size),
                                        static_cast<std::size_t>(size - footer_size)));
    const std::string_view all = items;
    std::size_t at = 0;
    for (std::uint64_t item = 0; item < count && at + 9 <= all.size(); ++item) {
        const std::uint64_t length = little_endian(all, at, 4);
        const std::uint64_t flags = little_endian(all, at + 4, 4);
        const std::size_t key_end = all.find('\0', at + 8);
        if (key_end == std::string_view::npos || length > all.size() - key_end - 1) {
            tags.drop("APEv2");  // an item past the tag: it, and those after it, not read
            break;
        }
        const std::string_view key = all.substr(at + 8, key_end - at - 8);
        const std::string_view value = all.substr(key_end + 1, static_cast<std::size_t>(length));
        if (((flags >> 1U) & 3U) == text_item) {
            add_item(tags, key, value);
        } else if (((flags >> 1U) & 3U) == binary_item) {
            add_cover(tags, key, value);
        }
        at = key_end + 1 + static_cast<std::size_t>(length);
    }
    return nullptr;
}

}  // namespace media::detail
