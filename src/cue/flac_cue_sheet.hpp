#pragma once
// FLAC's CUESHEET metadata block (as metaflac --import-cuesheet-from writes it):
// tracks at sample offsets, a lead-out track last.

#include <cstdint>      // std::uint64_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

namespace music_library::detail {

struct FlacCueTrack {
    int number = 0;           // 1 to 99; the lead-out 170 (a CD's) or 255
    std::uint64_t start = 0;  // its INDEX 01, in samples from the file's start
    std::string isrc;
    bool audio = true;
};

struct FlacCueSheet {
    std::string catalog;
    std::vector<FlacCueTrack> tracks;  // the lead-out left out
    std::uint64_t lead_out = 0;        // where the lead-out starts
};

// The block's body, or none for one that does not hold together: cut short, tracks
// or indexes out of order, no INDEX 01, no lead-out.
std::optional<FlacCueSheet> parse_flac_cue_sheet(std::string_view body);

}  // namespace music_library::detail
