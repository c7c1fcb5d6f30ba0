#include <gtest/gtest.h>

#include <musiccore/utils.hpp>

TEST(utils, parse_ts_seconds)
{
    auto res = utils::parse_timestamp("50");
    ASSERT_TRUE(res.has_value());
    ASSERT_EQ(res.value().count(), 50);
}

TEST(utils, parse_ts_minutes)
{
    auto res = utils::parse_timestamp("1:03");
    ASSERT_TRUE(res.has_value());
    ASSERT_EQ(res.value().count(), 63);

    res = utils::parse_timestamp("20:20");
    ASSERT_TRUE(res.has_value());
    ASSERT_EQ(res.value().count(), 1220);
}

TEST(utils, parse_ts_hours)
{
    auto res = utils::parse_timestamp("1:03:30");
    ASSERT_TRUE(res.has_value());
    ASSERT_EQ(res.value().count(), 3810);
}

TEST(utils, format_ts)
{
    auto res = utils::format_timestamp(std::chrono::seconds(12345));
    ASSERT_EQ(res, "03:25:45");
}
