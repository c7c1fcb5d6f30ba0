// The tracks of an image: where its sheet is, which of the sheet's files it is, and
// each track's samples.
#include <musiccore/cue.hpp>

#include <algorithm>  // std::sort
#include <cctype>     // std::tolower
#include <cstdint>    // INT64_MAX
#include <fstream>    // std::ifstream
#include <iterator>   // std::istreambuf_iterator

#include "cue/cue_sheet.hpp"
#include "cue/cue_text.hpp"
#include "cue/flac_cue_sheet.hpp"
#include "formats/format_table.hpp"
#include "formats/info_extension.hpp"

namespace music_library {

namespace fs = std::filesystem;

namespace {

using detail::CueSheet;

// .cue files looked at in one folder, at most.
constexpr std::size_t max_sheets = 64;

bool audio_name(const fs::path& path)
{
    std::string extension = path.extension().string();
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return media::detail::listed_extension(extension);
}

std::string lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The regular file's bytes, up to the sheets' limit; none for anything else.
std::optional<std::string> small_file(const fs::path& path)
{
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(path, error)) ||
        fs::file_size(path, error) > detail::max_cue_bytes || error) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    return in.bad() ? std::nullopt : std::optional<std::string>(std::move(bytes));
}

// The file of the folder that a sheet's FILE `name` stands for: itself, else the one
// of its stem with an audio file's extension, else the folder's only audio file.
// None for a name that leaves the folder.
std::optional<fs::path> named_file(const std::string& name, const std::vector<fs::path>& audio)
{
    const fs::path named(name);
    if (name.empty() || named.has_parent_path() || name == "." || name == "..") {
        return std::nullopt;
    }
    for (const fs::path& file : audio) {
        if (file.filename() == named) {
            return file;
        }
    }
    for (const fs::path& file : audio) {
        if (lower(file.stem().string()) == lower(named.stem().string())) {
            return file;
        }
    }
    return audio.size() == 1 ? std::optional<fs::path>(audio.front()) : std::nullopt;
}

struct Found {
    CueSheet sheet;
    std::size_t file = 0;  // the sheet's FILE that the image is
    fs::path where;
    std::string encoding;
};

std::optional<Found> sheet_beside(const fs::path& image)
{
    const fs::path folder = image.parent_path().empty() ? fs::path(".") : image.parent_path();
    std::vector<fs::path> audio;
    std::vector<fs::path> sheets;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path& path = it->path();
        if (lower(path.extension().string()) == ".cue" && sheets.size() < max_sheets) {
            sheets.push_back(path);
        } else if (audio_name(path)) {
            audio.push_back(path);
        }
    }
    std::sort(sheets.begin(), sheets.end());
    for (const fs::path& path : sheets) {
        const auto bytes = small_file(path);
        if (!bytes) {
            continue;
        }
        detail::CueText text = detail::cue_text(*bytes);
        CueSheet sheet;
        try {
            sheet = detail::parse_cue(text.text);
        } catch (const media::media_error&) {
            // A broken sheet is this file's failure only where it names the file.
            if (text.text.find(image.stem().string()) != std::string::npos) {
                throw;
            }
            continue;
        }
        for (std::size_t i = 0; i < sheet.files.size(); ++i) {
            const auto file = named_file(sheet.files[i].name, audio);
            if (file && fs::equivalent(*file, image, error)) {
                return Found{std::move(sheet), i, path, std::move(text.encoding)};
            }
        }
    }
    return std::nullopt;
}

std::optional<Found> sheet_of(const fs::path& image, const media::MediaInfo& info)
{
    if (const auto tag = info.tags.find("CUESHEET");
        tag != info.tags.end() && !tag->second.empty()) {
        const std::string& text = tag->second.front();
        if (!detail::valid_utf8(text)) {
            throw media::media_error("CUE: the CUESHEET tag is not UTF-8");
        }
        CueSheet sheet = detail::parse_cue(text);
        // An embedded sheet is of the file that holds it: its first FILE.
        return Found{std::move(sheet), 0, image, "UTF-8"};
    }
    return sheet_beside(image);
}

media::Tags tags_of(const CueSheet& sheet, const detail::CueTrack& track,
                    const media::MediaInfo& info, std::size_t total)
{
    media::Tags tags = info.tags;
    tags.erase("CUESHEET");
    for (const auto& [name, values] : sheet.album) {
        tags[name] = values;
    }
    if (const auto performer = sheet.album.find("ALBUMARTIST"); performer != sheet.album.end()) {
        tags["ARTIST"] = performer->second;  // unless the track names its own
    }
    for (const auto& [name, values] : track.tags) {
        tags[name] = values;
    }
    tags["TRACKNUMBER"] = {std::to_string(track.number)};
    tags["TOTALTRACKS"] = {std::to_string(total)};
    return tags;
}

}  // namespace

