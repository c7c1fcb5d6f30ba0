#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <musiccore/opusutils.hpp>
#include <musiccore/track.hpp>

#include "temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

const char* const data_file = "test/test.opus";

// Runs the duration query and returns the opus_error it must throw.
opus_utils::opus_error expect_opus_error(const std::string& path)
{
    try {
        const double secs = opus_utils::get_duration_secs(path);
        ADD_FAILURE() << path << " gave " << secs << " s instead of an error";
    } catch (const opus_utils::opus_error& e) {
        return e;
    }
    return opus_utils::opus_error("none", 0);
}

TEST(opus_edges, unopenable_files)
{
    TempDir dir;
    const auto text_file = dir.write("notes.opus", "not an Ogg stream\n");
    for (const std::string path : {"does/not/exist.opus", "/dev/null", text_file.c_str()}) {
        const auto e = expect_opus_error(path);
        EXPECT_EQ(e.function_name(), "op_open_file") << path;
        EXPECT_LT(e.error_code(), 0) << path;
        EXPECT_EQ(e.what(), "op_open_file failed with error code " + std::to_string(e.error_code()));
    }
}

// A pipe cannot seek, so the whole-stream length is unknown: the open succeeds and
// op_pcm_total fails, the path where the query must release an open handle.
TEST(opus_edges, unseekable_input)
{
    TempDir dir;
    const fs::path fifo = dir.path() / "pipe.opus";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    // The query closes its end early; the writer must see EPIPE, not die of SIGPIPE.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&fifo] {
        std::ifstream source(data_file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(source)), {});
        int fd = -1;
        // Non-blocking open fails until the reader is there; give up after ~10 s so a
        // broken reader fails the test instead of hanging it.
        for (int tries = 0; fd < 0 && tries < 1000; ++tries) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) {
                usleep(10000);
            }
        }
        if (fd < 0) {
            return;
        }
        fcntl(fd, F_SETFL, 0);  // blocking writes from here on
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        close(fd);
    });
    const auto e = expect_opus_error(fifo.string());
    writer.join();
    std::signal(SIGPIPE, previous);

    EXPECT_EQ(e.function_name(), "op_pcm_total");
    EXPECT_EQ(e.error_code(), -131);
    EXPECT_STREQ(e.what(), "op_pcm_total failed with error code -131");
}

TEST(opus_edges, error_owns_its_texts)
{
    std::string name = "op_open_file";
    const opus_utils::opus_error e(name, -130);
    name.assign("changed");
    const opus_utils::opus_error copy = e;
    EXPECT_STREQ(copy.what(), "op_open_file failed with error code -130");
}

TEST(track_edges, duration_only_for_opus_extension)
{
    // None of these files exist: only ".opus" names are opened.
    for (const char* path : {"x.mp3", "dir/.opus", "song.OPUS", "song.ogg", "song", "/dev/null"}) {
        const Track t("a", "b", "c", path);
        EXPECT_EQ(t.duration_secs, 0) << path;
        EXPECT_EQ(t.path, path);
    }
    EXPECT_THROW(Track("a", "b", "c", "missing.opus"), opus_utils::opus_error);
    EXPECT_THROW(Track(fs::path("/dev/null")), opus_utils::opus_error);  // no extension check
}

TEST(track_edges, hooks)
{
    const Track plain;
    EXPECT_FALSE(plain.callback);
    EXPECT_FALSE(plain.info_callback);

    Track defaults("a", "b", "c", "x.mp3");
    ASSERT_TRUE(defaults.callback);
    ASSERT_TRUE(defaults.info_callback);
    defaults.callback();  // the default hooks are callable no-ops
    defaults.info_callback(defaults);

    int calls = 0;
    TrackInfo seen;
    const Track hooked("a", "b", "c", "x.mp3", [&calls] { ++calls; },
                       [&seen](const TrackInfo& info) { seen = info; });
    hooked.callback();
    hooked.info_callback(hooked);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen.artist, "a");
    EXPECT_EQ(seen.title, "c");
}

TEST(track_edges, from_path_reads_duration_not_tags)
{
    const Track t{fs::path(data_file)};
    EXPECT_EQ(t.duration_secs, 65.43675);
    EXPECT_EQ(t.artist, "<unknown>");
    EXPECT_FALSE(t.callback);
}

}  // namespace
