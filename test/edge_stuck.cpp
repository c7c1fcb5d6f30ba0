// A read that never returns, as on a stalled network file system: this program's
// own pread stands in for the system's, and blocks on one file until let go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <musiccore/library.hpp>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::atomic<ino_t> stalled{0};
std::atomic<bool> let_go{false};

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
    return system_pread(fd, data, size, offset);
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
    options.jobs = 1;  // the stuck thread's place must be taken for c.opus
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

}  // namespace
