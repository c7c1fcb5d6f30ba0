#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <musiccore/media.hpp>

#include "support/byte_craft.hpp"
#include "support/test_files.hpp"

namespace {

using byte_craft::le;
using namespace std::string_literals;
using test_files::read_file;
using test_files::samples;

std::string item(const std::string& key, const std::string& value, std::uint32_t flags = 0)
{
    return le(value.size(), 4) + le(flags, 4) + key + '\0' + value;
}

// The footer that ends an APEv2 tag; `size` and `count` as they should be unless
// given.
std::string ape(const std::string& items, std::uint32_t count,
                std::optional<std::uint64_t> size = std::nullopt)
{
    return items + "APETAGEX" + le(2000, 4) + le(size.value_or(items.size() + 32), 4) +
           le(count, 4) + le(0, 4) + std::string(8, '\0');
}

// An MP3 whose ID3v2 tag names the artist: APE adds what ID3v2 does not name.
TEST(ape_tags, add_to_an_mp3s_id3v2)
{
    const std::string items =
        item("Artist", "Not this one") + item("REPLAYGAIN_TRACK_GAIN", "-7.20 dB") +
        item("Year", "2001") + item("Publisher", "Label") + item("Composer", "One\0Two"s) +
        item("Cover Art (Front)", "front.jpg\0\xFF\xD8"s, 2) + item("MUSICBRAINZ ALBUM ID", "b1");
    const test_files::TempFolder folder("ape");
    const std::string path = folder / "tagged.mp3";
    byte_craft::write(path, read_file(samples + "lame.mp3") + ape(items, 7));
    const media::MediaInfo info = media::read_info(path);
    EXPECT_EQ(info.tags.at("ARTIST"), std::vector<std::string>{"Émile"});
    EXPECT_EQ(info.tags.at("REPLAYGAIN_TRACK_GAIN"), std::vector<std::string>{"-7.20 dB"});
    EXPECT_EQ(info.tags.at("LABEL"), std::vector<std::string>{"Label"});
    EXPECT_EQ(info.tags.at("COMPOSER"), (std::vector<std::string>{"One", "Two"}));
    EXPECT_EQ(info.tags.at("MUSICBRAINZ_ALBUMID"), std::vector<std::string>{"b1"});
    EXPECT_EQ(info.tags.count("COVER ART (FRONT)"), 0U);                // binary: not a tag
    EXPECT_EQ(info.tags.at("DATE"), std::vector<std::string>{"2019"});  // ID3v2's
    EXPECT_EQ(info.samples, 100000);
}

TEST(ape_tags, bounds)
{
    const std::string v1 = read_file(samples + "v1.mp3");
    const std::string audio = read_file(samples + "no-header.mp3");
    const std::string two = item("Mood", "Calm") + item("Subtitle", "S");
    // The names of no-header.mp3's ID3v2 tag, in order, with `ape`'s among them.
    const auto id3 = [](const std::string& ape) {
        return "ALBUM ARTIST DATE GENRE " + ape + "TITLE ";
    };
    const std::pair<std::string, std::string> rows[] = {
        // Before an ID3v1 tag, which then adds nothing: the file has tags.
        {v1.substr(0, v1.size() - 128) + ape(two, 2) + v1.substr(v1.size() - 128),
         "MOOD SUBTITLE "},
        {audio + ape(two, 2), id3("MOOD SUBTITLE ")},
        {audio + ape(item("Disc", "2/3"), 1),
         "ALBUM ARTIST DATE DISCNUMBER DISCTOTAL GENRE TITLE "},
        {audio + ape(two, 1), id3("MOOD ")},           // its count: one item
        {audio + ape(two, 3), id3("MOOD SUBTITLE ")},  // more than it holds
        {audio + ape(item("Mood", "Calm") + le(2, 4) + le(0, 4) + "Subtitle\0S"s, 2),
         id3("MOOD ") + "(APEv2 left out) "},  // an item one byte past the tag: said
        {audio + ape(two, 2, 0x1000001), "MP3: APE tag over the 16 MiB limit"},
        {audio + ape(two, 10001), "MP3: more than 10000 tags"},
        {audio + ape(two, 2, 8), id3("") + "(APEv2 left out) "},  // smaller than its footer
    };
    const test_files::TempFolder folder("ape-bounds");
    const std::string path = folder / "tagged.mp3";
    for (const auto& [bytes, expected] : rows) {
        byte_craft::write(path, bytes);
        std::string names;
        try {
            const media::MediaInfo info = media::read_info(path);
            for (const auto& tag : info.tags) {
                names += tag.first + " ";
            }
            for (const auto& dropped : info.dropped_tags) {
                names += "(" + dropped + " left out) ";
            }
        } catch (const media::media_error& e) {
            names = e.what();
        }
        EXPECT_EQ(names, expected);
    }
}

}  // namespace
