#pragma once
// The chunks of RIFF (WAV, RF64) and IFF (AIFF) files: an id, a size, a body padded
// to an even length.

#include <cstdint>   // std::int64_t, std::uint64_t
#include <optional>  // std::optional
#include <string>    // std::string

#include "io/file_source.hpp"

namespace media::detail {

struct Chunk {
    std::string id;
    std::int64_t body = 0;   // where its body starts
    std::uint64_t size = 0;  // of its body, as declared: it may run past the file
};

// Walks the chunks inside a file's RIFF or FORM chunk (past its 12 bytes of id,
// size and type) by their headers alone, so that a large chunk costs nothing to
// pass. Ends at the end of the file, at a header cut short, after a chunk that runs
// past the end, or after max_chunks. The outer chunk's own size is not trusted.
class ChunkWalk {
public:
    static constexpr int max_chunks = 4096;

    ChunkWalk(FileSource& source, bool big_endian);

    std::optional<Chunk> next();
    // The size of the chunk just walked, where a header elsewhere states it (RF64's
    // 64-bit sizes).
    void resize_last(const Chunk& chunk, std::uint64_t size);
    // Up to `limit` bytes of the chunk's body, those the file holds.
    std::string body(const Chunk& chunk, std::size_t limit);

private:
    FileSource& source_;
    std::int64_t at_ = 12;  // past the id, size and form type
    std::int64_t end_;
    bool big_endian_;
    int count_ = 0;
};

}  // namespace media::detail
