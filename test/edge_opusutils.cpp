#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Flips the checksum of the Ogg page that starts at the `nth` "OggS" (negative:
// counted from the end).
std::string with_bad_checksum(std::string bytes, int nth)
{
    std::vector<std::size_t> pages;
    for (auto at = bytes.find("OggS"); at != std::string::npos; at = bytes.find("OggS", at + 1)) {
        pages.push_back(at);
    }
    const std::size_t page = pages.at(nth < 0 ? pages.size() + nth : nth);
    bytes[page + 22] = static_cast<char>(bytes[page + 22] ^ 0xff);  // CRC field
    return bytes;
}

constexpr int op_efault = -129;      // the file cannot be opened
constexpr int op_enotformat = -132;  // not an Ogg Opus stream
constexpr double full_length = 65.43675;

TEST(opus_edges, unopenable_files)
{
    TempDir dir;
    const std::string data = read_file(data_file);
    fs::create_directory(dir.path() / "folder.opus");
    const std::string samples = MUSICCORE_SAMPLE_DIR;
    struct Case {
        std::string path;
        int code;
    };
    const Case cases[] = {
        {"does/not/exist.opus", op_efault},
        {data_file + std::string(1, '\0') + "junk", op_efault},  // never opens the prefix
        {"/dev/null", op_enotformat},
        {dir.write("empty.opus", "").string(), op_enotformat},
        {(dir.path() / "folder.opus").string(), op_enotformat},
        {dir.write("notes.opus", "not an Ogg stream\n").string(), op_enotformat},
        {samples + "/vorbis.ogg", op_enotformat},
        {dir.write("first.opus", with_bad_checksum(data, 0)).string(), op_enotformat},
    };
    for (const auto& c : cases) {
        const auto e = expect_opus_error(c.path);
        EXPECT_EQ(e.function_name(), "op_open_file") << c.path;
        EXPECT_EQ(e.error_code(), c.code) << c.path;
        EXPECT_EQ(e.what(), "op_open_file failed with error code " + std::to_string(c.code));
    }
}

TEST(opus_edges, damaged_and_chained_files)
{
    TempDir dir;
    const std::string data = read_file(data_file);
    const std::string samples = MUSICCORE_SAMPLE_DIR;

    // Both links count: 48000 + 24000 samples.
    EXPECT_EQ(opus_utils::get_duration_secs(samples + "/chained.opus"), 1.5);
    EXPECT_EQ(opus_utils::get_duration_secs(samples + "/short.opus"), 1.0);
    // A page with a bad checksum is skipped; the length is then read from the last
    // good page, so it can only shrink.
    EXPECT_EQ(opus_utils::get_duration_secs(
                  dir.write("middle.opus", with_bad_checksum(data, 30)).string()),
              full_length);
    for (const auto& damaged : {dir.write("last.opus", with_bad_checksum(data, -1)),
                                dir.write("half.opus", data.substr(0, data.size() / 2))}) {
        const double secs = opus_utils::get_duration_secs(damaged.string());
        EXPECT_GT(secs, 0) << damaged;
        EXPECT_LT(secs, full_length) << damaged;
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
    const std::string bytes = read_file(data_file);
    std::thread writer([&fifo, &bytes] {
        // Non-blocking open fails until the reader is there; after ~10 s without
        // one, give up so that a broken reader fails the test instead of hanging it.
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < 1000; ++tries, usleep(10000)) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        }
        if (fd < 0) {
            return;
        }
        fcntl(fd, F_SETFL, 0);  // blocking writes from here on
        for (ssize_t n = 0, done = 0; done < static_cast<ssize_t>(bytes.size()); done += n) {
            n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                break;
            }
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
    const Track plain;  // no hooks
    EXPECT_FALSE(plain.callback);
    EXPECT_FALSE(plain.info_callback);

    const Track defaults("a", "b", "c", "x.mp3");  // callable no-ops
    ASSERT_TRUE(defaults.callback && defaults.info_callback);
    defaults.callback();
    defaults.info_callback(defaults);

    std::string seen;
    const Track hooked("a", "b", "c", "x.mp3", {}, [&seen](const TrackInfo& i) { seen = i.title; });
    EXPECT_EQ(seen, "");  // stored, not called by the record itself
    hooked.info_callback(hooked);
    EXPECT_EQ(seen, "c");
}

}  // namespace
