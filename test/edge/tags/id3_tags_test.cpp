#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <musiccore/media.hpp>

#include "tags/id3_tags.hpp"

namespace {

using media::Tags;

std::string synchsafe(std::size_t size)
{
    std::string bytes;
    for (int shift = 21; shift >= 0; shift -= 7) {
        bytes += static_cast<char>((size >> static_cast<unsigned>(shift)) & 0x7FU);
    }
    return bytes;
}

std::string plain_size(std::size_t size, int bytes)
{
    std::string text;
    for (int i = bytes - 1; i >= 0; --i) {
        text += static_cast<char>((size >> (8 * i)) & 0xFFU);
    }
    return text;
}

// A frame of ID3v2.`major`, its flags' second byte `format`.
std::string frame(int major, const std::string& id, const std::string& data, char format = 0)
{
    if (major == 2) {
        return id + plain_size(data.size(), 3) + data;
    }
    return id + (major == 4 ? synchsafe(data.size()) : plain_size(data.size(), 4)) +
           std::string(1, '\0') + format + data;
}

// Every 0xFF followed by 0x00, as an unsynchronised tag has it.
std::string unsynchronised(const std::string& bytes)
{
    std::string text;
    for (const char c : bytes) {
        text += c;
        if (c == '\xFF') {
            text += '\0';
        }
    }
    return text;
}

std::string tag(int major, const std::string& frames, char flags = 0)
{
    return std::string("ID3") + static_cast<char>(major) + '\0' + flags + synchsafe(frames.size()) +
           frames;
}

struct Read {
    Tags tags;
    std::string refusal;
};

Read read_tags(const std::string& bytes, bool version1 = false)
{
    const std::string path = testing::TempDir() + "musiccore-id3-" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << bytes;
    media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
    media::detail::FileSource source(path, budget);
    media::detail::TagCollector tags;
    bool found = false;
    Read read;
    if (version1) {
        media::detail::read_id3v1(source, tags);
    } else if (const char* why = media::detail::read_id3v2(source, tags, found)) {
        read.refusal = why;
    }
    media::MediaInfo info;
    tags.move_into(info);
    read.tags = info.tags;
    std::remove(path.c_str());
    return read;
}

const std::string latin1 = std::string(1, '\0');
const std::string utf8 = "\x03";

// Each version's frames, encodings and flags, as the names they get.
TEST(id3_tags, versions_encodings_and_frames)
{
    const std::string z(1, '\0');
    const struct {
        const char* what;
        std::string bytes;
        Tags tags;
    } rows[] = {
        // A date's day and month apart from its year: TYER and TDAT, TYE and TDA.
        {"2.3's date in two frames",
         tag(3, frame(3, "TDAT", latin1 + "0304") + frame(3, "TYER", latin1 + "2010")),
         {{"DATE", {"2010-04-03"}}}},
        {"2.2's date in two frames",
         tag(2, frame(2, "TYE", latin1 + "2010") + frame(2, "TDA", latin1 + "3112")),
         {{"DATE", {"2010-12-31"}}}},
        {"a day and month that are none",
         tag(3, frame(3, "TYER", latin1 + "2010") + frame(3, "TDAT", latin1 + "3113")),
         {{"DATE", {"2010"}}}},
        {"2.2's three-letter frames",
         tag(2, frame(2, "TT2", latin1 + "Caf\xE9") + frame(2, "TP1", latin1 + "Ann") +
                    frame(2, "TXX", latin1 + "MOOD" + z + "calm")),
         {{"TITLE", {"Café"}}, {"ARTIST", {"Ann"}}, {"MOOD", {"calm"}}}},
        {"2.3 in UTF-16 with byte order marks, both ways",
         tag(3, frame(3, "TIT2",
                      std::string("\x01\xFF\xFE"
                                  "A\0b\0",
                                  7)) +
                    frame(3, "TALB", std::string("\x01\xFE\xFF\0A\0b", 7)) +
                    frame(3, "TPE1", std::string("\x02\0A\x00\xE9", 5))),
         {{"TITLE", {"Ab"}}, {"ALBUM", {"Ab"}}, {"ARTIST", {"Aé"}}}},
        {"characters of two and three bytes in UTF-8",
         tag(3, frame(3, "TIT2", std::string("\x01\xFF\xFE\xE9\0\xAC\x20\x2B\x4E", 9))),
         {{"TITLE", {"\xC3\xA9\xE2\x82\xAC\xE4\xB8\xAB"}}}},  // é € U+4E2B
        {"a character past the first plane, a surrogate pair, where the value ends",
         tag(3, frame(3, "TIT2",
                      std::string("\x01\xFF\xFE"
                                  "A\0\x3D\xD8\x00\xDE",
                                  9))),
         {{"TITLE", {"A\xF0\x9F\x98\x80"}}}},
        {"2.3 unsynchronised as a whole",
         tag(3, unsynchronised(frame(3, "TIT2", latin1 + "\xFFx")), '\x80'),
         {{"TITLE", {"\xC3\xBFx"}}}},
        {"2.4 values apart, sizes not synchsafe, a frame unsynchronised",
         tag(4, frame(4, "TPE1", utf8 + "Ann" + z + "Bob") + "TALB" + plain_size(129, 4) +
                    std::string(2, '\0') + utf8 + std::string(128, 'a') + "TIT3" + synchsafe(4) +
                    std::string(1, '\0') + '\x02' + unsynchronised(utf8 + "\xFF" + "a")),
         {{"ARTIST", {"Ann", "Bob"}},
          {"ALBUM", {std::string(128, 'a')}},
          {"SUBTITLE",
           {"\xFF"
            "a"}}}},
        {"numbers, totals and genres",
         tag(4, frame(4, "TRCK", utf8 + "3/12") + frame(4, "TPOS", utf8 + "1") +
                    frame(4, "TCON",
                          utf8 + "(17)" + z + "17" + z + "(17)Rock" + z + "Jazz" + z + "(999)" + z +
                              "(17")),
         {{"TRACKNUMBER", {"3"}},
          {"TRACKTOTAL", {"12"}},
          {"DISCNUMBER", {"1"}},
          {"GENRE", {"Rock", "Rock", "Rock", "Jazz", "(999)", "(17"}}}},
        {"comments: the listener's only; lyrics; compressed and encrypted passed over",
         tag(3, frame(3, "COMM", latin1 + "eng" + z + "hello") +
                    frame(3, "COMM", latin1 + "eng" + "iTunNORM" + z + "0 0") +
                    frame(3, "USLT", latin1 + "eng" + z + "la la") +
                    frame(3, "TIT2", latin1 + "zipped", '\x80') +
                    frame(3, "TIT1", latin1 + "secret", '\x40')),
         {{"COMMENT", {"hello"}}, {"LYRICS", {"la la"}}}},
        {"user texts by the names of their convention; MusicBrainz's recording id",
         tag(4, frame(4, "TXXX", utf8 + "MusicBrainz Album Id" + z + "a1") +
                    frame(4, "TXXX", latin1 + "replaygain_track_gain" + z + "-6.5 dB") +
                    frame(4, "TXXX", utf8 + "Acoustid Id" + z + "f0") +
                    frame(4, "TXXX", utf8 + z + "no name") +
                    frame(4, "UFID", "http://musicbrainz.org" + z + "r9") +
                    frame(4, "UFID", "http://example.org" + z + "other")),
         {{"MUSICBRAINZ_ALBUMID", {"a1"}},
          {"REPLAYGAIN_TRACK_GAIN", {"-6.5 dB"}},
          {"ACOUSTID_ID", {"f0"}},
          {"MUSICBRAINZ_TRACKID", {"r9"}}}},
        {"an extended header, then padding",
         tag(3,
             plain_size(6, 4) + std::string(6, '\0') + frame(3, "TIT2", latin1 + "x") +
                 std::string(20, '\0'),
             '\x40'),
         {{"TITLE", {"x"}}}},
        {"two tags, one after the other: the first counts",
         tag(4, frame(4, "TIT2", utf8 + "one")) + tag(3, frame(3, "TPE1", latin1 + "two")),
         {{"TITLE", {"one"}}}},
        {"a frame larger than its tag ends it",
         tag(3,
             frame(3, "TIT2", latin1 + "x") + "TPE1" + plain_size(999, 4) + std::string(2, '\0')),
         {{"TITLE", {"x"}}}},
        {"no tag of a known version", tag(5, frame(4, "TIT2", utf8 + "x")), {}},
    };
    for (const auto& row : rows) {
        const Read read = read_tags(row.bytes);
        EXPECT_EQ(read.refusal, "") << row.what;
        EXPECT_EQ(read.tags, row.tags) << row.what;
    }
}

TEST(id3_tags, past_the_limits)
{
    std::string frames;
    for (int i = 0; i <= 10000; ++i) {
        frames += frame(4, "TXXX", utf8 + "N" + std::to_string(i) + std::string(1, '\0') + "v");
    }
    EXPECT_EQ(read_tags(tag(4, frames)).refusal, "more than 10000 tags");
    const std::string big = std::string("ID3\x04\0\0", 6) + synchsafe(media::max_tag_bytes + 1);
    EXPECT_EQ(read_tags(big).refusal, "ID3v2 tags over the 16 MiB limit");
}

// ID3v1: fixed fields of Latin-1, the track of 1.1, and every genre a name of its own.
TEST(id3_tags, version_1)
{
    const auto v1 = [](const std::string& comment, unsigned char genre) {
        std::string field = std::string("TAG") + "Caf\xE9" + std::string(26, '\0') + "Ann" +
                            std::string(27, ' ') + std::string(30, '\0') + "1999" + comment;
        field.resize(127, '\0');
        return std::string(300, '\0') + field + static_cast<char>(genre);
    };
    const Read read =
        read_tags(v1(std::string("nice") + std::string(24, '\0') + '\0' + '\x07', 8), true);
    const Tags expected{{"TITLE", {"Café"}},   {"ARTIST", {"Ann"}},    {"DATE", {"1999"}},
                        {"COMMENT", {"nice"}}, {"TRACKNUMBER", {"7"}}, {"GENRE", {"Jazz"}}};
    EXPECT_EQ(read.tags, expected);
    std::set<std::string> genres;
    for (unsigned genre = 0; genre < 255; ++genre) {
        const Tags tags = read_tags(v1("", static_cast<unsigned char>(genre)), true).tags;
        if (tags.count("GENRE") != 0) {
            EXPECT_FALSE(tags.at("GENRE").at(0).empty()) << genre;
            genres.insert(tags.at("GENRE").at(0));
        }
    }
    EXPECT_EQ(genres.size(), 192U);  // numbered 0 to 191, no two alike
    // Where a name one off would show: the ends of the standard's list and of
    // Winamp's, and where Winamp's additions changed hands.
    const std::pair<unsigned char, const char*> known[] = {
        {0, "Blues"},        {17, "Rock"},      {79, "Hard Rock"}, {80, "Folk"},
        {125, "Dance Hall"}, {147, "Synthpop"}, {148, "Abstract"}, {191, "Psybient"}};
    for (const auto& [number, name] : known) {
        EXPECT_EQ(read_tags(v1("", number), true).tags.at("GENRE"), std::vector<std::string>{name})
            << int{number};
    }
    EXPECT_EQ(read_tags(v1("", 192), true).tags.count("GENRE"), 0U);
    EXPECT_TRUE(read_tags(std::string(50, '\0'), true).tags.empty());
}

}  // namespace
