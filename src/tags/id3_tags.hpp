#pragma once
// ID3 tags, parsed here: ID3v2.2, 2.3 and 2.4 at a file's start, ID3v1 at its end,
// under the library's names.

#include <cstddef>  // std::size_t
#include <string>   // std::string

#include "io/file_source.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

// The ID3v2 tags at `start` in `source` (its start, or a chunk of a WAV or AIFF file),
// one after another: text frames (TPE1, TALB,
// TIT2, TPE2, TRCK "3/12", TPOS, TYER and TDRC, TCON with "(17)" genre numbers, ...)
// as ARTIST, ALBUM, TITLE, ALBUMARTIST, TRACKNUMBER and TRACKTOTAL, DISCNUMBER, DATE,
// GENRE and so on, other text frames by their id, TXXX by their description, COMM
// without a description as COMMENT, USLT as LYRICS; several values of a frame kept
// apart, every ID3 encoding made UTF-8. Unsynchronisation is undone; compressed and
// encrypted frames are passed over. `found` says whether there was a tag. Null, or why
// they are too much: over max_tag_bytes, or more than max_tag_count frames.
const char* read_id3v2(FileSource& source, TagCollector& tags, bool& found, std::int64_t start = 0);

// The name of a user text (TXXX, an MP4 "----" atom, an APEv2 item) by its
// description: the usual names of MusicBrainz and AcoustID ids, others as they are.
std::string described_tag_name(const std::string& description);

// ID3v1's genre `number` (as MP4's "gnre" counts them, less one), or null.
const char* id3v1_genre(std::size_t number);

// The ID3v1 tag in the last 128 bytes of a seekable `source`, if any, from Latin-1.
void read_id3v1(FileSource& source, TagCollector& tags);

}  // namespace media::detail
