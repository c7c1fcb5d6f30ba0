#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include <musiccore/library.hpp>

namespace {

namespace fs = std::filesystem;

const fs::path music = MUSICCORE_MUSIC_DIR;

// What the scan finds is checked end to end, through the command's JSON.
TEST(scan_edges, progress)
{
    std::atomic<int> inside{0};
    std::size_t last_done = 0;
    std::size_t last_total = 0;
    music_library::ScanOptions options;
    options.jobs = 3;
    options.on_progress = [&](std::size_t done, std::size_t total) {
        EXPECT_EQ(++inside, 1) << "called from two threads at once";
        last_done = done;
        last_total = total;
        --inside;
    };
    EXPECT_EQ(music_library::scan(music, options).tracks.size(), 4U);
    EXPECT_EQ(last_done, 7U);  // every file read, the broken one and the Vorbis ones too
    EXPECT_EQ(last_total, 7U);
}

TEST(scan_edges, failures)
{
    EXPECT_THROW(music_library::scan(music / "none"), fs::filesystem_error);
    EXPECT_THROW(music_library::scan(music / "notes.txt"), fs::filesystem_error);

    // A folder that cannot be listed, and threads that cannot all be started. Root
    // can list any folder and start any thread: a child drops to nobody.
    const fs::path locked = fs::temp_directory_path() / ("musiccore-" + std::to_string(getpid()));
    fs::create_directories(locked / "closed");
    fs::permissions(locked / "closed", fs::perms::none);
    fs::copy(music / "a", locked);
    const auto scan_locked = [&locked] {
        const rlimit one_more_thread{2, 2};
        if (geteuid() == 0 &&
            (setuid(65534) != 0 || setrlimit(RLIMIT_NPROC, &one_more_thread) != 0)) {
            std::_Exit(2);
        }
        music_library::ScanOptions options;
        options.jobs = 4;
        const auto result = music_library::scan(locked, options);
        std::cerr << result.tracks.size() << " tracks; " << result.failures.at(0).path.string()
                  << ": " << result.failures[0].message;
        std::_Exit(static_cast<int>(result.failures.size()));
    };
    EXPECT_EXIT(scan_locked(), testing::ExitedWithCode(1),
                "2 tracks; .*closed: cannot list the folder: Permission denied");
    fs::permissions(locked / "closed", fs::perms::owner_all);
    fs::remove_all(locked);
}

}  // namespace
