#include <gtest/gtest.h>

#include <string>

#include <musiccore/track.hpp>

namespace {

TEST(track_edges, duration_only_for_the_opus_extension)
{
    // None of these exist: a name without the exact extension is never opened.
    for (const char* path : {"x.mp3", "dir/.opus", "song.OPUS"}) {
        const Track t("a", "b", "c", path);
        EXPECT_EQ(t.duration_secs, 0) << path;
        ASSERT_TRUE(t.callback && t.info_callback) << path;  // no-ops, not empty
        t.callback();
        t.info_callback(t);
    }
}

// The record keeps the hooks it is given and never calls them itself: copies share
// what the hooks capture, and the info hook is handed what the caller passes.
TEST(track_edges, keeps_the_hooks_it_is_given)
{
    int events = 0;
    std::string seen;
    const Track t(
        "Ann", "First", "Intro", "x.flac", [&events] { ++events; },
        [&seen](const TrackInfo& info) { seen = info.artist + "/" + info.title; });
    EXPECT_EQ(events, 0);
    EXPECT_EQ(seen, "");
    const Track copy = t;
    copy.callback();
    t.callback();
    EXPECT_EQ(events, 2);
    TrackInfo other;
    other.artist = "Bob";
    t.info_callback(other);
    EXPECT_EQ(seen, "Bob/<unknown>");
    t.info_callback(t);
    EXPECT_EQ(seen, "Ann/Intro");
}

// The texts load_track reads are checked end to end, through the command's JSON.
TEST(track_edges, load_track)
{
    const std::string samples = MUSICCORE_SAMPLE_DIR;
    const Track loaded = load_track(samples + "/short.opus");
    EXPECT_EQ(loaded.path, samples + "/short.opus");
    EXPECT_EQ(loaded.duration_secs, 1.0);
    EXPECT_FALSE(loaded.callback || loaded.info_callback);
    const Track from_path(std::filesystem::path(samples + "/short.opus"));  // no tags read
    EXPECT_EQ(from_path.duration_secs, 1.0);
    EXPECT_EQ(from_path.artist, "<unknown>");
}

}  // namespace
