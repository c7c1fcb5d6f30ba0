#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <string>

#include <unistd.h>

#include <musiccore/library.hpp>

namespace {

namespace fs = std::filesystem;

const fs::path music = MUSICCORE_MUSIC_DIR;

// One line per track and failure, and the skipped count.
std::string summary(const music_library::ScanResult& result)
{
    std::string text;
    for (const auto& t : result.tracks) {
        text += fs::relative(t.path, music).string() + " " + std::to_string(t.duration_secs) + " " +
                t.artist + "|" + t.album + "|" + t.title + "\n";
    }
    for (const auto& f : result.failures) {
        text += fs::relative(f.path, music).string() + ": " + f.message + "\n";
    }
    return text + "skipped " + std::to_string(result.skipped);
}

TEST(scan_edges, a_folder_of_every_kind)
{
    // The FIFO is never opened and the link loop never followed: either would hang
    // or repeat files.
    const std::string expected = "a/chained.opus 1.500000 Ann; Bob|Live|Intro\n"
                                 "a/short.opus 1.000000 Ann; Bob|Live|Intro\n"
                                 "b/plain.opus 0.500000 <unknown>||<unknown>\n"
                                 "c/LOUD.OPUS 0.500000 <unknown>||<unknown>\n"
                                 "b/broken.opus: op_open_file failed with error code -132\n"
                                 "skipped 1";
    for (unsigned jobs : {1U, 3U}) {
        std::atomic<int> inside{0};
        std::size_t last_done = 0;
        std::size_t last_total = 0;
        music_library::ScanOptions options;
        options.jobs = jobs;
        options.on_progress = [&](std::size_t done, std::size_t total) {
            EXPECT_EQ(++inside, 1) << "called from two threads at once";
            last_done = done;
            last_total = total;
            --inside;
        };
        EXPECT_EQ(summary(music_library::scan(music, options)), expected) << jobs << " jobs";
        EXPECT_EQ(last_done, 6U);
        EXPECT_EQ(last_total, 6U);
    }
}

TEST(scan_edges, failures)
{
    music_library::ScanOptions no_time;
    no_time.file_time_limit = std::chrono::milliseconds(0);
    const auto late = music_library::scan(music / "b", no_time);
    EXPECT_EQ(late.failures.size(), 3U);  // the Vorbis file too: it was not read
    EXPECT_EQ(late.failures.at(0).message,
              "op_open_file failed with error code -132: time limit passed");

    EXPECT_THROW(music_library::scan(music / "none"), fs::filesystem_error);
    EXPECT_THROW(music_library::scan(music / "notes.txt"), fs::filesystem_error);

    // A folder that cannot be listed. Root can list any: a child drops to nobody.
    const fs::path locked = fs::temp_directory_path() / ("musiccore-" + std::to_string(getpid()));
    fs::create_directories(locked / "closed");
    fs::permissions(locked / "closed", fs::perms::none);
    const auto scan_locked = [&locked] {
        if (geteuid() == 0 && setuid(65534) != 0) {
            std::_Exit(2);
        }
        const auto result = music_library::scan(locked);
        std::cerr << result.failures.at(0).path.string() << ": " << result.failures[0].message;
        std::_Exit(static_cast<int>(result.failures.size()));
    };
    EXPECT_EXIT(scan_locked(), testing::ExitedWithCode(1),
                "closed: cannot list the folder: Permission denied");
    fs::permissions(locked / "closed", fs::perms::owner_all);
    fs::remove_all(locked);
}

}  // namespace
