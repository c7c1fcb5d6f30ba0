#pragma once

#include <chrono>      // std::chrono::steady_clock
#include <filesystem>  // std::filesystem::path
#include <functional>  // std::function
#include <string>      // std::string
#include <utility>     // std::move

#include <musiccore/export.hpp>
#include <musiccore/media.hpp>
#include <musiccore/opusutils.hpp>

// What a track is called, by whom, and how long it plays (0 when not determined).
struct TrackInfo {
    std::string artist = "<unknown>";
    std::string album;
    std::string title = "<unknown>";
    double duration_secs = 0;
};

// One playable piece of music: its descriptive fields, its file, and two hooks the
// application can attach. The record only stores the hooks; it never calls them.
class Track : public TrackInfo {
public:
    std::filesystem::path path = "/dev/null";
    std::function<void(TrackInfo const&)> info_callback;
    std::function<void()> callback;

    // Default texts, path "/dev/null", duration 0, and empty hooks.
    Track() = default;

    // Default texts and empty hooks; the duration is read from `file`, which must be
    // a readable Ogg Opus file whatever its name (throws opus_utils::opus_error).
    explicit Track(std::filesystem::path file) : path(std::move(file))
    {
        duration_secs = opus_utils::get_duration_secs(path.string());
    }

    // The hooks default to no-ops. The duration is read only when the extension is
    // exactly ".opus" (throws opus_utils::opus_error if that file cannot be read);
    // any other file stays untouched at duration 0.
    Track(
        std::string artist_name, std::string album_name, std::string track_title,
        std::filesystem::path file, std::function<void()> on_event = [] {},
        std::function<void(TrackInfo const&)> on_info = [](auto) {})
        : TrackInfo{std::move(artist_name), std::move(album_name), std::move(track_title), 0},
          path(std::move(file)), info_callback(std::move(on_info)), callback(std::move(on_event))
    {
        duration_secs = path.extension() == std::filesystem::path(".opus")
                            ? opus_utils::get_duration_secs(path.string())
                            : 0;
    }
};

// A track of the audio file at `file`, in any format that media::read_info reads,
// from one read: the duration (0 when the input cannot tell it) and, where the file
// has them, its artist, album and title, repeated values joined with "; " (the
// defaults where it has none). Hooks empty. Throws media::media_error as
// media::read_info does.
MUSICCORE_EXPORT Track load_track(std::filesystem::path file, const media::Limits& limits);

// As above, with the default limit: 10 s of processor time.
MUSICCORE_EXPORT Track load_track(std::filesystem::path file);

// As above, with no limit but `deadline`: the read stops at its first read past it.
MUSICCORE_EXPORT Track load_track(std::filesystem::path file,
                                  std::chrono::steady_clock::time_point deadline);
