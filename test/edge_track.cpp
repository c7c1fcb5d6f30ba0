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

}  // namespace
