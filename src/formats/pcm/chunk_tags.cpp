#include "formats/pcm/chunk_tags.hpp"

#include "io/byte_order.hpp"
#include "tags/id3_tags.hpp"

namespace media::detail {

void ChunkTags::count(const Chunk& chunk)
{
    bytes_ += static_cast<std::size_t>(chunk.size);
    if (bytes_ > max_tag_bytes) {
        throw failure("tags over the 16 MiB limit");
    }
}

media_error ChunkTags::failure(const char* why) const
{
    return media_error(std::string(format_) + ": " + why);
}

void ChunkTags::add_id3(const Chunk& chunk)
{
    count(chunk);
    if (id3_found_) {
        id3_.drop("ID3v2");  // a second chunk: the first one counts
        return;
    }
    id3_found_ = true;
    bool found = false;
    if (const char* why = read_id3v2(source_, id3_, found, chunk.body)) {
        throw failure(why);
    }
}

void ChunkTags::add_text(const char* name, const Chunk& chunk)
{
    count(chunk);
    const std::string value = walk_.body(chunk, max_tag_bytes);
    texts_.add(name, std::string_view(value).substr(0, value.find('\0')));
}

void ChunkTags::add_list(const Chunk& chunk)
{
    constexpr struct {
        const char* id;
        const char* name;
    } names[] = {
        {"INAM", "TITLE"}, {"IART", "ARTIST"},  {"IPRD", "ALBUM"},     {"ICRD", "DATE"},
        {"IGNR", "GENRE"}, {"ICMT", "COMMENT"}, {"ICOP", "COPYRIGHT"}, {"ISFT", "ENCODER"},
    };
    count(chunk);
    const std::string bytes = walk_.body(chunk, max_tag_bytes);
    const std::string_view list = bytes;
    if (list.substr(0, 4) != "INFO") {
        return;  // an associated data list: cue labels, not tags
    }
    for (std::size_t at = 4; at + 8 <= list.size();) {
        const std::string_view id = list.substr(at, 4);
        const std::uint64_t size = little_endian(list, at + 4, 4);
        std::string_view text = list.substr(at + 8, static_cast<std::size_t>(size));
        text = text.substr(0, text.find('\0'));
        if (++values_ > max_tag_count) {
            throw failure("more than 10000 tags");
        }
        if ((id == "ITRK" || id == "IPRT") && !text.empty()) {
            texts_.add_numbered("TRACKNUMBER", "TRACKTOTAL", text);
        }
        for (const auto& known : names) {
            if (id == known.id && !text.empty()) {
                texts_.add(known.name, text);
            }
        }
        at += 8 + static_cast<std::size_t>(size + (size & 1U));  // 32-bit sizes: no wrap
    }
}

void ChunkTags::move_into(MediaInfo& info)
{
    id3_.add_missing(texts_);
    id3_.move_into(info);
}

}  // namespace media::detail
