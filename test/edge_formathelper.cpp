#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include <musiccore/formathelper.hpp>

namespace {

// The format text in a heap buffer of exactly its size, so that a sanitizer build
// catches any access past the terminator.
struct ExactBuffer {
    explicit ExactBuffer(const std::string& text)
        : size(text.size() + 1), data(new char[text.size() + 1])
    {
        std::memcpy(data.get(), text.c_str(), size);
    }
    std::string bytes() const { return std::string(data.get(), size); }

    std::size_t size;
    std::unique_ptr<char[]> data;
};

const std::string no_placeholder =
    "no replace location found in format string, but replacement args given.";

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
        ExactBuffer buffer(c.format);
        std::ostringstream out;
        fmt::format_helper(out, buffer.data.get(), "x");
        EXPECT_EQ(out.str(), c.expected) << '"' << c.format << '"';
    }
}

TEST(format_edges, returns_the_position_after_the_placeholder)
{
    std::ostringstream out;
    ExactBuffer middle("a{}b");
    EXPECT_EQ(fmt::format_helper(out, middle.data.get(), 1), middle.data.get() + 3);
    EXPECT_EQ(middle.bytes(), std::string("a\0}b\0", 5));  // the "{" became a terminator

    ExactBuffer last("a{");
    EXPECT_EQ(fmt::format_helper(out, last.data.get(), 1), last.data.get() + 2);
    EXPECT_EQ(last.bytes(), std::string("a\0\0", 3));
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
        ExactBuffer buffer(c.format);
        std::ostringstream out;
        try {
            fmt::format_helper(out, buffer.data.get(), 1, 2);
            ADD_FAILURE() << "no exception for \"" << c.format << '"';
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), no_placeholder);
        }
        EXPECT_EQ(out.str(), c.written_before_throw) << '"' << c.format << '"';
    }
}

TEST(format_edges, null_format_is_rejected)
{
    std::ostringstream out;
    EXPECT_THROW(fmt::format_helper(out, nullptr, 1), std::invalid_argument);
    EXPECT_THROW(fmt::format_helper(out, nullptr, 1, "two"), std::invalid_argument);
    EXPECT_EQ(out.str(), "");
}

TEST(format_edges, mixed_argument_types)
{
    char format[] = "{}-{}-{}-{}";
    std::ostringstream out;
    EXPECT_EQ(fmt::format_helper(out, format, 'c', 2.5, std::string("s"), "lit"), nullptr);
    EXPECT_EQ(out.str(), "c-2.5-s-lit");
}

}  // namespace
