#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include <musiccore/utils.hpp>

using std::chrono::seconds;

namespace {

struct Accepted {
    std::string text;
    long long secs;
};

TEST(timestamp_edges, accepted_texts)
{
    // clang-format off
    const Accepted cases[] = {
        {"0", 0},          {"50", 50},         {"75", 75},  // no range checks
        {"1:03", 63},      {"20:20", 1220},    {"1:75", 135},
        {"1:2:3", 3723},   {"1:03:30", 3810},  {"03:25:45", 12345},
        {"25:00:00", 90000}, {"99:99:99", 362439},  // the largest value any text gives
        // A fraction rounds to the nearest second, a tie to the even one.
        {".4", 0}, {".5", 0}, {".6", 1}, {"5.", 5}, {"1:.6", 61}, {"0:0:.6", 1},
    };
    // clang-format on
    for (const auto& c : cases) {
        const auto res = utils::parse_timestamp(c.text);
        ASSERT_TRUE(res.has_value()) << '"' << c.text << '"';
        EXPECT_EQ(res->count(), c.secs) << '"' << c.text << '"';
    }
}

TEST(timestamp_edges, rejected_texts)
{
    // clang-format off
    const std::string cases[] = {
        "", " ", "abc", "x", ":",
        " 50", "50 ", "1:03x", "1:03 ", std::string("5\0", 2),  // stray characters
        "-5", "+5", "1:-3",                                      // signs
        "123", "100:00:00", "1:123", "1.5", "50.", "1:5.5",      // fields too long
        "1:2:3:4", "1::3", ":03", "5:", "1:03:",                 // wrong field count
        ".", "1:.", "0:0:.", "1:x", "..",                        // seconds without a digit
        "1.:03", "1:.3:00",                                      // a point outside the seconds
    };
    // clang-format on
    for (const auto& text : cases) {
        EXPECT_FALSE(utils::parse_timestamp(text).has_value()) << '"' << text << '"';
    }
}

TEST(timestamp_edges, format_texts)
{
    EXPECT_EQ(utils::format_timestamp(seconds(0)), "00:00:00");
    EXPECT_EQ(utils::format_timestamp(seconds(59)), "00:00:59");
    EXPECT_EQ(utils::format_timestamp(seconds(90000)), "25:00:00");  // hours do not wrap
    EXPECT_EQ(utils::format_timestamp(seconds(360000)), "100:00:00");
    EXPECT_EQ(utils::format_timestamp(seconds(-3661)), "-01:01:01");
    // The extremes: the most negative value has no positive counterpart.
    EXPECT_EQ(utils::format_timestamp(seconds::max()), "2562047788015215:30:07");
    EXPECT_EQ(utils::format_timestamp(-seconds::max()), "-2562047788015215:30:07");
    EXPECT_EQ(utils::format_timestamp(seconds::min()), "-2562047788015215:30:08");
}

TEST(timestamp_edges, round_trip_below_one_hundred_hours)
{
    const long long last = 99 * 3600 + 59 * 60 + 59;
    for (long long s = 0; s <= last; s += (s < 4000 ? 1 : 997)) {
        const auto res = utils::parse_timestamp(utils::format_timestamp(seconds(s)));
        ASSERT_TRUE(res.has_value()) << s;
        ASSERT_EQ(res->count(), s);
    }
    ASSERT_EQ(utils::parse_timestamp(utils::format_timestamp(seconds(last))), seconds(last));
}

TEST(timestamp_edges, eof_manipulator)
{
    int value = 0;
    std::istringstream all("5");
    all >> value >> eof;
    EXPECT_TRUE(all.good());  // end of input is success, eofbit included

    std::istringstream rest("5x");
    rest >> value >> eof;
    EXPECT_EQ(rest.rdstate(), std::ios::failbit);
    rest.clear();
    EXPECT_EQ(rest.get(), 'x');  // the leftover character was put back

    std::istringstream failed("x");
    failed >> value >> eof;
    EXPECT_TRUE(failed.fail());
    failed.clear();
    EXPECT_EQ(failed.get(), 'x');  // a failed stream is not read
}

}  // namespace
