// A track from what a read told of its file, for the scan, the index and load_track.
#include <musiccore/library.hpp>
#include <musiccore/track.hpp>

#include <utility>  // std::move

namespace music_library {

ScannedTrack scanned_track(std::filesystem::path file, media::MediaInfo info)
{
    ScannedTrack track;
    track.path = std::move(file);
    track.duration_secs = info.duration_secs;
    track.artist = media::joined(info.tags, "ARTIST").value_or(track.artist);
    track.album = media::joined(info.tags, "ALBUM").value_or(track.album);
    track.title = media::joined(info.tags, "TITLE").value_or(track.title);
    track.media = std::move(info);
    return track;
}

}  // namespace music_library

Track load_track(std::filesystem::path file, const media::Limits& limits)
{
    media::MediaInfo info = media::read_info(file.string(), limits);
    music_library::ScannedTrack scanned =
        music_library::scanned_track(std::move(file), std::move(info));
    return static_cast<Track&&>(std::move(scanned));
}

Track load_track(std::filesystem::path file)
{
    return load_track(std::move(file), media::Limits{});
}

Track load_track(std::filesystem::path file, std::chrono::steady_clock::time_point deadline)
{
    return load_track(std::move(file), media::Limits{std::chrono::milliseconds::zero(), deadline});
}
