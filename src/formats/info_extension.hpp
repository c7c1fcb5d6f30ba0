#pragma once
// What a read tells beyond MediaInfo's members, kept behind its extension pointer so
// that the record's layout stays: for now, a FLAC file's CUESHEET block.

#include <cstddef>  // std::size_t
#include <string>   // std::string

#include <musiccore/media.hpp>

namespace media::detail {

// 100 tracks of 100 indexes take 124 KiB.
inline constexpr std::size_t max_cue_sheet_block = std::size_t{1} << 18U;

struct InfoExtension {
    std::string flac_cue_sheet;  // the block's body; empty when there is none
};

// The extension of `info`; null when it has none.
const InfoExtension* info_extension(const MediaInfo& info);
void set_flac_cue_sheet(MediaInfo& info, std::string block);

}  // namespace media::detail
