#include <gtest/gtest.h>

#include <chrono>
#include <locale>
#include <sstream>
#include <string>
#include <utility>

#include <musiccore/utils.hpp>

using std::chrono::seconds;

namespace {

TEST(timestamp_edges, parse)
{
    const std::pair<std::string, seconds::rep> accepted[] = {
        {"0", 0},     {"99:99:99", 362439},  // the lowest and highest digits; no range checks
        {".6", 1},    {"5.", 5},
        {"1:.6", 61},  // one point in the seconds field, rounded
    };
    for (const auto& [text, secs] : accepted) {
        EXPECT_EQ(utils::parse_timestamp(text), seconds(secs)) << text;
    }
    // clang-format off
    const std::string rejected[] = {
        "", "50 ", "1:03x", std::string("5\0", 2), "-5",  // stray characters, signs
        "123", "100:00:00", "1:123", "1.5",             // fields too long
        "1:2:3:4", "1::3", "5:",                        // field count
        ".", "1:.", "..", "1:x", "1.:03",               // no digit in the seconds, misplaced point
    };
    // clang-format on
    for (const auto& text : rejected) {
        EXPECT_EQ(utils::parse_timestamp(text), std::nullopt) << '"' << text << '"';
    }
}

TEST(timestamp_edges, format)
{
    const std::pair<seconds, std::string> rows[] = {
        {seconds(0), "00:00:00"},
        {seconds(360000), "100:00:00"},
        {seconds(-3661), "-01:01:01"},
        {seconds::max(), "2562047788015215:30:07"},
        {seconds::min(), "-2562047788015215:30:08"},  // no positive counterpart
    };
    for (const auto& [duration, text] : rows) {
        EXPECT_EQ(utils::format_timestamp(duration), text);
    }
}

TEST(timestamp_edges, eof)
{
    const std::pair<std::string, std::ios::iostate> rows[] = {
        {"5", std::ios::goodbit},                    // the end of input is success
        {"5x", std::ios::failbit},                   // something left over
        {"", std::ios::failbit | std::ios::eofbit},  // a failed stream stays failed
    };
    for (const auto& [input, state] : rows) {
        std::istringstream in(input);
        int value = 0;
        in >> value >> eof;
        EXPECT_EQ(in.rdstate(), state) << input;

        std::istringstream strict(input);  // throws exactly when the state is failed
        strict.exceptions(std::ios::failbit);
        bool threw = false;
        try {
            strict >> value >> eof;
        } catch (const std::ios::failure&) {
            threw = true;
        }
        EXPECT_EQ(threw, state != std::ios::goodbit) << input;
    }
}

// Number punctuation as a desktop's global locale may have it.
struct GroupingPunctuation : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '\''; }
    std::string do_grouping() const override { return "\1"; }
};

TEST(timestamp_edges, any_global_locale)
{
    const auto previous =
        std::locale::global(std::locale(std::locale::classic(), new GroupingPunctuation));
    const auto text = utils::format_timestamp(seconds(3600000));
    const auto secs = utils::parse_timestamp("1:.6");
    std::locale::global(previous);
    EXPECT_EQ(text, "1000:00:00");
    EXPECT_EQ(secs, seconds(61));
}

}  // namespace
