// This program's own pread stands in for the system's: it blocks on one file until let
// go, as on a stalled network file system, slows another down, as on a slow one, and
// counts the reads of a music folder. Files are read on this program's threads here;
// reader processes have their own tests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <thread>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <musiccore/index.hpp>
#include <musiccore/library.hpp>
#include <musiccore/media.hpp>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::atomic<ino_t> stalled{0};
std::atomic<bool> let_go{false};
std::atomic<ino_t> slowed{0};
constexpr auto slowed_read = 100ms;
constexpr std::string_view counted_folder = "/musiccore-unread-";
std::atomic<int> counted_reads{0};
std::atomic<ino_t> fatal{0};     // a file whose read ends the program
std::atomic<ino_t> measured{0};  // a file whose bytes read are summed
std::atomic<long long> measured_bytes{0};

bool in_counted_folder(int fd)
{
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t size = readlink(link, target, sizeof target);
    const std::string_view path(target, size > 0 ? static_cast<std::size_t>(size) : 0);
    return path.find(counted_folder) != std::string_view::npos &&
           path.find("/music/") != std::string_view::npos;
}

}  // namespace

extern "C" ssize_t pread(int fd, void* data, size_t size, off_t offset)
{
    using Pread = ssize_t (*)(int, void*, size_t, off_t);
    static const auto system_pread = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread"));
    struct stat info {};
    if (stalled != 0 && fstat(fd, &info) == 0 && info.st_ino == stalled) {
        while (!let_go) {
            std::this_thread::sleep_for(10ms);
        }
    }
    if (slowed != 0 && fstat(fd, &info) == 0 && info.st_ino == slowed) {
        std::this_thread::sleep_for(slowed_read);
    }
    if (fatal != 0 && fstat(fd, &info) == 0 && info.st_ino == fatal) {
        kill(getpid(), SIGKILL);  // as a crash would, and with no exit of its own
    }
    if (in_counted_folder(fd)) {
        ++counted_reads;
    }
    const ssize_t got = system_pread(fd, data, size, offset);
    if (measured != 0 && got > 0 && fstat(fd, &info) == 0 && info.st_ino == measured) {
        measured_bytes += got;
    }
    return got;
}

