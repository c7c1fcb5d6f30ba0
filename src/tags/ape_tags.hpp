#pragma once
// APEv2 (and APEv1) tags at a file's end, as WavPack and many MP3 tools write them,
// parsed here under the library's names.

#include "io/file_source.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

// The APE tag that ends a seekable `source`, or ends it before an ID3v1 tag: text
// items under the library's names ("Year" as DATE, "Track" "3/12" as TRACKNUMBER and
// TRACKTOTAL, "Album Artist" as ALBUMARTIST, MusicBrainz and ReplayGain items as they
// are), several values of an item kept apart; binary items (cover art) are not tags.
// Null, or why the tag is too much: over max_tag_bytes, or more than max_tag_count
// items. `audio_end` is set to where the tags at the end begin: the audio ends there.
const char* read_ape_tags(FileSource& source, TagCollector& tags, std::int64_t& audio_end);

inline const char* read_ape_tags(FileSource& source, TagCollector& tags)
{
    std::int64_t audio_end = 0;
    return read_ape_tags(source, tags, audio_end);
}

}  // namespace media::detail