namespace {

// Where a track starts, and what it is called.
struct Start {
    int number = 0;
    std::int64_t sample = 0;
    bool exact = true;  // the sample is where the sheet says, not rounded to it
    media::Tags tags;
};

// The audio before the first start, as track 0, where `wanted` and there is any.
void add_hidden_track(std::vector<Start>& starts, bool wanted)
{
    if (!wanted || starts.empty() || starts.front().sample <= 0) {
        return;
    }
    Start hidden{0, 0, true, starts.front().tags};
    hidden.tags.erase("TITLE");
    hidden.tags.erase("ISRC");
    hidden.tags["TRACKNUMBER"] = {"0"};
    starts.insert(starts.begin(), std::move(hidden));
}

// The tracks from their starts, each to the next one's, the last to the audio's end.
CueTracks cut_at(const fs::path& path, const media::MediaInfo& info,
                 const std::vector<Start>& starts, CueTracks tracks)
{
    const std::int64_t end = *info.samples;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::int64_t next = i + 1 < starts.size() ? starts[i + 1].sample : end;
        if (starts[i].sample >= end || next > end) {
            throw media::media_error("CUE: track " + std::to_string(starts[i].number) +
                                     " starts past the audio's end");
        }
        CueTrack track;
        track.path = path;
        track.cue_track = starts[i].number;
        track.start_sample = starts[i].sample;
        track.samples = next - starts[i].sample;
        track.exact =
            info.exact && starts[i].exact && (i + 1 == starts.size() || starts[i + 1].exact);
        track.duration_secs =
            static_cast<double>(track.samples) / static_cast<double>(info.sample_rate);
        track.tags = starts[i].tags;
        tracks.tracks.push_back(std::move(track));
    }
    return tracks;
}

// FLAC's own block: starts in samples, the names from the file's tags.
CueTracks flac_block_tracks(const fs::path& path, const media::MediaInfo& info,
                            const detail::FlacCueSheet& sheet, bool hidden_track)
{
    std::vector<Start> starts;
    for (const detail::FlacCueTrack& track : sheet.tracks) {
        if (!track.audio) {
            continue;  // a data track: none of the music
        }
        Start start{track.number,
                    static_cast<std::int64_t>(std::min<std::uint64_t>(
                        track.start, static_cast<std::uint64_t>(INT64_MAX))),
                    true, info.tags};
        start.tags.erase("CUESHEET");
        start.tags["TRACKNUMBER"] = {std::to_string(track.number)};
        start.tags["TOTALTRACKS"] = {std::to_string(sheet.tracks.size())};
        if (!track.isrc.empty()) {
            start.tags["ISRC"] = {track.isrc};
        }
        if (!sheet.catalog.empty()) {
            start.tags["CATALOGNUMBER"] = {sheet.catalog};
        }
        starts.push_back(std::move(start));
    }
    add_hidden_track(starts, hidden_track && !sheet.tracks.empty() && sheet.tracks.front().audio);
    return cut_at(path, info, starts, CueTracks{path, "FLAC CUESHEET block", {}, {}});
}

}  // namespace

std::optional<CueTracks> cue_tracks(const fs::path& path, const media::MediaInfo& info)
{
    return cue_tracks(path, info, CueOptions{});
}

std::optional<CueTracks> cue_tracks(const fs::path& path, const media::MediaInfo& info,
                                    const CueOptions& options)
{
    const media::detail::InfoExtension* extension = media::detail::info_extension(info);
    const std::optional<std::string> block =
        extension != nullptr && !extension->flac_cue_sheet.empty()
            ? std::optional<std::string>(extension->flac_cue_sheet)
            : std::nullopt;
    std::optional<Found> found = block ? std::nullopt : sheet_of(path, info);
    if (!block && !found) {
        return std::nullopt;
    }
    if (!info.samples || info.sample_rate <= 0) {
        throw media::media_error("CUE: the audio's length is unknown");
    }
    if (block) {
        const auto sheet = detail::parse_flac_cue_sheet(*block);
        if (!sheet) {
            throw media::media_error("CUE: the FLAC CUESHEET block does not hold together");
        }
        return flac_block_tracks(path, info, *sheet, options.hidden_track);
    }
    const CueSheet& sheet = found->sheet;
    std::vector<Start> starts;
    for (const detail::CueTrack& track : sheet.tracks) {
        if (track.file == found->file) {
            Start start{track.number, 0, true, tags_of(sheet, track, info, sheet.tracks.size())};
            start.sample = detail::cue_sample(track.start(), info.sample_rate, start.exact);
            starts.push_back(std::move(start));
        }
    }
    if (starts.empty()) {
        return std::nullopt;
    }
    // Only the disc's first track has a hidden one before it: in a file of its own.
    add_hidden_track(starts, options.hidden_track && sheet.tracks.front().file == found->file);
    return cut_at(path, info, starts, CueTracks{found->where, found->encoding, {}, {}});
}

namespace {

// What scan() puts behind a ScannedTrack's extension.
struct TrackExtension {
    CueTracks cue;
};

}  // namespace

const CueTracks* cue_tracks_of(const ScannedTrack& track)
{
    const auto* extension = static_cast<const TrackExtension*>(track.extension.get());
    return extension == nullptr ? nullptr : &extension->cue;
}

namespace detail {

void give_cue_tracks(ScannedTrack& track, CueTracks tracks)
{
    track.extension = std::make_shared<const TrackExtension>(TrackExtension{std::move(tracks)});
}

void attach_cue_tracks(ScannedTrack& track, bool beside_a_sheet, std::vector<ScanFailure>& failures)
{
    if (!beside_a_sheet && track.media.tags.count("CUESHEET") == 0 &&
        media::detail::info_extension(track.media) == nullptr) {
        return;
    }
    try {
        if (auto cut = cue_tracks(track.path, track.media)) {
            give_cue_tracks(track, std::move(*cut));
        }
    } catch (const media::media_error& e) {
        failures.push_back({track.path, std::string(e.what()) + " (listed as one track)"});
    } catch (const std::filesystem::filesystem_error& e) {
        failures.push_back({track.path, std::string("CUE: ") + e.what()});
    }
}

}  // namespace detail

}  // namespace music_library