namespace {

TEST(stuck, a_read_that_never_returns_fails_only_its_file)
{
    const fs::path dir =
        fs::temp_directory_path() / ("musiccore-stuck-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const char* name : {"a.opus", "b-stalled.opus", "c.opus"}) {
        fs::copy_file(MUSICCORE_SAMPLE_DIR "/short.opus", dir / name);
    }
    struct stat info {};
    ASSERT_EQ(stat((dir / "b-stalled.opus").c_str(), &info), 0);
    stalled = info.st_ino;

    music_library::ScanOptions options;
    options.isolated = false;  // this program's pread is the one that blocks
    options.jobs = 1;          // the stuck thread's place must be taken for c.opus
    options.file_time_limit = 300ms;
    const auto start = std::chrono::steady_clock::now();
    const auto result = music_library::scan(dir, options);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_EQ(result.tracks.size(), 2U);
    EXPECT_EQ(result.tracks[1].path, dir / "c.opus");
    ASSERT_EQ(result.failures.size(), 1U);
    EXPECT_EQ(result.failures[0].path, dir / "b-stalled.opus");
    EXPECT_EQ(result.failures[0].message, "read blocked past the time limit");

    let_go = true;  // the thread left behind ends on its own
    std::this_thread::sleep_for(200ms);
    fs::remove_all(dir);
}

// A file on a slow file system, whose read takes longer than the time limit on the
// clock but keeps moving, is read: only a read that stops moving is left behind.
TEST(stuck, a_slow_read_that_keeps_moving_is_read)
{
    const fs::path dir = fs::temp_directory_path() / ("musiccore-slow-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file(MUSICCORE_SAMPLE_DIR "/no-header.mp3", dir / "slow.mp3");  // read whole
    struct stat info {};
    ASSERT_EQ(stat((dir / "slow.mp3").c_str(), &info), 0);
    slowed = info.st_ino;

    music_library::ScanOptions options;
    options.isolated = false;
    options.file_time_limit = 2 * slowed_read + 50ms;
    const auto start = std::chrono::steady_clock::now();
    const auto result = music_library::scan(dir, options);
    EXPECT_GT(std::chrono::steady_clock::now() - start, options.file_time_limit);
    EXPECT_EQ(result.failures.size(), 0U);
    EXPECT_EQ(result.tracks.size(), 1U);
    slowed = 0;
    fs::remove_all(dir);
}

// An index update with nothing changed costs the file system's work alone: it reads
// no audio file.
TEST(stuck, an_unchanged_index_update_reads_no_audio_file)
{
    const fs::path dir = fs::temp_directory_path() /
                         (std::string(counted_folder.substr(1)) + std::to_string(getpid()));
    fs::create_directories(dir / "music");
    for (const char* name : {"short.opus", "tone.flac", "lame.mp3", "broken.opus"}) {
        fs::copy_file(MUSICCORE_SAMPLE_DIR "/" + std::string(name), dir / "music" / name);
    }
    music_library::Index index(dir / "index.db");
    music_library::ScanOptions here;  // read by this program, whose reads are counted
    here.isolated = false;
    index.update(dir / "music", here);
    EXPECT_GT(counted_reads.exchange(0), 0);  // the count sees reads
    EXPECT_EQ(index.update(dir / "music", here).kept, 4U);
    EXPECT_EQ(counted_reads, 0);
    fs::remove_all(dir);
}

// A file whose read ends the program (read in it, where no reader process can be had)
// ends it once: the index remembers the file as failed, and its next update skips it.
// Files read beside it at the time are read again, one at a time, to tell which.
TEST(stuck, a_file_that_ends_the_program_ends_it_once)
{
    const fs::path dir =
        fs::temp_directory_path() / ("musiccore-fatal-" + std::to_string(getpid()));
    fs::create_directories(dir / "music");
    for (const char* name : {"a.opus", "b.opus", "c.opus", "d.opus"}) {
        fs::copy_file(MUSICCORE_SAMPLE_DIR "/short.opus", dir / "music" / name);
    }
    struct stat info {};
    ASSERT_EQ(stat((dir / "music/c.opus").c_str(), &info), 0);
    music_library::ScanOptions here;
    here.isolated = false;
    here.jobs = 2;
    // Each update that reads c.opus ends with it: in a child process of its own.
    const auto update_until_it_ends = [&] {
        const pid_t child = fork();
        if (child == 0) {
            fatal = info.st_ino;
            music_library::Index(dir / "index.db").update(dir / "music", here);
            std::_Exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    };
    EXPECT_EQ(update_until_it_ends(), -SIGKILL);  // beside another: which, is not yet known
    EXPECT_EQ(update_until_it_ends(), -SIGKILL);  // read alone, it is
    EXPECT_EQ(update_until_it_ends(), 0);         // and not again
    const auto held = music_library::Index(dir / "index.db").contents();
    ASSERT_EQ(held.tracks.size(), 3U);
    ASSERT_EQ(held.failures.size(), 1U);
    EXPECT_EQ(held.failures[0].path.filename(), "c.opus");
    EXPECT_EQ(held.failures[0].message, "reading it ended the program that read it");
    fs::remove_all(dir);
}

// A length that the file does not state where it begins is had from its end: the
// bytes read are a part of the file, whatever its length.
TEST(stuck, a_length_is_read_at_the_ends_of_a_file)
{
    for (const char* name : {"long-streamed.flac", "long.ogg"}) {
        const std::string file = MUSICCORE_SAMPLE_DIR "/" + std::string(name);
        struct stat info {};
        ASSERT_EQ(stat(file.c_str(), &info), 0) << name;
        measured_bytes = 0;
        measured = info.st_ino;
        const media::MediaInfo read = media::read_info(file);
        measured = 0;
        EXPECT_TRUE(read.exact) << name;
        EXPECT_LT(measured_bytes, info.st_size / 2) << name << " of " << info.st_size << " bytes";
    }
}

}  // namespace
