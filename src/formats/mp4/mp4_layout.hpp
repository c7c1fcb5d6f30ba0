#pragma once
// The top of an MP4 file: its index (moov), where its media is stored (mdat), and the
// fragments that add to the index (moof), as a fragmented file has them.

#include <cstdint>   // std::uint64_t
#include <optional>  // std::optional
#include <vector>    // std::vector

#include "formats/mp4/mp4_boxes.hpp"

namespace media::detail {

struct Layout {
    std::optional<Box> moov;
    std::vector<Box> media;      // mdat boxes
    std::vector<Box> fragments;  // moof boxes
    bool fragmented = false;     // moof boxes, or moov's mvex that promises them
};

// The boxes at the top of the file: all of them in a seekable file, up to moov in a
// stream (which cannot be looked past it).
Layout file_layout(BoxFile& file);

// Whether one mdat holds the bytes from `start` to `end`.
bool holds(const Layout& layout, std::uint64_t start, std::uint64_t end);

// The units that the fragments add to the track of `id`, by their trun boxes and the
// defaults of tfhd and trex: a count to estimate a length by.
std::uint64_t fragment_units(BoxFile& file, const Layout& layout, std::uint32_t id);

}  // namespace media::detail
