#pragma once
// ID3 tags, parsed here: ID3v2.2, 2.3 and 2.4 at a file's start, ID3v1 at its end,
// under the library's names.

#include "io/file_source.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

// The ID3v2 tags at the start of `source`, one after another: text frames (TPE1, TALB,
// TIT2, TPE2, TRCK "3/12", TPOS, TYER and TDRC, TCON with "(17)" genre numbers, ...)
// as ARTIST, ALBUM, TITLE, ALBUMARTIST, TRACKNUMBER and TRACKTOTAL, DISCNUMBER, DATE,
// GENRE and so on, other text frames by their id, TXXX by their description, COMM
// without a description as COMMENT, USLT as LYRICS; several values of a frame kept
// apart, every ID3 encoding made UTF-8. Unsynchronisation is undone; compressed and
// encrypted frames are passed over. `found` says whether there was a tag. Null, or why
// they are too much: over max_tag_bytes, or more than max_tag_count frames.
const char* read_id3v2(FileSource& source, TagCollector& tags, bool& found);

// The ID3v1 tag in the last 128 bytes of a seekable `source`, if any, from Latin-1.
void read_id3v1(FileSource& source, TagCollector& tags);

}  // namespace media::detail
