#include <gtest/gtest.h>

#include <chrono>
#include <locale>
#include <optional>
#include <sstream>
#include <string>

#include <musiccore/utils.hpp>

using std::chrono::seconds;

namespace {

const std::optional<std::chrono::seconds::rep> rejected;

TEST(timestamp_edges, parse)
{
    const struct {
        std::string text;
        std::optional<std::chrono::seconds::rep> secs;
    } rows[] = {
        {"0", 0},
        {"99:99:99", 362439},  // the lowest and highest digits; no range checks
        {".6", 1},
        {"5.", 5},
        {"1:.6", 61},  // one point in the seconds field, rounded
        {"", rejected},
        {"50 ", rejected},
        {"1:03x", rejected},
        {std::string("5\0", 2), rejected},
        {"-5", rejected},  // no sign
        {"123", rejected},
        {"100:00:00", rejected},
        {"1:123", rejected},
        {"1.5", rejected},
        {"1:2:3:4", rejected},
        {"1::3", rejected},
        {"5:", rejected},
        {".", rejected},
        {"1:.", rejected},
        {"..", rejected},
        {"1.:03", rejected},
    };
    for (const auto& row : rows) {
        const auto res = utils::parse_timestamp(row.text);
        EXPECT_EQ(res ? std::optional(res->count()) : rejected, row.secs) << '"' << row.text << '"';
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
