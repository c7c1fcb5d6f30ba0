#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include <ogg/ogg.h>

#include "formats/ogg/ogg_pages.hpp"
#include "support/byte_craft.hpp"
#include "support/test_files.hpp"

namespace {

using byte_craft::le;
using media::detail::OggPage;

// A page of one packet of `body`, its checksum right unless `version` or a flipped
// byte says otherwise.
std::string page(const std::string& body, std::int64_t granule, std::uint32_t serial,
                 char version = 0)
{
    std::string header = "OggS" + std::string(1, version) + '\0' +
                         le(static_cast<std::uint64_t>(granule), 8) + le(serial, 4) + le(0, 4) +
                         le(0, 4) + '\1' + static_cast<char>(body.size());
    ogg_page sealed{reinterpret_cast<unsigned char*>(header.data()),
                    static_cast<long>(header.size()),
                    reinterpret_cast<unsigned char*>(const_cast<char*>(body.data())),
                    static_cast<long>(body.size())};
    ogg_page_checksum_set(&sealed);
    return header + body;
}

// A page is one only whole, of version 0, and with the checksum its header states.
TEST(ogg_pages, a_page_is_whole_and_checked)
{
    const std::string good = page("hello", 960, 7);
    const auto found = OggPage::in("xx" + good, 2, 100);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->offset(), 102);
    EXPECT_EQ(found->end(), 102 + static_cast<std::int64_t>(good.size()));
    EXPECT_EQ(found->granule(), 960);
    EXPECT_EQ(found->serial(), 7U);
    EXPECT_EQ(found->body(), "hello");
    EXPECT_FALSE(OggPage::in(page("hello", 960, 7, 1), 0, 0));  // version 1
    std::string flipped = good;
    flipped.back() = 'O';
    EXPECT_FALSE(OggPage::in(flipped, 0, 0));
    EXPECT_FALSE(OggPage::in(good.substr(0, good.size() - 1), 0, 0));
    EXPECT_FALSE(OggPage::in(good, 1, 0));
    EXPECT_FALSE(OggPage::in(good, good.size() + 1, 0));
}

// The last page is the last one whole: a page cut at the end, or bytes after, pass.
TEST(ogg_pages, the_last_page_from_the_end)
{
    const std::string pages = page("first", 0, 1) + page(std::string(200, 'a'), 48000, 1) +
                              page(std::string(100, 'b'), 96000, 1);
    const test_files::TempFolder folder("ogg-pages");
    const struct {
        const char* name;
        std::string bytes;
        std::int64_t granule;
    } rows[] = {
        {"whole", pages, 96000},
        {"a page cut", pages + page("cut", 99999, 1).substr(0, 20), 96000},
        {"junk after", pages + std::string(70000, 'j'), 96000},
        {"no page", std::string(300, 'j'), -2},
    };
    for (const auto& row : rows) {
        byte_craft::write(folder / "file.ogg", row.bytes);
        media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
        media::detail::FileSource source(folder / "file.ogg", budget);
        const auto last = media::detail::last_ogg_page(source, source.size(), nullptr);
        EXPECT_EQ(last ? last->granule() : -2, row.granule) << row.name;
    }
}

}  // namespace
