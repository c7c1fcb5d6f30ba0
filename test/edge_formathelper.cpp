#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <musiccore/formathelper.hpp>

namespace {

// The format text in a heap buffer of exactly its size, terminator included, so
// that a sanitizer build catches any access past the terminator.
std::vector<char> exact_buffer(const std::string& text)
{
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

TEST(format_edges, placeholders_and_tails)
{
    struct Case {
        std::string format;
        std::string expected;
    };
    const Case cases[] = {
        {"{}", "x"},
        {"{} and {}", "x and {}"},  // placeholders beyond the arguments stay literal
        {"a {x} b", "a x} b"},      // the character after "{" is skipped unexamined
        {"{{}", "x}"},
        {"tail {", "tail x"},  // a final lone "{" is a placeholder without tail
        {"{", "x"},
    };
    for (const auto& c : cases) {
        auto buffer = exact_buffer(c.format);
        std::ostringstream out;
        fmt::format_helper(out, buffer.data(), "x");
        EXPECT_EQ(out.str(), c.expected) << '"' << c.format << '"';
    }
}

TEST(format_edges, cuts_the_buffer_and_returns_the_next_position)
{
    std::ostringstream out;
    auto middle = exact_buffer("a{}b");
    EXPECT_EQ(fmt::format_helper(out, middle.data(), 1), middle.data() + 3);
    EXPECT_EQ(std::string(middle.begin(), middle.end()), std::string("a\0}b\0", 5));

    auto last = exact_buffer("a{");  // stops at the terminator, not past it
    EXPECT_EQ(fmt::format_helper(out, last.data(), 1), last.data() + 2);
    EXPECT_EQ(std::string(last.begin(), last.end()), std::string("a\0\0", 3));
}

TEST(format_edges, missing_placeholder_throws)
{
    struct Case {
        std::string format;
        std::string written_before_throw;
    };
    // Two arguments each; the second finds no placeholder.
    const Case cases[] = {
        {"a {} b", "a 1"},
        {"a {", "a 1"},  // the lone final "{" is used up by the first argument
        {"none", ""},    // the first finds none either, and nothing is written
        {"", ""},
    };
    for (const auto& c : cases) {
        auto buffer = exact_buffer(c.format);
        std::ostringstream out;
        try {
            fmt::format_helper(out, buffer.data(), 1, 2);
            ADD_FAILURE() << "no exception for \"" << c.format << '"';
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(),
                         "no replace location found in format string, but replacement args given.");
        }
        EXPECT_EQ(out.str(), c.written_before_throw) << '"' << c.format << '"';
    }

    std::ostringstream out;  // a null text is rejected the same way, never read
    EXPECT_THROW(fmt::format_helper(out, nullptr, 1), std::invalid_argument);
    EXPECT_THROW(fmt::format_helper(out, nullptr, 1, "two"), std::invalid_argument);
    EXPECT_EQ(out.str(), "");
}

}  // namespace
