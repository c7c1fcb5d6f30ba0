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

TEST(track_edges, load_track)
{
    const std::string samples = MUSICCORE_SAMPLE_DIR;
    const struct {
        std::string file;
        std::string artist, album, title;
        double secs;
    } rows[] = {
        {"short.opus", "Ann; Bob", "Live", "Intro", 1.0},
        {"plain.opus", "<unknown>", "", "<unknown>", 0.5},  // the defaults where none
    };
    for (const auto& row : rows) {
        const Track t = load_track(samples + "/" + row.file);
        EXPECT_EQ(t.path, samples + "/" + row.file);
        EXPECT_EQ(t.artist, row.artist);
        EXPECT_EQ(t.album, row.album);
        EXPECT_EQ(t.title, row.title);
        EXPECT_EQ(t.duration_secs, row.secs);
        EXPECT_FALSE(t.callback || t.info_callback);
    }
    const Track from_path(std::filesystem::path(samples + "/short.opus"));  // no tags read
    EXPECT_EQ(from_path.duration_secs, 1.0);
    EXPECT_EQ(from_path.artist, "<unknown>");
}

}  // namespace
