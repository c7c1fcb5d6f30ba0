#include "formats/mp4/mp4_tags.hpp"

#include <algorithm>     // std::min
#include <charconv>      // std::from_chars
#include <string_view>   // std::string_view
#include <system_error>  // std::errc
#include <vector>        // std::vector

#include <musiccore/media.hpp>

#include "io/byte_order.hpp"
#include "tags/id3_tags.hpp"
#include "tags/pictures.hpp"

namespace media::detail {

namespace {

constexpr std::uint32_t utf8_text = 1;

// iTunes' own atoms; "\xA9" is the copyright sign that begins many of them.
constexpr struct {
    const char* atom;
    const char* name;
} names[] = {
    {"\xA9"
     "nam",
     "TITLE"},
    {"\xA9"
     "ART",
     "ARTIST"},
    {"\xA9"
     "alb",
     "ALBUM"},
    {"aART", "ALBUMARTIST"},
    {"\xA9"
     "day",
     "DATE"},
    {"\xA9"
     "gen",
     "GENRE"},
    {"\xA9"
     "wrt",
     "COMPOSER"},
    {"\xA9"
     "cmt",
     "COMMENT"},
    {"\xA9"
     "lyr",
     "LYRICS"},
    {"\xA9"
     "too",
     "ENCODER"},
    {"\xA9"
     "grp",
     "GROUPING"},
    {"cprt", "COPYRIGHT"},
    {"desc", "DESCRIPTION"},
    {"soar", "ARTISTSORT"},
    {"soal", "ALBUMSORT"},
    {"sonm", "TITLESORT"},
    {"soaa", "ALBUMARTISTSORT"},
    {"soco", "COMPOSERSORT"},
};

// A "data" box: a type (1: UTF-8 text, 0 or 21: an integer), a locale, the value.
struct Data {
    std::uint32_t type = 0;
    std::string value;
};

// " 00000000 00000840 000001CA 00000000000A6B76 ...": a zero, the delay, the padding,
// the samples that play, in hexadecimal.
std::optional<GaplessInfo> gapless(std::string_view text)
{
    std::uint64_t fields[4] = {};
    const char* at = text.data();
    const char* end = text.data() + text.size();
    for (std::uint64_t& field : fields) {
        while (at != end && *at == ' ') {
            ++at;
        }
        const auto [next, error] = std::from_chars(at, end, field, 16);
        if (error != std::errc()) {
            return std::nullopt;
        }
        at = next;
    }
    return GaplessInfo{fields[1], fields[2], fields[3]};
}

// trkn and disk: two bytes, the number, the total, and two bytes more.
void add_pair(TagCollector& tags, const char* name, const char* total, std::string_view value)
{
    if (value.size() < 6) {
        return;
    }
    if (const auto number = big_endian(value, 2, 2); number > 0) {
        tags.add(name, std::to_string(number));
    }
    if (const auto count = big_endian(value, 4, 2); count > 0) {
        tags.add(total, std::to_string(count));
    }
}

class ItemList {
public:
    ItemList(BoxFile& file, TagCollector& tags) : file_(file), tags_(tags) {}

    void add(const Box& item)
    {
        std::vector<Data> values;
        std::string freeform;
        auto walk = file_.inside(item);
        while (const auto child = walk.next()) {
            const std::string body = file_.body(*child, max_tag_bytes);
            if (++count_ > max_tag_count) {
                throw media_error("MP4: more than 10000 tags");
            }
            if (child->type == "data" && body.size() >= 8) {
                values.push_back({static_cast<std::uint32_t>(big_endian(body, 0, 4) & 0xFFFFFFU),
                                  body.substr(8)});
            } else if (child->type == "name" && body.size() >= 4) {
                freeform = body.substr(4);
            }
        }
        for (const Data& data : values) {
            add_value(item.type, freeform, data);
        }
    }

