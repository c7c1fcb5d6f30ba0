#pragma once
// info of an image: the tracks that its CUE sheet cuts it into.

#include <ostream>  // std::ostream
#include <string>   // std::string

#include <musiccore/cue.hpp>
#include <musiccore/media.hpp>

namespace cli {

// A line for the sheet and one for each track, on `out`; nothing where no sheet
// names the file; a sheet that fails, on `err`.
void print_cue_tracks(const std::string& path, const media::MediaInfo& info,
                      const music_library::CueOptions& options, std::ostream& out,
                      std::ostream& err);

}  // namespace cli
