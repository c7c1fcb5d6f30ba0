#include <gtest/gtest.h>

#include <sstream>

#include <musiccore/formathelper.hpp>

TEST(format_helper, no_format)
{
    std::stringstream s;
    fmt::format_helper(s, 60);
    ASSERT_EQ(s.str(), "60");
}

TEST(format_helper, format_single)
{
    std::stringstream s;
    char format[] = "wees toch blij, eet een {}!";
    fmt::format_helper(s, format, "kakrokei");
    ASSERT_EQ(s.str(), "wees toch blij, eet een kakrokei!");
}

TEST(format_helper, format_multiple)
{
    std::stringstream s;
    char format[] = "wees toch {}, eet {} {}!";
    fmt::format_helper(s, format, "blij", 1, "kakrokei");
    ASSERT_EQ(s.str(), "wees toch blij, eet 1 kakrokei!");
}
