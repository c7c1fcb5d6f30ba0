#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>
#include <sys/time.h>

#include <musiccore/media.hpp>
#include <musiccore/opusutils.hpp>

#include "file_source.hpp"

namespace {

using namespace std::chrono_literals;

const std::string samples = MUSICCORE_SAMPLE_DIR;
const std::string hostile = MUSICCORE_HOSTILE_DIR;
const std::string open_failed = "op_open_file failed with error code ";

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

using Clock = std::chrono::steady_clock;

// What the query gives: the seconds, or the error's text. (ctest's timeout stops a
// query that hangs.)
std::string outcome(const std::string& path, std::optional<Clock::time_point> deadline = {})
{
    try {
        return std::to_string(deadline ? opus_utils::read_info(path, *deadline).duration_secs
                                       : opus_utils::get_duration_secs(path));
    } catch (const opus_utils::opus_error& e) {
        return e.what();
    }
}

long open_descriptors()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
}

TEST(opus_edges, outcomes)
{
    close(STDIN_FILENO);  // as in a daemon: the first file opened then gets descriptor 0
    const long descriptors = open_descriptors();
    const struct {
        std::string path;
        std::string outcome;
        std::optional<Clock::time_point> deadline = std::nullopt;
    } rows[] = {
        {samples + "/chained.opus", std::to_string(1.5)},  // every link counts
        {"does/not/exist.opus", open_failed + "-129"},
        {"test/test.opus" + std::string(1, '\0'), open_failed + "-129"},  // not the prefix
        {"/dev/null", open_failed + "-132"},
        {samples, open_failed + "-132"},  // a directory
        {"test/test.opus", std::to_string(65.43675), Clock::now() + 1h},
        {"test/test.opus", open_failed + "-132: time limit passed", Clock::now()},
        // Crafted: opusfile 0.12 divides by zero on this one, and overflows its own sum
        // of this one's links (2^63-1 samples).
        {hostile + "/crash.opus", open_failed + "-128: granule position out of range"},
        {hostile + "/overflow.opus", std::to_string(9223372036854775807.0 / 48000)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(outcome(row.path, row.deadline), row.outcome) << row.path;
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

// The reader on its own: reads give exactly the file's bytes, also across the end
// of its read-ahead and at the end of the file, again and again.
TEST(opus_edges, reader)
{
    const std::string path = samples + "/short.opus";
    const std::string file = read_file(path);
    media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
    media::detail::FileSource source(path, budget);
    const std::tuple<int, long long, int> steps[] = {
        // whence, offset, bytes to read; the last byte alone, read from the file
        {SEEK_SET, 0, 1000}, {SEEK_CUR, 0, 2000}, {SEEK_END, -10, 20}, {SEEK_CUR, 0, 20},
        {SEEK_END, 0, 20},   {SEEK_END, -1, 1},   {SEEK_SET, 100, 5},
    };
    std::size_t position = 0;
    for (const auto& [whence, offset, size] : steps) {
        position = (whence == SEEK_SET ? 0 : whence == SEEK_CUR ? position : file.size()) + offset;
        ASSERT_TRUE(source.seek(offset, whence));
        std::string got(size, '\0');
        const long count = source.read(got.data(), got.size());
        const std::string expected = file.substr(position, size);
        EXPECT_EQ(got.substr(0, count), expected) << position;
        position += expected.size();
        EXPECT_EQ(source.tell(), position);
    }
    EXPECT_FALSE(source.seek(-1, SEEK_SET));
    EXPECT_EQ(source.peek(4, 4), file.substr(4, 4));
    EXPECT_EQ(source.tell(), position);  // a peek does not move

    // A stream: a peek sees its bytes from the start, as far as they go, and only
    // before the first read; the reads then give them in order.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "abcdef", 6), 6);
    close(ends[1]);
    media::detail::FileSource stream("/proc/self/fd/" + std::to_string(ends[0]), budget);
    close(ends[0]);
    EXPECT_EQ(stream.peek(2, 10), "cdef");
    std::string got(4, '\0');
    EXPECT_EQ(stream.read(got.data(), got.size()), 4);
    EXPECT_EQ(got, "abcd");
    EXPECT_EQ(stream.peek(0, 2), "");
    EXPECT_EQ(stream.read(got.data(), got.size()), 2);
    EXPECT_EQ(got.substr(0, 2), "ef");
}

TEST(opus_edges, fifos_never_block)
{
    const std::string data = read_file("test/test.opus");
    const auto headers = std::to_string(data.find("OggS", data.find("OggS", 4) + 4));  // 2 pages
    const std::string no_length = "op_pcm_total failed with error code -131";
    const std::pair<std::string, std::string> rows[] = {
        // the writer, what the query gives
        {"", open_failed + "-132: no data for 1 s"},
        {"(head -c " + headers + " test/test.opus; sleep 3)",
         open_failed + "-128: no data for 1 s"},
        {"sleep 0.2; cat test/test.opus", no_length},  // whole, but with no way to seek
        {"cat test/test.opus", no_length},             // the writer opens first
    };
    const std::string fifo = testing::TempDir() + "musiccore-" + std::to_string(getpid()) + ".opus";
    for (const auto& [writer, expected] : rows) {
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // In the background, giving up after 10 s: a reader that never comes leaves
        // nothing behind.
        const std::string feed =
            "timeout 10 sh -c '" + writer + " > " + fifo + "' >/dev/null 2>&1 &";
        ASSERT_EQ(writer.empty() ? 0 : std::system(feed.c_str()), 0);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(outcome(fifo), expected) << writer;
        unlink(fifo.c_str());
    }
}

extern "C" void ignore(int /*signal*/) {}

// Signals while a read waits for a FIFO: each one cuts the wait short, and the wait
// goes on for what it has left, so that it still ends.
TEST(opus_edges, signals_do_not_restart_a_wait)
{
    struct sigaction handler {};
    handler.sa_handler = ignore;  // no SA_RESTART: poll returns EINTR
    sigaction(SIGALRM, &handler, nullptr);
    const itimerval every_100ms{{0, 100000}, {0, 100000}};
    setitimer(ITIMER_REAL, &every_100ms, nullptr);
    const std::string fifo = testing::TempDir() + "musiccore-signals-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(outcome(fifo), open_failed + "-132: no data for 1 s");
    EXPECT_EQ(outcome(fifo, Clock::now() + 300ms), open_failed + "-132: time limit passed");
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    unlink(fifo.c_str());
}

// The time limit counts the work done for the file, not the time spent waiting
// for it: a FIFO whose writer pauses for longer than the limit is read whole. The
// scan, for its part, never opens one.
TEST(opus_edges, time_limit_counts_work)
{
    const std::string fifo = testing::TempDir() + "musiccore-slow-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string feed = "timeout 10 sh -c '(head -c 2000 " + samples +
                             "/tone.flac; sleep 0.6; tail -c +2001 " + samples + "/tone.flac) > " +
                             fifo + "' >/dev/null 2>&1 &";
    ASSERT_EQ(std::system(feed.c_str()), 0);
    const media::MediaInfo info = media::read_info(fifo, {300ms, std::nullopt});
    EXPECT_EQ(info.samples, 100000);  // STREAMINFO holds it: exact even from a pipe
    unlink(fifo.c_str());
    media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const long descriptors = open_descriptors();
    int later = -1;
    {
        const media::detail::FileSource regular_only(fifo, budget, true);  // swapped in
        EXPECT_EQ(regular_only.failure(), "not a regular file");
        EXPECT_EQ(open_descriptors(), descriptors);
        later = open("/dev/null", O_RDONLY | O_CLOEXEC);  // given the FIFO's number
    }
    EXPECT_NE(fcntl(later, F_GETFD), -1);  // which the source did not close again
    close(later);
    media::detail::FileSource stream("/dev/null", budget);
    EXPECT_FALSE(stream.seek(0, SEEK_SET));
    unlink(fifo.c_str());
}

// Spends `span` of this thread's processor time.
void burn(std::chrono::nanoseconds span)
{
    const auto cpu_time = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    const auto until = cpu_time() + span;
    while (cpu_time() < until) {
    }
}

// A budget counts the processor time its thread spends from its start on: neither
// what it spent before nor the time it waits; and it stops the read soon after the
// work runs out, however that work is spread.
TEST(opus_edges, work_budget_counts_processor_time_from_its_start)
{
    using media::detail::WorkBudget;
    burn(60ms);
    WorkBudget budget(100ms, std::nullopt);
    const auto start = Clock::now();
    burn(60ms);
    std::this_thread::sleep_until(start + 110ms);
    EXPECT_EQ(budget.exhausted(), nullptr);
    burn(45ms);
    EXPECT_STREQ(budget.exhausted(), "time limit passed");
}

// The shortest limit is checked too, from the budget's start. (Not under valgrind,
// where the test's own steps take more than a millisecond.)
TEST(opus_edges, work_budget_of_a_millisecond)
{
    burn(20ms);
    media::detail::WorkBudget shortest(1ms, std::nullopt);
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(shortest.exhausted(), nullptr);
    burn(5ms);
    EXPECT_STREQ(shortest.exhausted(), "time limit passed");
}

}  // namespace
