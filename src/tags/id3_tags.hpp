#pragma once
// ID3 tags, as mpg123 parses them, under the library's
// names.

#include <mpg123.h>

#include "io/file_source.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

// Null, or why the ID3v2 tags at the start of `source` are too much to parse: over
// max_tag_bytes, or more than max_tag_count frames. Looked at before mpg123 reads
// them, since it parses a tag in memory, where no read can stop it.
const char* id3v2_too_large(FileSource& source);

// ID3v2.3 and 2.4 text frames (TPE1, TALB, TIT2, TPE2, TRCK, TPOS, TYER and TDRC,
// TCON, ...) as ARTIST, ALBUM, TITLE, ALBUMARTIST, TRACKNUMBER, DISCNUMBER, DATE,
// GENRE and so on; TXXX frames by their description; several values of a frame
// kept apart.
void add_id3v2(const mpg123_id3v2& tag, TagCollector& tags);
// The ID3v1 tag's fields, from Latin-1.
void add_id3v1(const mpg123_id3v1& tag, TagCollector& tags);

}  // namespace media::detail
