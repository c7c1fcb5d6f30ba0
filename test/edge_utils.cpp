#include <gtest/gtest.h>

#include <chrono>
#include <locale>
#include <sstream>
#include <string>

#include <musiccore/utils.hpp>

using std::chrono::seconds;

namespace {

TEST(timestamp_edges, parse)
{
    const struct {
        std::string text;
        seconds::rep secs;
    } accepted[] = {
        {"0", 0},     {"99:99:99", 362439},  // the lowest and highest digits; no range checks
        {".6", 1},    {"5.", 5},
        {"1:.6", 61},  // one point in the seconds field, rounded
    };
    for (const auto& row : accepted) {
        EXPECT_EQ(utils::parse_timestamp(row.text), seconds(row.secs)) << row.text;
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
    const struct {
        seconds duration;
        std::string text;
    } rows[] = {
        {seconds(0), "00:00:00"},
        {seconds(359999), "99:59:59"},  // the last one that parses back
        {seconds(360000), "100:00:00"},
        {seconds(-3661), "-01:01:01"},
        {seconds::max(), "2562047788015215:30:07"},
        {seconds::min(), "-2562047788015215:30:08"},  // no positive counterpart
    };
    for (const auto& row : rows) {
        EXPECT_EQ(utils::format_timestamp(row.duration), row.text);
    }
    EXPECT_EQ(utils::parse_timestamp("99:59:59"), seconds(359999));
}

TEST(timestamp_edges, eof)
{
    const struct {
        std::string input;
        std::ios::iostate state;
        int next;  // what is left to read
    } rows[] = {
        {"5", std::ios::goodbit, EOF},   // the end of input is success, eofbit dropped
        {"5x", std::ios::failbit, 'x'},  // a leftover is put back
        {"x", std::ios::failbit, 'x'},   // a failed stream is not read
    };
    for (const auto& row : rows) {
        std::istringstream in(row.input);
        int value = 0;
        in >> value >> eof;
        EXPECT_EQ(in.rdstate(), row.state) << row.input;
        in.clear();
        EXPECT_EQ(in.get(), row.next) << row.input;

        std::istringstream strict(row.input);  // throws exactly when the state is failed
        strict.exceptions(std::ios::failbit);
        bool threw = false;
        try {
            strict >> value >> eof;
        } catch (const std::ios::failure&) {
            threw = true;
        }
        EXPECT_EQ(threw, row.state != std::ios::goodbit) << row.input;
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
