#pragma once
// The tags of WAV and AIFF files: texts in chunks of their own, and ID3 in a chunk,
// which wins where both name a field. Together under the library's limits.

#include <musiccore/media.hpp>

#include "formats/pcm/chunks.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

class ChunkTags {
public:
    // `format` begins the messages of the failures.
    ChunkTags(ChunkWalk& walk, FileSource& source, const char* format)
        : walk_(walk), source_(source), format_(format)
    {
    }

    // An "id3 " or "ID3 " chunk.
    void add_id3(const Chunk& chunk);
    // A chunk that is one text (AIFF's NAME, AUTH, ANNO), up to its first zero byte.
    void add_text(const char* name, const Chunk& chunk);
    // A LIST chunk; only LIST/INFO holds tags.
    void add_list(const Chunk& chunk);
    void move_into(MediaInfo& info);

private:
    void count(const Chunk& chunk);
    media_error failure(const char* why) const;

    ChunkWalk& walk_;
    FileSource& source_;
    const char* format_;
    TagCollector id3_;
    bool id3_found_ = false;
    TagCollector texts_;
    std::size_t bytes_ = 0;
    std::size_t values_ = 0;
};

}  // namespace media::detail
