#include <gtest/gtest.h>

#include <filesystem>

#include <musiccore/track.hpp>

namespace fs = std::filesystem;

static const char* const path = "test/test.opus";

TEST(TrackTests, can_load_track_1)
{
    ASSERT_NO_THROW({
        Track t(path);
        ASSERT_EQ(t.path, path);
        ASSERT_EQ(t.album, "");
        ASSERT_EQ(t.artist, "<unknown>");
        ASSERT_EQ(t.title, "<unknown>");
    });
}

TEST(TrackTests, can_load_track_2)
{
    ASSERT_NO_THROW({
        Track t("artist", "album", "title", path);
        ASSERT_EQ(t.artist, "artist");
        ASSERT_EQ(t.album, "album");
        ASSERT_EQ(t.title, "title");
        ASSERT_EQ(t.path, path);
        ASSERT_EQ(t.duration_secs, 65.43675);
    });
}

TEST(TrackTests, can_load_track_3)
{
    Track t;
    ASSERT_EQ(t.album, "");
    ASSERT_EQ(t.artist, "<unknown>");
    ASSERT_EQ(t.title, "<unknown>");
    ASSERT_EQ(t.duration_secs, 0);
    // clang-format off: the failure message quotes this expression as written
    ASSERT_EQ(t.path, fs::path{"/dev/null"});
    // clang-format on
}
