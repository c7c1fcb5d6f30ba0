#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <musiccore/media.hpp>

#include "io/file_source.hpp"
#include "support/byte_craft.hpp"
#include "support/opus_query.hpp"
#include "support/test_files.hpp"

namespace {

using namespace std::chrono_literals;
using test_files::open_descriptors;
using test_files::opus_outcome;
using test_files::read_file;
using test_files::samples;
using Clock = std::chrono::steady_clock;

const std::string open_failed = "op_open_file failed with error code ";

// The reader on its own: reads give exactly the file's bytes, also across the end
// of its read-ahead and at the end of the file, again and again.
TEST(file_source, reader)
{
    const std::string path = samples + "short.opus";
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

    // A peek of what a writer has given so far waits for nothing more.
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "abcdef", 6), 6);
    media::detail::FileSource open_stream("/proc/self/fd/" + std::to_string(ends[0]), budget);
    close(ends[0]);
    const auto start = Clock::now();
    EXPECT_EQ(open_stream.peek(0, 6), "abcdef");
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(open_stream.failure(), "");
    close(ends[1]);

    // A read the system fails fails as -1, with its errno: a regular file to fstat,
    // whose first bytes are no memory of this process.
    media::detail::FileSource failing("/proc/self/mem", budget);
    ASSERT_TRUE(failing.seekable());
    EXPECT_EQ(failing.read(got.data(), got.size()), -1);
    EXPECT_EQ(failing.read_errno(), EIO);
}

// A file of `bytes` in a folder of its own, and a source reading it with no limits;
// rewrite() changes the file under the source, which shows what it reads again.
struct SourceOver {
    SourceOver(const std::string& bytes, const char* name)
        : folder(name), path(written(folder / "bytes", bytes))
    {
    }
    static std::string written(const std::string& path, const std::string& bytes)
    {
        byte_craft::write(path, bytes);
        return path;
    }
    void rewrite(const std::string& bytes) const { byte_craft::write(path, bytes); }

    const test_files::TempFolder folder;
    const std::string path;
    media::detail::WorkBudget budget{std::chrono::milliseconds::zero(), std::nullopt};
    media::detail::FileSource source{path, budget};
};

// Every read that asks the system for bytes shows the thread moving, however few of
// the reads from what is buffered look at the clock.
TEST(file_source, each_read_of_the_system_beats_the_heart)
{
    const test_files::TempFolder folder("file-source-heartbeat");
    const std::string path = folder / "bytes";
    byte_craft::write(path, std::string(std::size_t{2} << 20U, 'x'));
    media::detail::Heartbeat heartbeat{0};
    media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt, &heartbeat);
    media::detail::FileSource source(path, budget);
    std::string chunk(std::size_t{64} << 10U, '\0');
    for (int i = 0; i < 24; ++i) {
        heartbeat = 0;
        ASSERT_EQ(source.read(chunk.data(), chunk.size()), static_cast<long>(chunk.size()));
        EXPECT_NE(heartbeat.load(), 0) << "read " << i;
    }
}

// Peeks of the head and the tail in turn, and reads across the ends of the windows
// they leave: every byte as the file has it, and every read whole but at the end.
TEST(file_source, windows_behind_and_ahead)
{
    std::string file(100000, '\0');
    for (std::size_t i = 0; i < file.size(); ++i) {
        file[i] = static_cast<char>((i * 7 + i / 251) & 0xFFU);
    }
    SourceOver over(file, "file-source-windows");
    media::detail::FileSource& source = over.source;
    const std::pair<std::size_t, std::size_t> peeks[] = {
        {0, 64}, {99900, 100}, {10, 20}, {99990, 10}, {16000, 500}, {5, 5}, {40000, 30000}};
    for (const auto& [offset, count] : peeks) {
        EXPECT_EQ(source.peek(static_cast<std::int64_t>(offset), count), file.substr(offset, count))
            << offset;
    }
    const std::pair<std::size_t, std::size_t> reads[] = {
        {16000, 1000}, {100, 20000}, {99000, 5000}, {39990, 40000}, {0, 100000}};
    for (const auto& [offset, count] : reads) {
        source.peek(0, 10);  // the head's window ahead, the last one behind
        ASSERT_TRUE(source.seek(static_cast<std::int64_t>(offset), SEEK_SET));
        std::string got(count, '\0');
        const long read = source.read(got.data(), got.size());
        const std::string expected = file.substr(offset, count);
        ASSERT_EQ(read, static_cast<long>(expected.size())) << offset;
        EXPECT_EQ(got.substr(0, expected.size()), expected) << offset;
    }
}

