#include <gtest/gtest.h>

#include <musiccore/track.hpp>

namespace {

TEST(track_edges, duration_only_for_the_opus_extension)
{
    // None of these exist: a name without the exact extension is never opened.
    for (const char* path : {"x.mp3", "dir/.opus", "song.OPUS"}) {
        const Track t("a", "b", "c", path);
        EXPECT_EQ(t.duration_secs, 0) << path;
        t.callback();  // default hooks do nothing, and do not throw
        t.info_callback(t);
    }
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