    std::optional<GaplessInfo> gapless_info() const { return gapless_; }

private:
    void add_value(const std::string& atom, const std::string& freeform, const Data& data)
    {
        if (atom == "----") {
            if (freeform == "iTunSMPB") {
                gapless_ = gapless(data.value);
            } else if (!freeform.empty()) {
                tags_.add(described_tag_name(freeform), data.value);
            }
        } else if (atom == "trkn") {
            add_pair(tags_, "TRACKNUMBER", "TRACKTOTAL", data.value);
        } else if (atom == "disk") {
            add_pair(tags_, "DISCNUMBER", "DISCTOTAL", data.value);
        } else if (atom == "gnre" && data.value.size() >= 2) {
            const auto number = big_endian(data.value, 0, 2);
            if (const char* genre = number > 0 ? id3v1_genre(number - 1) : nullptr) {
                tags_.add("GENRE", genre);
            }
        } else if (atom == "tmpo" && data.value.size() >= 2) {
            tags_.add("BPM", std::to_string(big_endian(data.value, 0, 2)));
        } else if (atom == "cpil" && !data.value.empty()) {
            tags_.add("COMPILATION", data.value[0] != 0 ? "1" : "0");
        } else if (data.type == utf8_text) {
            for (const auto& known : names) {
                if (atom == known.atom) {
                    tags_.add(known.name, data.value);
                }
            }
        }
    }

    BoxFile& file_;
    TagCollector& tags_;
    std::size_t count_ = 0;
    std::optional<GaplessInfo> gapless_;
};

// covr: a data box a picture, its type JPEG, PNG or BMP (or unsaid), its bytes read
// only when they are asked for. covr says nothing of what they show: the first is the
// front cover, as iTunes has it, the others are "other".
void add_pictures(BoxFile& file, const Box& covr, TagCollector& tags)
{
    bool first = true;
    constexpr std::int64_t data_header = 8;  // type, locale
    auto walk = file.inside(covr);
    while (const auto data = walk.next()) {
        if (data->type != "data" || data->size < data_header) {
            continue;
        }
        Box image = *data;
        image.body += data_header;
        image.size -= data_header;
        Box head_box = *data;
        head_box.size = std::min<std::int64_t>(data->size, data_header + 12);
        const std::string head = file.body(head_box, data_header + 12);
        if (head.size() < data_header) {
            continue;  // the file ends in it
        }
        Picture picture;
        picture.type = first ? front_cover : 0;
        first = false;
        switch (big_endian(head, 0, 4) & 0xFFFFFFU) {
        case 13:
            picture.mime_type = "image/jpeg";
            break;
        case 14:
            picture.mime_type = "image/png";
            break;
        case 27:
            picture.mime_type = "image/bmp";
            break;
        default:
            picture.mime_type = sniffed_mime_type(std::string_view(head).substr(data_header));
        }
        picture.size = static_cast<std::uint64_t>(image.size);
        tags.add_picture(std::move(picture), [&file, image] {
            return file.body(image, static_cast<std::size_t>(image.size));
        });
    }
}

}  // namespace

std::optional<GaplessInfo> read_mp4_tags(BoxFile& file, const Box& moov, TagCollector& tags)
{
    const auto udta = file.find(moov, "udta");
    // meta is a full box, four bytes of version and flags before its boxes, but for
    // QuickTime's, whose boxes begin at once.
    const auto meta = udta ? file.find(*udta, "meta") : std::nullopt;
    const std::string head = meta ? file.part(*meta, 0, 4) : std::string();
    const std::int64_t skip = head == std::string(4, '\0') ? 4 : 0;
    const auto ilst = meta ? file.find(*meta, "ilst", skip) : std::nullopt;
    if (!ilst) {
        return std::nullopt;
    }
    ItemList items(file, tags);
    std::uint64_t tag_bytes = 0;  // pictures are read only when asked for, and not counted
    auto walk = file.inside(*ilst);
    while (const auto item = walk.next()) {
        if (item->type == "covr") {
            add_pictures(file, *item, tags);
            continue;
        }
        tag_bytes += static_cast<std::uint64_t>(item->size);
        if (tag_bytes > max_tag_bytes) {
            throw media_error("MP4: tags over the 16 MiB limit");
        }
        items.add(*item);
    }
    return items.gapless_info();
}

}  // namespace media::detail