// A window that a later read holds whole is not what is kept behind: the one before
// it is, and going back there reads nothing. Shown by changing the file under the
// source: what it has read stays as it was.
TEST(file_source, a_window_read_again_keeps_the_one_behind)
{
    const std::string file(100000, 'a');
    SourceOver over(file, "file-source-kept");
    media::detail::FileSource& source = over.source;
    EXPECT_EQ(source.peek(0, 64), file.substr(0, 64));            // the head
    EXPECT_EQ(source.peek(99900, 100), file.substr(99900, 100));  // the last bytes
    EXPECT_EQ(source.peek(95000, 5000), file.substr(95000));      // holds the last
    over.rewrite(std::string(file.size(), 'b'));
    EXPECT_EQ(source.peek(10, 20), file.substr(10, 20));
    EXPECT_EQ(source.peek(96000, 100), file.substr(96000, 100));
    EXPECT_EQ(source.peek(50000, 10), std::string(10, 'b'));  // read only now
}

// A first read that would end a few hundred bytes short of the end takes them too:
// the trailers there are looked at next, and need no read of their own.
TEST(file_source, a_window_just_short_of_the_end_takes_the_rest)
{
    const std::string file(100000, 'a');
    SourceOver over(file, "file-source-end");
    media::detail::FileSource& source = over.source;
    EXPECT_EQ(source.peek(97652, 16), file.substr(97652, 16));  // 2 KiB: to 300 short
    over.rewrite(std::string(file.size(), 'b'));
    EXPECT_EQ(source.peek(99872, 128), file.substr(99872));
}

// A peek past the end, or of more than the file holds, reads what is there and no
// more: a length that a file's bytes state is no size for a buffer.
TEST(file_source, a_peek_is_no_larger_than_the_file)
{
    const std::string file(5000, 'a');
    SourceOver over(file, "file-source-past");
    media::detail::FileSource& source = over.source;
    EXPECT_EQ(source.peek(std::int64_t{1} << 40U, 4), "");
    EXPECT_EQ(source.peek(4990, std::size_t{1} << 40U), file.substr(4990));
    EXPECT_EQ(source.peek(0, static_cast<std::size_t>(-1)), file);
    EXPECT_EQ(source.peek(-1, 4), "");
    EXPECT_TRUE(source.failure().empty());
}

TEST(file_source, fifos_never_block)
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
        EXPECT_EQ(opus_outcome(fifo), expected) << writer;
        unlink(fifo.c_str());
    }
}

extern "C" void ignore(int /*signal*/) {}

// Signals while a read waits for a FIFO: each one cuts the wait short, and the wait
// goes on for what it has left, so that it still ends.
TEST(file_source, signals_do_not_restart_a_wait)
{
    struct sigaction handler {};
    handler.sa_handler = ignore;  // no SA_RESTART: poll returns EINTR
    sigaction(SIGALRM, &handler, nullptr);
    const itimerval every_100ms{{0, 100000}, {0, 100000}};
    setitimer(ITIMER_REAL, &every_100ms, nullptr);
    const std::string fifo = testing::TempDir() + "musiccore-signals-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(opus_outcome(fifo), open_failed + "-132: no data for 1 s");
    EXPECT_EQ(opus_outcome(fifo, Clock::now() + 300ms), open_failed + "-132: time limit passed");
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    unlink(fifo.c_str());
}

// The time limit counts the work done for the file, not the time spent waiting
// for it: a FIFO whose writer pauses for longer than the limit is read whole. The
// scan, for its part, never opens one.
TEST(file_source, time_limit_counts_work)
{
    const std::string fifo = testing::TempDir() + "musiccore-slow-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string feed = "timeout 10 sh -c '(head -c 2000 " + samples +
                             "/tone.flac; sleep 0.6; tail -c +2001 " + samples + "tone.flac) > " +
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

}  // namespace
