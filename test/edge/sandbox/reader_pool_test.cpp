#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <musiccore/library.hpp>

#include "sandbox/reader_pool.hpp"
#include "sandbox/reader_process.hpp"
#include "sandbox/sanitized_reader.hpp"
#include "support/test_files.hpp"

namespace {

using namespace std::chrono_literals;
using media::detail::ReaderPool;
using media::detail::ReaderProcess;
using media::detail::ReadOutcome;

const std::string fake_reader = MUSICCORE_FAKE_READER;
constexpr std::size_t memory = std::size_t{256} << 20U;

// Each file's outcome as one text: "fake <samples>" or the failure's message.
std::map<std::string, std::string> pool_read(const std::vector<std::string>& files, unsigned jobs,
                                             std::chrono::milliseconds limit = 300ms)
{
    ReaderPool pool(fake_reader, jobs, memory);
    std::map<std::string, std::string> outcomes;
    pool.read(files, limit, true,
              [&](std::size_t i, ReadOutcome&& outcome) {
                  outcomes[files[i]] =
                      outcome.kind == ReadOutcome::Kind::info
                          ? outcome.info.codec + " " + std::to_string(*outcome.info.samples)
                          : outcome.message;
              },
              {});
    return outcomes;
}

// A reader that misbehaves fails its own file, and the file alone: the pool replaces
// it and reads the rest, also what was asked of it ahead.
TEST(reader_pool, a_reader_that_fails_loses_its_file_alone)
{
    std::map<std::string, std::string> expected{
        {"a", "fake 1"},
        {"crash-1", "reader crashed: signal 11 (SIGSEGV)"},
        {"bb", "fake 2"},
        {"spin-1", "time limit passed"},
        {"ccc", "fake 3"},
        {"hang-1", "read blocked past the time limit"},
        {"dddd", "fake 4"},
        {"garbage-1", "reader sent a malformed answer"},
        {"eeeee", "fake 5"},
        {"huge-1", "reader sent a malformed answer"},
        {"exit-1", "reader ended with status 3"},
        {"ffffff", "fake 6"},
    };
    if (!media::detail::address_sanitized) {  // else it has no bound
        expected.emplace("hog-1", "reader exceeded 256 MiB");
    }
    std::vector<std::string> files;
    for (const auto& [file, outcome] : expected) {
        files.push_back(file);
    }
    for (const unsigned jobs : {1U, 3U}) {
        EXPECT_EQ(pool_read(files, jobs), expected) << jobs << " jobs";
    }
}

// A reader whose library failed a file is replaced once its answers are in: what the
// library left behind goes with it.
TEST(reader_pool, a_reader_that_failed_a_file_is_replaced)
{
    ReaderPool pool(fake_reader, 1, memory);
    std::vector<std::string> files{"a", "b", "fail-1"};
    files.resize(100, "c");  // more than are ever asked of a reader ahead
    std::vector<std::string> answers(files.size());
    pool.read(files, 300ms, true,
              [&](std::size_t i, ReadOutcome&& outcome) { answers[i] = outcome.message; }, {});
    EXPECT_EQ(answers[0], answers[1]);  // one reader while all goes well
    EXPECT_EQ(answers[2], "a library failed");
    EXPECT_NE(answers.back(), answers[0]);
    EXPECT_FALSE(answers.back().empty());
}

// Readers are kept for the next pool of the same program and limit; one that ended
// while kept costs no file, and a copy of this process made by fork starts its own.
TEST(reader_pool, readers_are_kept_for_the_next_pool)
{
    constexpr std::size_t other_memory = memory + (1U << 20U);  // no other test's
    const auto reader_of = [](const char* file) {
        ReaderPool pool(fake_reader, 1, other_memory);
        ReadOutcome answer;
        pool.read({file}, 300ms, true, [&](std::size_t, ReadOutcome&& got) { answer = got; }, {});
        return answer.kind == ReadOutcome::Kind::info ? std::stoi(answer.message) : -1;
    };
    const pid_t first = reader_of("a");
    ASSERT_GT(first, 0);
    EXPECT_EQ(reader_of("b"), first);
    kill(first, SIGKILL);
    std::this_thread::sleep_for(50ms);
    const pid_t second = reader_of("c");
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    // A copy made by fork starts its own, and keeps those in turn.
    const auto in_a_fork = [&] {
        const pid_t own = reader_of("d");
        std::_Exit(own > 0 && own != second && reader_of("d") == own ? 0 : 1);
    };
    EXPECT_EXIT(in_a_fork(), testing::ExitedWithCode(0), "");
    EXPECT_EQ(reader_of("e"), second);
}

// The time limit is each file's: a reader that has worked past it over many files,
// each well within it, fails none.
TEST(reader_pool, the_time_limit_is_a_file_at_a_time)
{
    ReaderPool pool(fake_reader, 1, memory);
    // Each looked at on more than one tick; together past the limit and its grace.
    const std::vector<std::string> files(8, "work-250");
    std::size_t read = 0;
    pool.read(files, 200ms, true,
              [&](std::size_t, ReadOutcome&& answer) {
                  read += answer.kind == ReadOutcome::Kind::info ? 1 : 0;
              },
              {});
    EXPECT_EQ(read, files.size());
}

// Without a time limit, a reader that works on is left to work.
TEST(reader_pool, no_limit_no_watch)
{
    ReaderPool pool(fake_reader, 1, memory);
    const std::vector<std::string> files{"hang-1"};
    bool done = false;
    int ticks = 0;
    EXPECT_THROW(pool.read(
                     files, 0ms, true, [&](std::size_t, ReadOutcome&&) { done = true; },
                     [&] {
                         if (++ticks == 5) {
                             throw std::runtime_error("stop");  // after half a second
                         }
                     }),
                 std::runtime_error);
    EXPECT_FALSE(done);
}

// The real reader: sandboxed, it may not start a program or open a socket.
TEST(reader_pool, the_reader_may_not_execute_or_connect)
{
    const auto program = media::detail::reader_program();
    ASSERT_TRUE(program);
    ReaderProcess reader(*program, memory);
    ASSERT_TRUE(reader.send({{"", 0ms, true, true}}));
    const auto answer = reader.answer(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message, "socket: Operation not permitted; execve: Operation not permitted");
}

// The readers this process started, by their ids.
std::vector<pid_t> readers_started()
{
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos || line.find("(musiccore-reade") == std::string::npos) {
            continue;
        }
        char state = 0;
        pid_t parent = 0;
        std::istringstream(line.substr(close + 1)) >> state >> parent;
        if (parent == getpid()) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

// A scan's reader killed by a signal while it reads: that file fails with the
// signal's name, and every other file of the folder is listed.
TEST(reader_pool, a_scan_outlives_its_reader)
{
    const test_files::TempFolder dir("killed");
    for (const char* name : {"a.opus", "b.opus", "c-slow.opus", "d.opus"}) {
        std::filesystem::copy_file(test_files::samples + "short.opus", dir / name);
    }
    std::filesystem::copy_file(test_files::hostile + "slow.opus", dir / "c-slow.opus",
                               std::filesystem::copy_options::overwrite_existing);
    music_library::ScanOptions options;
    options.jobs = 1;
    options.file_time_limit = 0ms;  // only the signal stops it
    bool killed = false;
    options.on_progress = [&](std::size_t done, std::size_t) {
        if (done == 2 && !killed) {
            for (const pid_t reader : readers_started()) {
                kill(reader, SIGSEGV);
                killed = true;
            }
        }
    };
    const auto result = music_library::scan(dir.path(), options);
    EXPECT_TRUE(result.isolated);
    ASSERT_EQ(result.failures.size(), 1U);
    EXPECT_EQ(result.failures[0].path.filename(), "c-slow.opus");
    EXPECT_EQ(result.failures[0].message, "reader crashed: signal 11 (SIGSEGV)");
    EXPECT_EQ(result.tracks.size(), 3U);
}

// Where no reader can be had, files are read here: the scan says so in its result, and
// on standard error once.
TEST(reader_pool, without_readers_the_scan_reads_here)
{
    const auto scan_without = [](const char* why) {
        if (why == nullptr) {
            setenv("MUSICCORE_READER", "/nonexistent/musiccore-reader", 1);
        } else {
            setenv("MUSICCORE_READER", fake_reader.c_str(), 1);
            setenv("MUSICCORE_FAKE_REFUSE", why, 1);
        }
        music_library::ScanOptions options;
        options.file_time_limit = 0ms;
        for (int i = 0; i < 2; ++i) {
            const auto result = music_library::scan(test_files::music / "a", options);
            if (result.isolated || result.tracks.size() != 2) {
                std::_Exit(1);
            }
        }
        std::_Exit(0);
    };
    EXPECT_EXIT(scan_without(nullptr), testing::ExitedWithCode(0),
                "^musiccore: reading files in this process, without a sandbox: no reader program "
                "installed\n$");
    EXPECT_EXIT(scan_without("no seccomp here"), testing::ExitedWithCode(0),
                "without a sandbox: the reader is not sandboxed: no seccomp here\n$");
}

}  // namespace
