#pragma once
// A file's tags, gathered under the library's limits.

#include <functional>   // std::function
#include <string>       // std::string
#include <string_view>  // std::string_view

#include <musiccore/media.hpp>

namespace media::detail {

// `text` with a-z made A-Z and nothing else changed: tag names are ASCII, and no
// locale may change them.
std::string ascii_upper(std::string_view text);

// Gathers tags under upper-case names, values in the order given; a value longer
// than max_tag_value is left out and its name kept in dropped_tags.
class TagCollector {
public:
    void add(std::string_view name, std::string_view value);
    // A Vorbis comment, "name=value" with the name in any case; one without "=" is
    // no tag, and METADATA_BLOCK_PICTURE a picture, not a tag.
    void add_comment(std::string_view comment);
    // "3/12": the number under `name`, and the total, if any, under `total`.
    void add_numbered(std::string_view name, std::string_view total, std::string_view value);
    // A picture of `bytes`, offered to a PictureCapture; its size is theirs.
    void add_picture(Picture picture, std::string_view bytes);
    // A picture of `picture.size` bytes not yet read: `load` reads them, if a
    // PictureCapture wants them.
    void add_picture(Picture picture, const std::function<std::string()>& load);
    // Adds what `other` gathered under the names this has none of: where two tags of a
    // file name one field, the first wins. Its pictures all follow this one's.
    void add_missing(const TagCollector& other);
    // No tags; pictures are none.
    bool empty() const { return tags_.empty() && dropped_.empty(); }
    // Moves what was gathered into `info`.
    void move_into(MediaInfo& info);

private:
    Tags tags_;
    std::vector<std::string> dropped_;
    std::vector<Picture> pictures_;
};

}  // namespace media::detail
