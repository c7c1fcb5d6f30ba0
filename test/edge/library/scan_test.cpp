#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <musiccore/library.hpp>

#include "library/file_listing.hpp"
#include "support/test_files.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path music = MUSICCORE_MUSIC_DIR;

// What the scan finds is checked end to end, through the command's JSON.

// A folder's cover image by its name, the best name first, and only a file: each track
// of the folder names it, and a track in a folder below names its own folder's.
TEST(scan_edges, folder_covers)
{
    const test_files::TempFolder folder("covers");
    fs::create_directories(folder / "album" / "cover.jpg");  // a folder of that name
    fs::create_directories(folder / "album" / "disc 2");
    fs::create_directories(folder / "album" / "disc 3");
    fs::create_directories(folder / "bare");
    fs::copy_file(test_files::samples + "tone.flac", folder / "album" / "one.flac");
    fs::copy_file(test_files::samples + "tone.flac", folder / "album" / "disc 2" / "two.flac");
    fs::copy_file(test_files::samples + "tone.flac", folder / "bare" / "three.flac");
    fs::copy_file(test_files::samples + "tone.flac", folder / "album" / "disc 3" / "four.flac");
    for (const char* image : {"album/FRONT.PNG", "album/front.jpeg", "album/disc 2/Folder.jpg",
                              "album/disc 2/cover.png", "album/disc 3/Cover.jpeg",
                              "album/disc 3/cover.png", "bare/back.jpg", "bare/cover.gif"}) {
        std::ofstream(folder / image) << "an image";
    }
    std::vector<std::string> found;
    for (const auto& track : music_library::scan(folder.path()).tracks) {
        found.push_back(track.path.filename().string() + " " + track.folder_cover);
    }
    EXPECT_EQ(found, (std::vector<std::string>{"two.flac cover.png", "four.flac Cover.jpeg",
                                               "one.flac front.jpeg", "three.flac "}));
    std::vector<std::string> samples;
    for (const auto& track : music_library::scan(music / "covers").tracks) {
        samples.push_back(track.folder_cover);
    }
    EXPECT_EQ(samples, std::vector<std::string>(5, "Folder.JPG"));
}

// A file that keeps opusfile busy for seconds: the scan stops it at its time
// limit, reports progress meanwhile, and lets an exception from on_progress out.
TEST(scan_edges, a_file_past_its_time_limit)
{
    const fs::path dir = fs::temp_directory_path() / ("musiccore-slow-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file(MUSICCORE_HOSTILE_DIR "/slow.opus", dir / "slow.opus");
    music_library::ScanOptions options;
    options.file_time_limit = std::chrono::milliseconds(300);
    using Report = std::pair<std::size_t, std::size_t>;  // done, total
    std::vector<Report> reported;
    options.on_progress = [&reported](std::size_t done, std::size_t total) {
        reported.emplace_back(done, total);
    };
    const auto result = music_library::scan(dir, options);
    EXPECT_EQ(result.failures.at(0).message, "Ogg Opus: time limit passed");
    EXPECT_EQ(reported.front(), Report(0, 1));  // while the file was read
    EXPECT_EQ(reported.back(), Report(1, 1));   // and once at the end
    options.on_progress = [](std::size_t, std::size_t) { throw std::runtime_error("stop"); };
    EXPECT_THROW(music_library::scan(dir, options), std::runtime_error);
    // A limit below zero means nothing; zero means none.
    for (const auto limit : {std::chrono::milliseconds(-1), std::chrono::milliseconds::min()}) {
        options.file_time_limit = limit;
        EXPECT_THROW(music_library::scan(dir, options), std::invalid_argument);
    }
    fs::remove_all(dir);
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
        options.file_time_limit = std::chrono::milliseconds::max();  // no overflow
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

// A folder swapped for a link to one outside while the walk goes on (as an attacker
// who can write in the tree would): the walk never goes through it, so nothing outside
// the root is listed, whenever the swap comes.
TEST(scan_edges, a_folder_swapped_for_a_link_leads_nowhere)
{
    const test_files::TempFolder dir("swapped");
    const fs::path root = dir / "root";
    fs::create_directories(root / "a/b");
    fs::create_directories(dir / "outside/b");
    fs::copy_file(fs::path(test_files::samples) / "plain.opus", root / "a/b/inside.opus");
    fs::copy_file(fs::path(test_files::samples) / "plain.opus", dir / "outside/b/outside.opus");
    fs::create_directory_symlink(dir / "outside", root / "link");
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {  // "a" and "link" change places, at once, again and again
            renameat2(AT_FDCWD, (root / "a").c_str(), AT_FDCWD, (root / "link").c_str(),
                      RENAME_EXCHANGE);
        }
    });
    music_library::ScanOptions options;
    options.isolated = false;  // the walk is what is tested; reading here is quicker
    std::size_t outside = 0;
    for (int i = 0; i < 300; ++i) {
        const auto result = music_library::scan(root, options);
        for (const auto& track : result.tracks) {
            outside += track.path.filename() == "outside.opus" ? 1 : 0;
        }
        for (const auto& failure : result.failures) {
            outside += failure.path.string().find("outside.opus") != std::string::npos ? 1 : 0;
        }
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(outside, 0U);
}

// A file is read as the walk listed it: opened from the root one folder at a time,
// through no folder link, and only while it is the file listed. What changed since
// the walk fails with what it is now.
TEST(scan_edges, files_are_opened_as_listed)
{
    const test_files::TempFolder dir("opened");
    const fs::path root = dir / "root";
    for (const char* folder : {"root/a", "root/b", "root/c", "elsewhere/c"}) {
        fs::create_directories(dir / folder);
    }
    for (const char* file :
         {"a/kept.opus", "a/replaced.opus", "a/fifo.opus", "b/moved.opus", "c/inside.opus"}) {
        fs::copy_file(test_files::samples + "plain.opus", root / file);
    }
    fs::copy_file(test_files::samples + "plain.opus", dir / "elsewhere/c/inside.opus");
    fs::create_symlink(root / "a/kept.opus", root / "a/link.opus");
    const auto listing = music_library::detail::list_files(root, 1, true);
    ASSERT_EQ(listing.files.size(), 6U);

    fs::copy_file(test_files::samples + "short.opus", root / "a/new.opus");
    fs::rename(root / "a/new.opus", root / "a/replaced.opus");  // another file at its name
    fs::remove(root / "a/fifo.opus");
    ASSERT_EQ(mkfifo((root / "a/fifo.opus").c_str(), 0600), 0);
    fs::rename(root / "b", root / "b-gone");
    fs::rename(root / "c", dir / "c-gone");  // and a link to a folder elsewhere in its place
    fs::create_directory_symlink(dir / "elsewhere/c", root / "c");

    music_library::detail::ListedOpener opener(listing);
    std::vector<std::string> opened;
    for (std::size_t i = 0; i < listing.files.size(); ++i) {
        const auto file = opener.open(i);
        opened.push_back(fs::path(listing.files[i]).filename().string() + ": " +
                         (file.fd ? std::to_string(file.size) + " bytes" : file.failure));
    }
    const auto plain = std::to_string(fs::file_size(test_files::samples + "plain.opus"));
    EXPECT_EQ(opened, (std::vector<std::string>{
                          "fifo.opus: not a regular file", "kept.opus: " + plain + " bytes",
                          "link.opus: " + plain + " bytes",  // a file link, as the walk takes it
                          "replaced.opus: the file was replaced after it was listed",
                          "moved.opus: No such file or directory",
                          "inside.opus: Not a directory",  // not through the folder link
                      }));
}

}  // namespace
