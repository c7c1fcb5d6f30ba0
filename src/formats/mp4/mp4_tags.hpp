#pragma once
// The iTunes tags of an MP4 file (moov/udta/meta/ilst), under the library's names.

#include <optional>  // std::optional
#include <string>    // std::string

#include "formats/mp4/mp4_boxes.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

// What iTunes states of an AAC stream's length in its "iTunSMPB" text, in samples.
struct GaplessInfo {
    std::uint64_t delay = 0;
    std::uint64_t padding = 0;
    std::uint64_t samples = 0;  // what plays
};

// Adds the tags under `moov`: ©nam, ©ART, ©alb, aART, trkn, disk, ©day, ©gen and
// gnre, ©wrt, ©cmt, ©lyr and others, and "----" atoms by their name. Returns the
// iTunSMPB text's counts, if it is there. Throws past the tag limits.
std::optional<GaplessInfo> read_mp4_tags(BoxFile& file, const Box& moov, TagCollector& tags);

}  // namespace media::detail
