#pragma once
// One file, many tracks: the tracks that a CUE sheet cuts an audio file into (a disc
// ripped as one image), to the sample.

#include <cstdint>     // std::int64_t
#include <filesystem>  // std::filesystem::path
#include <memory>      // std::shared_ptr
#include <optional>    // std::optional
#include <string>      // std::string
#include <vector>      // std::vector

#include <musiccore/export.hpp>
#include <musiccore/library.hpp>
#include <musiccore/media.hpp>

namespace music_library {

// One track of an image: a range of its samples.
struct CueTrack {
    std::filesystem::path path;     // the audio file
    int cue_track = 0;              // its number in the sheet
    std::int64_t start_sample = 0;  // in the file, per channel at its rate
    std::int64_t samples = 0;
    // As exact as the file's length, where the sheet's frames (75 a second) fall on
    // whole samples at its rate: at 44.1, 48, 88.2 and 96 kHz, ...
    bool exact = false;
    double duration_secs = 0;
    // The sheet's values for the track over its values for the disc over the file's
    // own tags; TRACKNUMBER and TOTALTRACKS from the sheet.
    media::Tags tags;
    std::shared_ptr<const void> extension;
};

struct CueTracks {
    // The sheet: a .cue file beside the image, or the image itself (a CUESHEET tag).
    std::filesystem::path sheet;
    std::string encoding;  // what its text was: "UTF-8", "UTF-8 (BOM)", "windows-1251", ...
    std::vector<CueTrack> tracks;
    std::shared_ptr<const void> extension;
};

struct CueOptions {
    // The audio before track 1's INDEX 01, where there is any (a hidden track, in the
    // first track's pregap), as a track of its own: cue_track 0.
    bool hidden_track = false;
};

// The tracks that a CUE sheet cuts the audio file at `path` into, `info` being what
// read_info read of it: from a native FLAC file's CUESHEET block, else its CUESHEET
// tag (a Vorbis comment or APE item), else a .cue file in its folder whose FILE names
// it. A FILE that names no file there
// names the audio file of the same stem (any extension a scan takes), else the
// folder's only audio file. A sheet never names a file outside its folder. The track
// before track 1's INDEX 01 (a hidden track) is left out unless `options` asks for it;
// a pregap (INDEX 00) is the track before's. Absent where no sheet names the file. Throws
// media::media_error
// ("CUE: line 7: ...") for a sheet that breaks its rules, or whose tracks do not fit
// the audio: the file is then one track, as it would be without it.
MUSICCORE_EXPORT std::optional<CueTracks> cue_tracks(const std::filesystem::path& path,
                                                     const media::MediaInfo& info,
                                                     const CueOptions& options);
MUSICCORE_EXPORT std::optional<CueTracks> cue_tracks(const std::filesystem::path& path,
                                                     const media::MediaInfo& info);

// The tracks that scan() found a CUE sheet to cut `track` into; null where it found
// none (the file is one track).
MUSICCORE_EXPORT const CueTracks* cue_tracks_of(const ScannedTrack& track);

}  // namespace music_library
