#include "loudness_command.hpp"

#include <algorithm>   // std::min, std::sort
#include <filesystem>  // std::filesystem
#include <iomanip>     // std::setw, std::setprecision
#include <iostream>    // std::cout, std::cerr
#include <locale>      // std::locale
#include <map>         // std::map
#include <mutex>       // std::mutex
#include <optional>    // std::optional
#include <sstream>     // std::ostringstream

#include <unistd.h>  // isatty

#include <nlohmann/json.hpp>

#include <musiccore/cue.hpp>
#include <musiccore/loudness.hpp>
#include <musiccore/media.hpp>

#include "progress.hpp"
#include "text.hpp"

namespace cli {

namespace {

namespace fs = std::filesystem;

struct Measured {
    std::string path;
    std::size_t root = 0;  // which of the paths asked for it came from
    std::optional<media::Loudness> loudness;
    std::string error;
    std::string album_key;  // empty unless albums are asked for
};

bool music_name(const fs::path& path)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto formats = media::formats();
    return std::any_of(formats.begin(), formats.end(), [&](const media::FormatName& format) {
        return std::find(format.extensions.begin(), format.extensions.end(), extension) !=
               format.extensions.end();
    });
}

// The files asked for, and the music files under the folders, in name order.
std::vector<Measured> files_of(const std::vector<std::string>& paths)
{
    std::vector<Measured> files;
    for (std::size_t root = 0; root < paths.size(); ++root) {
        std::error_code error;
        if (!fs::is_directory(paths[root], error)) {
            files.push_back({paths[root], root, {}, {}, {}});
            continue;
        }
        std::vector<std::string> found;
        for (auto it = fs::recursive_directory_iterator(
                 paths[root], fs::directory_options::skip_permission_denied, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (it->is_regular_file(error) && music_name(it->path())) {
                found.push_back(it->path().string());
            }
        }
        std::sort(found.begin(), found.end());
        for (std::string& path : found) {
            files.push_back({std::move(path), root, {}, {}, {}});
        }
    }
    return files;
}

// Tracks of one album: by folder, or by album artist (else artist) and album within
// the folder asked for; a track without an album tag is its folder's.
std::string album_key(const Measured& file, const LoudnessRequest& request,
                      const media::MediaInfo* info)
{
    const std::string folder = fs::path(file.path).parent_path().string();
    if (request.album_by_folder || info == nullptr) {
        return "folder\n" + folder;
    }
    const auto album = media::joined(info->tags, "ALBUM");
    if (!album) {
        return "folder\n" + folder;
    }
    auto artist = media::joined(info->tags, "ALBUMARTIST");
    if (!artist) {
        artist = media::joined(info->tags, "ARTIST");
    }
    std::string key =
        "tags\n" + std::to_string(file.root) + "\n" + artist.value_or("") + "\n" + *album;
    if (request.per_disc) {
        // "1/2" and "1" are the same disc.
        const std::string disc = media::joined(info->tags, "DISCNUMBER").value_or("");
        key += " (disc " + disc.substr(0, disc.find('/')) + ")";
    }
    return key;
}

// The images' CUE sheets, found as their files are read, on any thread.
class Sheets {
public:
    std::vector<media::SampleRange> ranges(const std::string& path, const media::MediaInfo& info)
    {
        std::optional<music_library::CueTracks> cut;
        std::string failure;
        try {
            cut = music_library::cue_tracks(path, info);
        } catch (const media::media_error& e) {
            failure = e.what();
        }
        std::vector<media::SampleRange> ranges;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!failure.empty()) {
            failures_[path] = failure + " (measured as one track)";
        }
        if (cut) {
            for (const music_library::CueTrack& track : cut->tracks) {
                ranges.push_back({track.start_sample, track.samples});
            }
            sheets_[path] = std::move(*cut);
        }
        return ranges;
    }

    const music_library::CueTracks* sheet(const std::string& path) const
    {
        const auto found = sheets_.find(path);
        return found == sheets_.end() ? nullptr : &found->second;
    }
    const std::map<std::string, std::string>& failures() const { return failures_; }

private:
    std::mutex mutex_;
    std::map<std::string, music_library::CueTracks> sheets_;
    std::map<std::string, std::string> failures_;
};

void measure_all(std::vector<Measured>& files, const LoudnessRequest& request)
{
    media::LoudnessOptions options;
    options.true_peak = request.true_peak;
    options.limits.work = request.time_limit;
    options.limits.isolated = request.sandbox;
    options.limits.memory_limit = request.memory_limit;
    Sheets sheets;
    options.ranges = [&sheets](const std::string& path, const media::MediaInfo& info) {
        return sheets.ranges(path, info);
    };
    std::vector<std::string> paths;
    paths.reserve(files.size());
    for (const Measured& file : files) {
        paths.push_back(file.path);
    }
    ProgressBar progress(std::cerr, isatty(STDERR_FILENO) == 1);
    std::vector<media::MeasuredFile> measured = media::measure_loudness(
        paths, options, request.jobs,
        [&progress](std::size_t done, std::size_t total) { progress(done, total); });
    std::vector<Measured> all;
    for (std::size_t i = 0; i < files.size(); ++i) {
        Measured file = std::move(files[i]);
        const media::MediaInfo* info = measured[i].info ? &*measured[i].info : nullptr;
        if (const auto failure = sheets.failures().find(file.path);
            failure != sheets.failures().end()) {
            std::cerr << "musiccore: " << printable(file.path) << ": " << printable(failure->second)
                      << '\n';
        }
        const music_library::CueTracks* sheet = sheets.sheet(file.path);
        if (sheet != nullptr && measured[i].ranges.size() == sheet->tracks.size() &&
            info != nullptr) {
            // An image: each of its tracks in its place, named and grouped by its tags.
            for (std::size_t k = 0; k < sheet->tracks.size(); ++k) {
                Measured part{file.path + "#" + std::to_string(sheet->tracks[k].cue_track),
                              file.root,
                              std::move(measured[i].ranges[k]),
                              {},
                              {}};
                if (request.albums) {
                    media::MediaInfo tagged = *info;
                    tagged.tags = sheet->tracks[k].tags;
                    part.album_key = album_key(part, request, &tagged);
                }
                all.push_back(std::move(part));
            }
            continue;
        }
        file.loudness = std::move(measured[i].loudness);
        file.error = std::move(measured[i].error);
        if (request.albums && file.loudness) {
            file.album_key = album_key(file, request, info);
        }
        all.push_back(std::move(file));
    }
    files = std::move(all);
}

struct Album {
    std::string name;  // its album tag, or its folder
    media::Loudness loudness;
    std::size_t tracks = 0;
    std::size_t failed = 0;
};

std::map<std::string, Album> albums_of(const std::vector<Measured>& files)
{
    std::map<std::string, std::vector<media::Loudness>> measured;
    std::map<std::string, Album> albums;
    for (const Measured& file : files) {
        if (file.album_key.empty() && file.loudness) {
            continue;
        }
        // A failed track counts against the album of its folder.
        const std::string key = file.loudness
                                    ? file.album_key
                                    : "folder\n" + fs::path(file.path).parent_path().string();
        Album& album = albums[key];
        album.name = key.substr(key.rfind('\n') + 1);
        if (file.loudness) {
            measured[key].push_back(*file.loudness);
            ++album.tracks;
        } else {
            ++album.failed;
        }
    }
    for (auto& [key, album] : albums) {
        album.loudness = media::album_loudness(measured[key]);
    }
    return albums;
}

std::string number(const std::optional<double>& value, int decimals, const char* unit)
{
    if (!value) {
        return "-";
    }
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(decimals) << *value << unit;
    return text.str();
}

std::string gain(const media::Loudness& loudness)
{
    const auto db = media::replaygain_gain_db(loudness);
    return db ? media::replaygain_gain_text(*db) : "-";
}

void print_text(const std::vector<Measured>& files, const std::map<std::string, Album>& albums)
{
    std::cout << "    LUFS     LU  SAMPLE PEAK     dBTP      GAIN  FILE\n";
    const auto line = [](const media::Loudness& l, const std::string& name) {
        std::cout << std::setw(8) << number(l.integrated_lufs, 2, "") << ' ' << std::setw(6)
                  << number(l.range_lu, 2, "") << "  " << std::setw(11)
                  << media::replaygain_peak_text(l.sample_peak) << ' ' << std::setw(8)
                  << number(l.true_peak ? media::peak_db(*l.true_peak) : std::nullopt, 2, "") << ' '
                  << std::setw(9) << gain(l) << "  " << printable(name) << '\n';
    };
    for (const Measured& file : files) {
        if (file.loudness) {
            line(*file.loudness, file.path);
        } else {
            std::cerr << "musiccore: " << printable(file.path) << ": " << printable(file.error)
                      << '\n';
        }
    }
    for (const auto& [key, album] : albums) {
        line(album.loudness,
             "album: " + album.name + " (" + std::to_string(album.tracks) + " tracks" +
                 (album.failed > 0 ? ", " + std::to_string(album.failed) + " failed and left out"
                                   : "") +
                 ")");
    }
}

nlohmann::json optional_json(const std::optional<double>& value)
{
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::string utf8(const std::string& text)
{
    return is_utf8(text) ? text : bytes_as_characters(text);
}

nlohmann::json loudness_json(const media::Loudness& l)
{
    return {{"loudness_lufs", optional_json(l.integrated_lufs)},
            {"loudness_range_lu", optional_json(l.range_lu)},
            {"sample_peak", l.sample_peak},
            {"true_peak_dbtp",
             optional_json(l.true_peak ? media::peak_db(*l.true_peak) : std::nullopt)},
            {"gain_db", optional_json(media::replaygain_gain_db(l))},
            {"peak", media::replaygain_peak(l)}};
}

void print_json(const std::vector<Measured>& files, const std::map<std::string, Album>& albums)
{
    nlohmann::json document{{"version", json_version}};
    document["tracks"] = nlohmann::json::array();
    document["failures"] = nlohmann::json::array();
    for (const Measured& file : files) {
        if (!file.loudness) {
            document["failures"].push_back(
                {{"path", utf8(file.path)}, {"error", utf8(file.error)}});
            continue;
        }
        nlohmann::json track = loudness_json(*file.loudness);
        track["path"] = utf8(file.path);
        track["track_gain_db"] = track["gain_db"];
        track["track_peak"] = track["peak"];
        if (const auto album = albums.find(file.album_key); album != albums.end()) {
            track["album_gain_db"] =
                optional_json(media::replaygain_gain_db(album->second.loudness));
            track["album_peak"] = media::replaygain_peak(album->second.loudness);
        }
        document["tracks"].push_back(std::move(track));
    }
    if (!albums.empty()) {
        document["albums"] = nlohmann::json::array();
        for (const auto& [key, album] : albums) {
            nlohmann::json entry = loudness_json(album.loudness);
            entry["album"] = utf8(album.name);
            entry["tracks"] = album.tracks;
            entry["failed"] = album.failed;
            document["albums"].push_back(std::move(entry));
        }
    }
    std::cout << document.dump(isatty(STDOUT_FILENO) == 1 ? 2 : -1) << '\n';
}

void print_csv(const std::vector<Measured>& files, const std::map<std::string, Album>& albums)
{
    std::cout << "path,loudness_lufs,loudness_range_lu,sample_peak,true_peak_dbtp,track_gain_db,"
                 "track_peak,album_gain_db,album_peak\n";
    for (const Measured& file : files) {
        if (!file.loudness) {
            std::cerr << "musiccore: " << printable(file.path) << ": " << printable(file.error)
                      << '\n';
            continue;
        }
        const media::Loudness& l = *file.loudness;
        std::cout << csv_field(file.path) << ',' << number(l.integrated_lufs, 2, "") << ','
                  << number(l.range_lu, 2, "") << ',' << media::replaygain_peak_text(l.sample_peak)
                  << ',' << number(l.true_peak ? media::peak_db(*l.true_peak) : std::nullopt, 2, "")
                  << ',' << number(media::replaygain_gain_db(l), 2, "") << ','
                  << media::replaygain_peak_text(media::replaygain_peak(l)) << ',';
        if (const auto album = albums.find(file.album_key); album != albums.end()) {
            std::cout << number(media::replaygain_gain_db(album->second.loudness), 2, "") << ','
                      << media::replaygain_peak_text(
                             media::replaygain_peak(album->second.loudness));
        } else {
            std::cout << ',';
        }
        std::cout << '\n';
    }
}

void print(const std::vector<Measured>& files, const std::map<std::string, Album>& albums,
           Format format)
{
    switch (format) {
    case Format::json:
        print_json(files, albums);
        break;
    case Format::csv:
        print_csv(files, albums);
        break;
    case Format::text:
        print_text(files, albums);
        break;
    }
}

}  // namespace

int run_loudness(const LoudnessRequest& request)
{
    std::vector<Measured> files = files_of(request.paths);
    measure_all(files, request);
    const auto albums = request.albums ? albums_of(files) : std::map<std::string, Album>{};
    print(files, albums, request.format);
    const bool failed = std::any_of(files.begin(), files.end(),
                                    [](const Measured& file) { return !file.loudness; });
    return failed ? 1 : 0;
}

void print_loudness_changes(const music_library::LoudnessChanges& changes, std::ostream& err)
{
    for (const music_library::ScanFailure& failure : changes.failures) {
        err << "musiccore: " << printable(failure.path.string()) << ": "
            << printable(failure.message) << '\n';
    }
    err << "loudness: " << changes.measured << " measured, " << changes.failures.size()
        << " failed, " << changes.kept << " kept\n";
}

void print_stored_loudness(const std::vector<music_library::StoredLoudness>& tracks, Format format)
{
    std::vector<Measured> files;
    std::map<std::string, Album> albums;
    for (const music_library::StoredLoudness& track : tracks) {
        const int cue_track = music_library::cue_track_of(track);
        Measured file{cue_track == 0 ? track.path.string()
                                     : track.path.string() + "#" + std::to_string(cue_track),
                      0, track.track, track.failure, track.album_group};
        if (!file.loudness && file.error.empty()) {
            file.error = "not measured yet (scan --db --loudness measures it)";
        }
        Album& album = albums[track.album_group];
        album.name = track.album_group;
        if (track.album) {
            album.loudness = *track.album;
        }
        ++(file.loudness ? album.tracks : album.failed);
        files.push_back(std::move(file));
    }
    print(files, albums, format);
}

}  // namespace cli
