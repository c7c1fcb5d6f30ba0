#include <gtest/gtest.h>

#include <string>

#include <musiccore/opusutils.hpp>

TEST(opusutils, get_duration_correct)
{
    auto dur = opus_utils::get_duration_secs(std::string("test/test.opus"));
    ASSERT_EQ(dur, 65.43675);
}
