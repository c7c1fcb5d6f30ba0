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

// What the tags of one read may take, over every collector that the read fills, one
// for each tag format it holds: max_tag_count values and max_tag_bytes of names and
// values. Past either, no value is kept, and the read is to fail. While one lives, it
// counts the values added on its thread.
class TagBudget {
public:
    TagBudget();
    TagBudget(const TagBudget&) = delete;
    TagBudget& operator=(const TagBudget&) = delete;
    TagBudget(TagBudget&&) = delete;
    TagBudget& operator=(TagBudget&&) = delete;
    ~TagBudget();

    // "more than 10000 tags", "tags over the 16 MiB limit", or null.
    const char* exceeded() const;
    // Counts a value of `bytes` with its name; false when it is not to be kept.
    static bool take(std::size_t bytes);

private:
    std::size_t values_ = 0;
    std::size_t bytes_ = 0;
    TagBudget* outer_;
};

// Gathers tags under upper-case names, values in the order given; a value longer
// than max_tag_value is left out and its name kept in dropped_tags.
class TagCollector {
public:
    void add(std::string_view name, std::string_view value);
    // A Vorbis comment, "name=value" with the name in any case; one without "=" is
    // no tag, and METADATA_BLOCK_PICTURE a picture, not a tag.
    void add_comment(std::string_view comment);
    // Each comment of a Vorbis comment structure (the vendor's length and text, the
    // count, then each comment's length and text); false, and none added, when the
    // structure does not hold together in `structure`'s bytes.
    bool add_comments(std::string_view structure);
    // "3/12": the number under `name`, and the total, if any, under `total`.
    void add_numbered(std::string_view name, std::string_view total, std::string_view value);
    // A picture of `bytes`, offered to a PictureCapture; its size is theirs.
    void add_picture(Picture picture, std::string_view bytes);
    // A picture of `picture.size` bytes not yet read: `load` reads them, if a
    // PictureCapture wants them.
    void add_picture(Picture picture, const std::function<std::string()>& load);
    // "DDMM", as ID3v2.3 states a date's day and month apart from its year: a DATE of
    // a year alone becomes "YYYY-MM-DD" once gathered.
    void add_day_and_month(std::string_view day_and_month);
    // Names in dropped_tags what was left out: a tag block of the file's that cannot be
    // read, or that came second ("VORBIS_COMMENT", "ID3v2").
    void drop(std::string name);
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
    std::string day_and_month_;
};

}  // namespace media::detail
