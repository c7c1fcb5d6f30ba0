#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <musiccore/media.hpp>

#include "tags/tag_collector.hpp"

namespace {

// Names in any case are one name, a to z alike (but no other letters); a value of
// the limit's length is kept, one byte more is dropped and said so.
TEST(tag_collector, gathers_under_one_name_within_the_limit)
{
    media::detail::TagCollector tags;
    const std::string longest(media::max_tag_value, 'x');
    tags.add_comment("Organization=a");
    tags.add("organization", "z");
    tags.add("caf\xC3\xA9", "b");
    tags.add("title", longest);
    tags.add("comment", longest + "x");
    tags.add_comment("no equals sign");
    media::MediaInfo info;
    tags.move_into(info);
    const media::Tags expected{
        {"ORGANIZATION", {"a", "z"}}, {"CAF\xC3\xA9", {"b"}}, {"TITLE", {longest}}};
    EXPECT_EQ(info.tags, expected);
    EXPECT_EQ(info.dropped_tags, std::vector<std::string>{"COMMENT"});
}

}  // namespace
