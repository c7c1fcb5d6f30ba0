#pragma once
// How loud a track or an album plays: ITU-R BS.1770 loudness as EBU R 128 and
// ReplayGain 2.0 use it, measured on the decoded samples of exactly the range that
// read_info counts.

#include <cstddef>     // std::size_t
#include <cstdint>     // std::int32_t, std::int64_t, std::uint64_t
#include <functional>  // std::function
#include <memory>      // std::shared_ptr
#include <optional>    // std::optional
#include <string>      // std::string
#include <vector>      // std::vector

#include <musiccore/export.hpp>
#include <musiccore/media.hpp>

namespace media {

// Gating blocks of one loudness, 0.01 LU wide: `bin` 0 holds the blocks from -70.00
// to -69.99 LUFS, and so on up; `energy` is the sum of their mean squares. Enough to
// gate tracks together (an album) without their samples.
struct LoudnessBin {
    std::int32_t bin = 0;
    std::uint64_t blocks = 0;
    double energy = 0;
};

// What measure_loudness found in one track, or album_loudness in several.
struct Loudness {
    // Integrated, gated loudness in LUFS; absent for silence (no block above -70 LUFS).
    std::optional<double> integrated_lufs;
    std::optional<double> range_lu;   // loudness range; absent where it has no blocks
    double sample_peak = 0;           // the largest |sample|, 1.0 being full scale
    std::optional<double> true_peak;  // linear, oversampled; absent when not measured
    int channels = 0;
    long sample_rate = 0;
    std::int64_t frames = 0;  // measured, per channel
    // The 400 ms blocks and the 3 s windows above -70 LUFS, by loudness, in order.
    std::vector<LoudnessBin> momentary_bins;
    std::vector<LoudnessBin> short_term_bins;
    // Room for what a later 0.4 release adds: see "Versions" in the README.
    std::shared_ptr<const void> extension;
};

// A range of a file's samples (per channel, at its rate): a track of an image.
struct SampleRange {
    std::int64_t start = 0;
    std::int64_t samples = 0;
};

struct LoudnessOptions {
    bool true_peak = true;  // the oversampled peak: about half of the measuring time
    // The work limit is the read's; a decode is given this much more for each minute
    // that the file says it lasts, up to an hour in all.
    Limits limits;
    // Where set, the ranges of a file (read as the MediaInfo says) to measure each on
    // its own, from one decode: a CUE sheet's tracks. None: the file whole.
    std::function<std::vector<SampleRange>(const std::string& path, const MediaInfo& info)> ranges;
};

// Reads the audio file at `path` as read_info does, then decodes (any format that
// read_info reads but fragmented MP4) and measures it; with `limits.isolated`, both in a
// sandboxed reader process. Mono is measured as two channels of the same (dual
// mono), as ReplayGain 2.0 has it; in 5.1 the LFE channel is left out and the
// surrounds weigh +1.5 dB. Throws media_error as read_info does, also where the
// decode fails ("FLAC: decoding failed after sample 441000: ..."), and
// unsupported_format.
MUSICCORE_EXPORT Loudness measure_loudness(const std::string& path,
                                           const LoudnessOptions& options = {});

// What one of many files measured came to.
struct MeasuredFile {
    std::optional<MediaInfo> info;     // what read_info read of it
    std::optional<Loudness> loudness;  // the file whole, where no ranges were asked for
    std::vector<Loudness> ranges;      // each range asked for, in their order
    std::string error;                 // why not, where either failed
    std::shared_ptr<const void> extension;
};

// Measures each of `paths` as measure_loudness does, `jobs` at once (0: one per
// core), in the order given; `progress`, if any, is told (files done, files) on the
// calling thread as they are.
MUSICCORE_EXPORT std::vector<MeasuredFile>
measure_loudness(const std::vector<std::string>& paths, const LoudnessOptions& options,
                 unsigned jobs, const std::function<void(std::size_t, std::size_t)>& progress = {});

// The tracks gated together as one programme, peaks the largest of theirs. The
// tracks may differ in rate and channels; `frames` is their sum.
MUSICCORE_EXPORT Loudness album_loudness(const std::vector<Loudness>& tracks);

// ReplayGain 2.0: the gain to -18 LUFS, in dB; absent for silence.
MUSICCORE_EXPORT std::optional<double> replaygain_gain_db(const Loudness& loudness);
// As the tags spell them: "-6.35 dB", "0.398947".
MUSICCORE_EXPORT std::string replaygain_gain_text(double gain_db);
MUSICCORE_EXPORT std::string replaygain_peak_text(double peak);
// The peak a ReplayGain tag gives: the true peak where measured, else the sample peak.
MUSICCORE_EXPORT double replaygain_peak(const Loudness& loudness);
// A linear peak in dB (dBTP for a true peak); absent for 0.
MUSICCORE_EXPORT std::optional<double> peak_db(double peak);

// What a file's tags state of its loudness, as ReplayGain 2.0 has it: gains to
// -18 LUFS in dB, peaks linear.
struct StatedLoudness {
    std::optional<double> track_gain_db, track_peak, album_gain_db, album_peak;
    std::shared_ptr<const void> extension;
};

// From REPLAYGAIN_TRACK_GAIN, _TRACK_PEAK, _ALBUM_GAIN and _ALBUM_PEAK (Vorbis
// comments, APE items, ID3 TXXX frames, MP4's freeform atoms: all under those
// names), else Opus's R128_TRACK_GAIN and R128_ALBUM_GAIN (Q7.8 to -23 LUFS, taken to
// -18). A value that is no number ("-6.35 dB", "+1.2", "0.398947"), or past 100 dB
// or a peak of 100, counts as none.
MUSICCORE_EXPORT StatedLoudness stated_loudness(const Tags& tags);

}  // namespace media
