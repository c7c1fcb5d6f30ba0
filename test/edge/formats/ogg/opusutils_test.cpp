#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include <unistd.h>

#include "support/opus_query.hpp"
#include "support/test_files.hpp"

namespace {

using namespace std::chrono_literals;
using test_files::hostile;
using test_files::open_descriptors;
using test_files::opus_outcome;
using test_files::samples;
using Clock = std::chrono::steady_clock;

const std::string open_failed = "op_open_file failed with error code ";

TEST(opus_edges, outcomes)
{
    close(STDIN_FILENO);  // as in a daemon: the first file opened then gets descriptor 0
    const long descriptors = open_descriptors();
    const struct {
        std::string path;
        std::string outcome;
        std::optional<Clock::time_point> deadline = std::nullopt;
    } rows[] = {
        {samples + "chained.opus", std::to_string(1.5)},  // every link counts
        {"does/not/exist.opus", open_failed + "-129"},
        {"test/test.opus" + std::string(1, '\0'), open_failed + "-129"},  // not the prefix
        {"/dev/null", open_failed + "-132"},
        {samples, open_failed + "-132"},  // a directory
        {"test/test.opus", std::to_string(65.43675), Clock::now() + 1h},
        {"test/test.opus", open_failed + "-132: time limit passed", Clock::now()},
        // Crafted: opusfile 0.12 divides by zero on this one, and overflows its own sum
        // of this one's links (2^63-1 samples).
        {hostile + "crash.opus", open_failed + "-128: granule position out of range"},
        {hostile + "overflow.opus", std::to_string(9223372036854775807.0 / 48000)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(opus_outcome(row.path, row.deadline), row.outcome) << row.path;
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

}  // namespace
