#include "cue_tracks.hpp"

#include <iomanip>  // std::setw, std::setfill

#include <musiccore/cue.hpp>

#include "text.hpp"

namespace cli {

void print_cue_tracks(const std::string& path, const media::MediaInfo& info,
                      const music_library::CueOptions& options, std::ostream& out,
                      std::ostream& err)
{
    std::optional<music_library::CueTracks> cut;
    try {
        cut = music_library::cue_tracks(path, info, options);
    } catch (const media::media_error& e) {
        err << "musiccore: " << printable(path) << ": " << printable(e.what())
            << " (the file stays one track)\n";
        return;
    }
    if (!cut) {
        return;
    }
    out << printable(path) << ": " << cut->tracks.size() << " tracks, by "
        << printable(cut->sheet.filename().string()) << " (" << cut->encoding << ")\n";
    for (const music_library::CueTrack& track : cut->tracks) {
        const auto title = media::joined(track.tags, "TITLE").value_or("<unknown>");
        const auto artist = media::joined(track.tags, "ARTIST").value_or("<unknown>");
        out << "  " << std::setw(2) << std::setfill('0') << track.cue_track << std::setfill(' ')
            << "  " << clock_text(track.duration_secs) << "  samples " << track.start_sample << " +"
            << track.samples << (track.exact ? "" : " (estimate)") << "  " << printable(artist)
            << " - " << printable(title) << '\n';
    }
}

}  // namespace cli
