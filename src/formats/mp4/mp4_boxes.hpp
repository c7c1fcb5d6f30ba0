#pragma once
// The boxes of an MP4 (ISO base media) file, walked by their headers: a 32-bit size
// (1: a 64-bit size follows, 0: to the end of the parent) and a four-letter type.

#include <cstdint>      // std::int64_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view

#include "io/file_source.hpp"

namespace media::detail {

// A four-letter type as a message may show it: bytes past ASCII's letters as \xHH.
std::string printable_type(const std::string& type);

struct Box {
    std::string type;
    std::int64_t body = 0;  // where its body starts
    std::int64_t size = 0;  // of its body, within its parent
    int depth = 0;          // 0 at the top
};

// Every walk of one file, sharing one limit: max_boxes headers in all. (Nesting needs
// none: the readers go down fixed paths, moov/trak/mdia/minf/stbl/stsd at most.) A
// box whose size is too small or runs past its parent fails the read ("MP4: box
// 'stts' runs past its parent"), except at the top, where a file cut short ends in
// it.
class BoxFile {
public:
    static constexpr int max_boxes = 100000;

    explicit BoxFile(FileSource& source);

    // The boxes from `start` to `end`, at `depth`, one at a time.
    class Walk {
    public:
        std::optional<Box> next();

    private:
        friend class BoxFile;
        Walk(BoxFile& file, std::int64_t start, std::int64_t end, int depth)
            : file_(file), at_(start), end_(end), depth_(depth)
        {
        }
        BoxFile& file_;
        std::int64_t at_;
        std::int64_t end_;
        int depth_;
    };

    Walk top();
    // The boxes inside `parent`, past the first `skip` bytes of its body (a full
    // box's version and flags, a sample entry's fields).
    Walk inside(const Box& parent, std::int64_t skip = 0);
    // The first box of `type` inside `parent`, if any.
    std::optional<Box> find(const Box& parent, std::string_view type, std::int64_t skip = 0);
    // Up to `limit` bytes of its body, those the file holds; an error past the limit.
    std::string body(const Box& box, std::size_t limit);
    // Up to `count` bytes of its body from `offset` on, those it and the file hold.
    std::string part(const Box& box, std::uint64_t offset, std::size_t count);

    FileSource& source() { return source_; }

private:
    FileSource& source_;
    std::int64_t end_;
    int boxes_ = 0;
};

}  // namespace media::detail
