#pragma once
// A CUE sheet: the text that cuts one audio file (or several) into the tracks of a
// disc. Parsed here, re-entrant, every limit checked before it costs memory.

#include <cstddef>      // std::size_t
#include <cstdint>      // std::int64_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <musiccore/cue.hpp>
#include <musiccore/library.hpp>
#include <musiccore/media.hpp>

namespace music_library::detail {

inline constexpr std::size_t max_cue_bytes = std::size_t{1} << 20U;
inline constexpr std::size_t max_cue_line = 4096;
inline constexpr int max_cue_tracks = 99;
inline constexpr std::int64_t cue_frames_a_second = 75;

struct CueIndex {
    int number = 0;
    std::int64_t frame = 0;  // from the start of its file, 75 a second
};

struct CueTrack {
    int number = 0;
    std::size_t file = 0;                  // which of the sheet's files holds it
    media::Tags tags;                      // its own: TITLE, ARTIST, SONGWRITER, ISRC
    std::vector<CueIndex> indexes;         // in order; INDEX 01 among them
    std::int64_t pregap = 0, postgap = 0;  // frames: silence that no file holds

    std::int64_t start() const;  // its INDEX 01
};

struct CueFile {
    std::string name;  // as the sheet writes it
    std::string type;  // WAVE, FLAC, MP3, ...
};

struct CueSheet {
    std::vector<CueFile> files;
    std::vector<CueTrack> tracks;  // the audio tracks, in order
    media::Tags album;             // ALBUM, ALBUMARTIST, GENRE, DATE, DISCNUMBER, ...
};

// The sheet in `text` (UTF-8). Throws media_error "CUE: line 12: ..." for a sheet
// that breaks its rules: past max_cue_bytes, a line past max_cue_line, control
// characters, more than 99 tracks, a track without INDEX 01, indexes out of order,
// frames of 75 or more. Lines it does not know are left out.
CueSheet parse_cue(std::string_view text);

// `frame` (75 a second) at `sample_rate`: exact at the rates that 75 divides (44.1,
// 48, 88.2, 96 kHz, ...); at others rounded down, and `exact` cleared.
std::int64_t cue_sample(std::int64_t frame, long sample_rate, bool& exact);

// Puts the tracks that a CUE sheet cuts `track` into in its extension, where
// cue_tracks_of finds them; a sheet that fails adds its failure to `failures`, and
// the track stays whole. Looks for a sheet only where one may be: in the file (a
// FLAC CUESHEET block, a CUESHEET tag) or, `beside_a_sheet`, in its folder.
void attach_cue_tracks(ScannedTrack& track, bool beside_a_sheet,
                       std::vector<ScanFailure>& failures);

// Puts `tracks` in `track`'s extension, as attach_cue_tracks does.
void give_cue_tracks(ScannedTrack& track, CueTracks tracks);

}  // namespace music_library::detail
