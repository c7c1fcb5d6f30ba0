#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <musiccore/formathelper.hpp>

namespace {

const std::string no_placeholder =
    "no replace location found in format string, but replacement args given.";

TEST(format_edges, placeholders)
{
    const struct {
        std::string format;
        int args;  // 1: the int 1; 2: the ints 1 and 2
        std::string output;
        std::string error;
        std::string buffer;  // afterwards, its terminator included
    } rows[] = {
        {"a{}b", 1, "a1b", "", {"a\0}b\0", 5}},
        {"{} and {}", 1, "1 and {}", "", {"\0} and {}\0", 10}},  // spare placeholders stay
        {"a {x} b", 1, "a 1} b", "", {"a \0x} b\0", 8}},  // the character after "{" is skipped
        {"a {", 1, "a 1", "", {"a \0\0", 4}},  // a final lone "{" is a placeholder, no tail
        {"a {} b", 2, "a 1", no_placeholder, {"a \0} b\0", 7}},
        {"a {", 2, "a 1", no_placeholder, {"a \0\0", 4}},  // the second starts at the terminator
        {"none", 1, "", no_placeholder, {"none\0", 5}},    // nothing written
    };
    for (const auto& row : rows) {
        // Exactly the text's size, so that a sanitizer or valgrind sees any access
        // past the terminator.
        std::vector<char> buffer(row.format.c_str(), row.format.c_str() + row.format.size() + 1);
        std::ostringstream out;
        std::string error;
        try {
            if (row.args == 1) {
                fmt::format_helper(out, buffer.data(), 1);
            } else {
                fmt::format_helper(out, buffer.data(), 1, 2);
            }
        } catch (const std::invalid_argument& e) {
            error = e.what();
        }
        EXPECT_EQ(out.str(), row.output) << row.format;
        EXPECT_EQ(error, row.error) << row.format;
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), row.buffer) << row.format;
    }
    std::ostringstream out;
    EXPECT_THROW(fmt::format_helper(out, nullptr, 1), std::invalid_argument);
}

}  // namespace
