#include "formats/mp4/mp4_boxes.hpp"

#include <algorithm>  // std::min
#include <limits>     // std::numeric_limits

#include <musiccore/media.hpp>

#include "io/byte_order.hpp"

namespace media::detail {

namespace {

media_error malformed(const std::string& type, const char* what)
{
    return media_error("MP4: box '" + printable_type(type) + "' " + what);
}

}  // namespace

std::string printable_type(const std::string& type)
{
    std::string text;
    for (const char c : type) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte > 0x20 && byte < 0x7F && c != '\'' && c != '\\'
                    ? std::string(1, c)
                    : "\\x" + hex_code(byte, 2).substr(2);
    }
    return text;
}

BoxFile::BoxFile(FileSource& source)
    : source_(source),
      end_(source.seekable() ? source.size() : std::numeric_limits<std::int64_t>::max())
{
}

BoxFile::Walk BoxFile::top()
{
    return {*this, 0, end_, 0};
}

BoxFile::Walk BoxFile::inside(const Box& parent, std::int64_t skip)
{
    const std::int64_t start = parent.body + std::min(skip, parent.size);
    return {*this, start, parent.body + parent.size, parent.depth + 1};
}

std::optional<Box> BoxFile::find(const Box& parent, std::string_view type, std::int64_t skip)
{
    Walk walk = inside(parent, skip);
    while (auto box = walk.next()) {
        if (box->type == type) {
            return box;
        }
    }
    return std::nullopt;
}

std::string BoxFile::body(const Box& box, std::size_t limit)
{
    if (static_cast<std::uint64_t>(box.size) > limit) {
        throw malformed(box.type, "is too large to read");
    }
    return std::string(source_.peek(box.body, static_cast<std::size_t>(box.size)));
}

std::string BoxFile::part(const Box& box, std::uint64_t offset, std::size_t count)
{
    const auto size = static_cast<std::uint64_t>(box.size);
    if (offset >= size) {
        return {};
    }
    const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
    return std::string(source_.peek(box.body + static_cast<std::int64_t>(offset), kept));
}

std::optional<Box> BoxFile::Walk::next()
{
    constexpr std::int64_t header = 8;
    // A stream keeps what is peeked: its index is looked for near its start only.
    constexpr std::int64_t stream_reach = std::int64_t{16} << 20U;
    if (at_ > end_ - header || (!file_.source_.seekable() && at_ > stream_reach)) {
        return std::nullopt;
    }
    if (++file_.boxes_ > max_boxes) {
        throw media_error("MP4: more than 100000 boxes");
    }
    const std::string bytes(file_.source_.peek(at_, 16));
    if (bytes.size() < header) {
        return std::nullopt;  // the file ends here
    }
    Box box{bytes.substr(4, 4), at_ + header, 0, depth_};
    const std::int64_t left = end_ - at_;
    std::uint64_t size = big_endian(bytes, 0, 4);
    if (size == 1) {
        if (bytes.size() < 16 || left < 16) {
            throw malformed(box.type, "has its 64-bit size cut off");
        }
        size = big_endian(bytes, 8, 8);
        box.body += 8;
    } else if (size == 0) {
        size = static_cast<std::uint64_t>(left);  // to the end
    }
    const auto head = static_cast<std::uint64_t>(box.body - at_);
    if (size < head) {
        throw malformed(box.type, "is smaller than its header");
    }
    if (size > static_cast<std::uint64_t>(left)) {
        if (depth_ > 0) {
            throw malformed(box.type, "runs past its parent");
        }
        size = static_cast<std::uint64_t>(left);  // a file cut short: what is there
    }
    box.size = static_cast<std::int64_t>(size - head);
    at_ += static_cast<std::int64_t>(size);
    return box;
}

}  // namespace media::detail
