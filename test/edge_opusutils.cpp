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

// Runs `query`, failing the whole program instead of letting a hang stall the run.
template <typename Query>
auto with_watchdog(Query query)
{
    auto result = std::async(std::launch::async, query);
    if (result.wait_for(60s) == std::future_status::timeout) {
        ADD_FAILURE() << "the query hangs";
        std::_Exit(EXIT_FAILURE);
    }
    return result.get();
}

// A FIFO that a thread feeds with `bytes` once a reader has opened it, then closes.
class FedFifo {
public:
    explicit FedFifo(std::string bytes) : bytes_(std::move(bytes))
    {
        if (mkfifo(path_.c_str(), 0600) != 0) {
            throw std::runtime_error("cannot make " + path_);
        }
        writer_ = std::thread([this] { feed(); });
    }
    FedFifo(const FedFifo&) = delete;
    FedFifo& operator=(const FedFifo&) = delete;
    ~FedFifo()
    {
        writer_.join();
        unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    void feed() const
    {
        // Until a reader comes, for at most ~10 s, so that the writer never hangs.
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < 1000; ++tries, usleep(10000)) {
            fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        }
        fcntl(fd, F_SETFL, 0);
        for (std::size_t done = 0; fd >= 0 && done < bytes_.size();) {
            const ssize_t n = write(fd, bytes_.data() + done, bytes_.size() - done);
            done += n > 0 ? static_cast<std::size_t>(n) : bytes_.size();
        }
        close(fd);
    }

    std::string bytes_;
    std::string path_ = testing::TempDir() + "musiccore-" + std::to_string(getpid()) + ".opus";
    std::thread writer_;
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// What the query gives: the seconds, or the error's text.
std::string outcome(const std::string& path)
{
    try {
        return std::to_string(opus_utils::get_duration_secs(path));
    } catch (const opus_utils::opus_error& e) {
        return e.what();
    }
}

TEST(opus_edges, outcomes)
{
    const struct {
        std::string path;
        std::string outcome;
    } rows[] = {
        {samples + "/chained.opus", std::to_string(1.5)},  // every link counts
        {"does/not/exist.opus", "op_open_file failed with error code -129"},
        {"test/test.opus" + std::string(1, '\0'), "op_open_file failed with error code -129"},
        {"/dev/null", "op_open_file failed with error code -132"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(outcome(row.path), row.outcome) << row.path;
    }
}

TEST(opus_edges, fifo)
{
    std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not kill the writer
    const FedFifo whole(read_file("test/test.opus"));
    // Delivered whole, but with no way to seek for the length.
    EXPECT_EQ(with_watchdog([&] { return outcome(whole.path()); }),
              "op_pcm_total failed with error code -131");
}

}  // namespace
