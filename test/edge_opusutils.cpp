#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <musiccore/opusutils.hpp>

namespace {

using namespace std::chrono_literals;

const std::string samples = MUSICCORE_SAMPLE_DIR;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// What the query gives: the seconds, or the error's text. A query that hangs fails
// the whole program instead of stalling the run.
std::string outcome(const std::string& path)
{
    auto result = std::async(std::launch::async, [&path] {
        try {
            return std::to_string(opus_utils::get_duration_secs(path));
        } catch (const opus_utils::opus_error& e) {
            return std::string(e.what());
        }
    });
    if (result.wait_for(60s) == std::future_status::timeout) {
        ADD_FAILURE() << path << ": the query hangs";
        std::_Exit(EXIT_FAILURE);
    }
    return result.get();
}

enum class Writer { none, after_reader, before_reader, stalls_after_headers };

// A FIFO and a thread that writes test/test.opus into it, or its headers only and
// then nothing until the query is over.
class Fifo {
public:
    explicit Fifo(Writer writer)
    {
        if (mkfifo(path_.c_str(), 0600) != 0) {
            throw std::runtime_error("cannot make " + path_);
        }
        if (writer != Writer::none) {
            writer_ = std::thread([this, writer] { feed(writer); });
        }
        if (writer == Writer::before_reader) {
            std::this_thread::sleep_for(100ms);  // let it wait in open()
        }
    }
    Fifo(const Fifo&) = delete;
    Fifo& operator=(const Fifo&) = delete;
    ~Fifo()
    {
        query_done_.set_value();
        if (writer_.joinable()) {
            writer_.join();
        }
        unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    void feed(Writer writer)
    {
        int fd = -1;
        if (writer == Writer::before_reader) {
            fd = open(path_.c_str(), O_WRONLY);
        }
        // Otherwise only once a reader is there, and for at most ~10 s.
        for (int tries = 0; fd < 0 && tries < 1000; ++tries, usleep(10000)) {
            fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        }
        fcntl(fd, F_SETFL, 0);
        std::string bytes = read_file("test/test.opus");
        if (writer == Writer::stalls_after_headers) {
            bytes.resize(bytes.find("OggS", bytes.find("OggS", 4) + 4));  // two pages
        }
        for (std::size_t done = 0; fd >= 0 && done < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            done += n > 0 ? static_cast<std::size_t>(n) : bytes.size();
        }
        if (writer == Writer::stalls_after_headers) {
            query_done_future_.wait_for(10s);
        }
        close(fd);
    }

    std::string path_ = testing::TempDir() + "musiccore-" + std::to_string(getpid()) + ".opus";
    std::promise<void> query_done_;
    std::future<void> query_done_future_ = query_done_.get_future();
    std::thread writer_;
};

const std::string open_failed = "op_open_file failed with error code ";

TEST(opus_edges, outcomes)
{
    const struct {
        std::string path;
        std::string outcome;
    } rows[] = {
        {samples + "/chained.opus", std::to_string(1.5)},  // every link counts
        {"does/not/exist.opus", open_failed + "-129"},
        {"test/test.opus" + std::string(1, '\0'), open_failed + "-129"},  // not the prefix
        {"/dev/null", open_failed + "-132"},
        {samples, open_failed + "-132"},  // a directory
    };
    for (const auto& row : rows) {
        EXPECT_EQ(outcome(row.path), row.outcome) << row.path;
    }
}

TEST(opus_edges, fifos_never_block)
{
    std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not kill the writer
    const std::string no_length = "op_pcm_total failed with error code -131";
    const struct {
        Writer writer;
        std::string outcome;
    } rows[] = {
        {Writer::none, open_failed + "-132: no data for 1 s"},
        {Writer::stalls_after_headers, open_failed + "-128: no data for 1 s"},
        {Writer::after_reader, no_length},  // whole, but with no way to seek for the length
        {Writer::before_reader, no_length},
    };
    for (const auto& row : rows) {
        const Fifo fifo(row.writer);
        EXPECT_EQ(outcome(fifo.path()), row.outcome) << static_cast<int>(row.writer);
    }
}

TEST(opus_edges, info)
{
    using opus_utils::read_info;
    const auto none = std::nullopt;
    const struct {
        std::string file;
        double secs;
        std::optional<std::string> artist, album, title;
    } rows[] = {
        // Repeated values joined, names in any case, the first link's comments only.
        {"short.opus", 1.0, "Ann; Bob", "Live", "Intro"},
        {"chained.opus", 1.5, "Ann; Bob", "Live", "Intro"},
        {"plain.opus", 0.5, none, none, none},
    };
    for (const auto& row : rows) {
        const auto info = read_info(samples + "/" + row.file);
        EXPECT_EQ(info.duration_secs, row.secs) << row.file;
        EXPECT_EQ(info.artist, row.artist) << row.file;
        EXPECT_EQ(info.album, row.album) << row.file;
        EXPECT_EQ(info.title, row.title) << row.file;
    }
    EXPECT_EQ(read_info("test/test.opus", std::chrono::steady_clock::now() + 1h).duration_secs,
              65.43675);
    try {
        read_info("test/test.opus", std::chrono::steady_clock::now());
        ADD_FAILURE() << "a deadline that has passed did not stop the query";
    } catch (const opus_utils::opus_error& e) {
        EXPECT_EQ(std::string(e.what()), open_failed + "-132: time limit passed");
    }
}

}  // namespace
