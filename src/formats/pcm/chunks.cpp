#include "formats/pcm/chunks.hpp"

#include <algorithm>  // std::min
#include <limits>     // std::numeric_limits

#include "io/byte_order.hpp"

namespace media::detail {

ChunkWalk::ChunkWalk(FileSource& source, bool big_endian)
    : source_(source),
      end_(source.seekable() ? source.size() : std::numeric_limits<std::int64_t>::max()),
      big_endian_(big_endian)
{
}

std::optional<Chunk> ChunkWalk::next()
{
    constexpr std::int64_t header = 8;
    if (count_ == max_chunks || at_ > end_ - header) {
        return std::nullopt;
    }
    const std::string_view bytes = source_.peek(at_, header);
    if (bytes.size() < header) {
        return std::nullopt;
    }
    ++count_;
    Chunk chunk{std::string(bytes.substr(0, 4)), at_ + header,
                big_endian_ ? big_endian(bytes, 4, 4) : little_endian(bytes, 4, 4)};
    resize_last(chunk, chunk.size);
    return chunk;
}

void ChunkWalk::resize_last(const Chunk& chunk, std::uint64_t size)
{
    const auto left = static_cast<std::uint64_t>(end_ - chunk.body);
    at_ = size <= left && (size & 1U) <= left - size
              ? chunk.body + static_cast<std::int64_t>(size + (size & 1U))
              : end_;
}

std::string ChunkWalk::body(const Chunk& chunk, std::size_t limit)
{
    return std::string(source_.peek(
        chunk.body, static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size, limit))));
}

}  // namespace media::detail
