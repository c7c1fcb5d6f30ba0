#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <musiccore/media.hpp>

#include "support/byte_craft.hpp"
#include "support/test_files.hpp"
#include "tags/pictures.hpp"
#include "tags/tag_collector.hpp"

namespace {

using byte_craft::be;
using byte_craft::chunk;
using byte_craft::le;
using media::detail::PictureCapture;
using namespace std::string_literals;
using test_files::read_file;
using test_files::samples;

const std::string png_head = "\x89PNG\r\n\x1A\n"s;

std::string base64(const std::string& bytes)
{
    constexpr const char* digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            group = group << 8U |
                    (i + j < bytes.size() ? static_cast<unsigned char>(bytes[i + j]) : 0U);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            text += j <= (bytes.size() - i) ? digits[(group >> (18 - 6 * j)) & 0x3FU] : '=';
        }
    }
    return text;
}

// A FLAC PICTURE structure; `length` the data length it states, if not the true one.
std::string picture_structure(std::uint32_t type, const std::string& mime, const std::string& text,
                              std::uint32_t width, std::uint32_t height, const std::string& data,
                              std::optional<std::uint32_t> length = std::nullopt)
{
    return be(type, 4) + be(mime.size(), 4) + mime + be(text.size(), 4) + text + be(width, 4) +
           be(height, 4) + be(24, 4) + be(0, 4) + be(length.value_or(data.size()), 4) + data;
}

std::string described(const media::Picture& p)
{
    return std::string(media::picture_type_name(p.type)) + " " + p.mime_type + " " +
           (p.width ? std::to_string(*p.width) + "x" + std::to_string(p.height.value_or(0)) : "-") +
           " " + std::to_string(p.size) + " '" + p.description + "'";
}

std::string described(const std::vector<media::Picture>& pictures)
{
    std::string text;
    for (const auto& picture : pictures) {
        text += (text.empty() ? "" : ", ") + described(picture);
    }
    return text;
}

TEST(pictures, base64_decoded_in_part)
{
    const std::string bytes = "any carnal pleas";  // 16 bytes: a last group of one
    const std::string text = base64(bytes);
    for (std::size_t from = 0; from <= bytes.size(); ++from) {
        for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{5},
                                  std::size_t{100}, SIZE_MAX}) {
            EXPECT_EQ(media::detail::base64_decoded(text, from, count), bytes.substr(from, count))
                << from << " " << count;
        }
    }
    std::string every_byte;  // and so every digit
    for (int i = 0; i < 256; ++i) {
        every_byte += static_cast<char>(i);
    }
    EXPECT_EQ(media::detail::base64_decoded(base64(every_byte), 0, SIZE_MAX), every_byte);
    // Without its padding, as some writers leave it; and stopping where it is not
    // base64, but not before what is asked for.
    EXPECT_EQ(media::detail::base64_decoded(base64("ab"), 0, 9), "ab");
    EXPECT_EQ(media::detail::base64_decoded("YWJj", 0, 9), "abc");
    EXPECT_EQ(media::detail::base64_decoded("YWJj*WJj", 0, 9), "abc");
    EXPECT_EQ(media::detail::base64_decoded("YWJjYW*jYWJj", 6, 3), "abc");
}

// The structure in a comment, held together or not: nothing past what decodes.
TEST(pictures, comment_picture_blocks)
{
    const std::string data = png_head + "rest";
    const std::string long_text(media::max_tag_value + 1, 'd');
    const struct {
        std::string structure;
        std::string expected;  // empty: no picture
    } rows[] = {
        {picture_structure(3, "image/png", "Front", 8, 6, data),
         "front cover image/png 8x6 12 'Front'"},
        {picture_structure(4, "", "", 0, 0, data), "back cover  - 12 ''"},  // sizes unsaid
        {picture_structure(99, "image/png", "", 8, 0, data), "other image/png - 12 ''"},
        {picture_structure(0, "image/png", "", 0, 6, data), "other image/png - 12 ''"},
        {picture_structure(3, "image/png", long_text, 1, 1, data),
         "front cover image/png 1x1 12 ''"},
        {picture_structure(3, "image/png", "", 1, 1, data, 0xFFFFFFFF), ""},    // 4 GiB declared
        {picture_structure(3, "image/png", "", 1, 1, data, 13), ""},            // one byte past
        {picture_structure(3, "image/png", "", 1, 1, data).substr(0, 30), ""},  // cut short
        {be(3, 4) + be(0xFFFFFFF0, 4) + "image/png", ""},                       // its MIME type
        {"", ""},
    };
    for (const auto& row : rows) {
        media::detail::TagCollector tags;
        tags.add_comment("metadata_block_picture=" + base64(row.structure));
        media::MediaInfo info;
        tags.move_into(info);
        EXPECT_EQ(described(info.pictures), row.expected) << row.expected;
        EXPECT_TRUE(info.tags.empty() && info.dropped_tags.empty());  // never a tag
    }
}

// The names are the interface's texts: every one, and "other" past them.
TEST(pictures, type_names)
{
    std::string names;
    for (int type = -1; type <= 21; ++type) {
        names += std::string(media::picture_type_name(type)) + ", ";
    }
    EXPECT_EQ(names,
              "other, other, file icon, other file icon, front cover, back cover, leaflet page, "
              "media, lead artist, artist, conductor, band, composer, lyricist, recording "
              "location, during recording, during performance, video capture, bright coloured "
              "fish, illustration, band logotype, publisher logotype, other, ");
}

TEST(pictures, sniffed_image_types)
{
    const std::pair<std::string, std::string> rows[] = {
        {"\xFF\xD8\xFF\xE0"s, "image/jpeg"},
        {png_head, "image/png"},
        {"GIF89a", "image/gif"},
        {"BM\0\0"s, "image/bmp"},
        {"RIFF\0\0\0\0WEBPVP8 "s, "image/webp"},
        {"RIFF\0\0\0\0WEBP"s, "image/webp"},
        {"RIFF\0\0\0\0WAVE"s, ""},
        {"\xFF\xD8"s, ""},
        {"", ""},
    };
    for (const auto& [head, type] : rows) {
        EXPECT_EQ(media::detail::sniffed_mime_type(head), type) << type;
    }
}

// Offers are counted in order; only the one wanted is loaded, and only within the
// limit; a capture inside another has the offers until it ends.
TEST(pictures, capture_takes_only_the_one_wanted)
{
    std::vector<int> loaded;
    const auto offer = [&loaded](int n, std::size_t size) {
        PictureCapture::offer(size, [&loaded, n] {
            loaded.push_back(n);
            return std::to_string(n);
        });
    };
    offer(0, 1);  // no capture: nothing loaded
    PictureCapture outer(2, 10);
    offer(0, 1);
    {
        PictureCapture inner(0, 4);
        offer(1, 5);  // over its limit
        offer(2, 1);
        EXPECT_FALSE(inner.bytes());
    }
    offer(3, 1);
    offer(4, 10);  // the outer's third, at its limit
    EXPECT_EQ(outer.bytes(), "4");
    EXPECT_EQ(loaded, std::vector<int>{4});
}

// Audio files whose only tags are crafted: a WAV with an ID3 chunk of ID3v2.3
// `frames`, an MP3 with an APE tag after its frames.
std::string wav_with_id3(const std::string& frames)
{
    std::string size;  // synchsafe
    for (int shift = 21; shift >= 0; shift -= 7) {
        size += static_cast<char>((frames.size() >> static_cast<unsigned>(shift)) & 0x7FU);
    }
    const std::string tag = "ID3\x03\0\0"s + size + frames;
    const std::string fmt =
        le(1, 2) + le(2, 2) + le(44100, 4) + le(44100 * 4, 4) + le(4, 2) + le(16, 2);
    const std::string body =
        "WAVE" + chunk("fmt ", fmt) + chunk("data", std::string(400, '\0')) + chunk("id3 ", tag);
    return "RIFF" + le(body.size(), 4) + body;
}

std::string apic(const std::string& id, const std::string& body)
{
    return id + be(body.size(), 4) + "\0\0"s + body;
}

std::string mp3_with_ape(const std::string& items, std::uint32_t count)
{
    return read_file(samples + "no-header.mp3") + items + "APETAGEX" + le(2000, 4) +
           le(items.size() + 32, 4) + le(count, 4) + le(0, 4) + std::string(8, '\0');
}

std::string ape_item(const std::string& key, const std::string& value, std::uint32_t flags = 2,
                     std::optional<std::uint32_t> length = std::nullopt)
{
    return le(length.value_or(value.size()), 4) + le(flags, 4) + key + '\0' + value;
}

// A FLAC file with a PICTURE block after its STREAMINFO.
std::string flac_with_picture(const std::string& structure)
{
    const std::string flac = read_file(samples + "tone.flac");
    std::string streaminfo = flac.substr(4, 38);
    streaminfo[0] = static_cast<char>(streaminfo[0] & 0x7F);  // no longer the last
    return "fLaC" + streaminfo + "\x06"s + be(structure.size(), 3) + structure + flac.substr(42);
}

std::string read_pictures(const std::string& path)
{
    try {
        return described(media::read_info(path).pictures);
    } catch (const media::media_error& e) {
        return e.what();
    }
}

// Each tag format's pictures, and what each does with one that claims more than it
// holds: 4 GiB declared.
TEST(pictures, in_every_tag_format_and_past_their_bounds)
{
    const std::string data = png_head + "rest";
    const std::string huge = "\xFF\xFF\xFF\xFF"s;
    const struct {
        std::string name, bytes, expected;
    } rows[] = {
        {"apic.wav",
         wav_with_id3(apic("APIC", "\0image/png\0\x03"
                                   "Front\0"s +
                                       data)),
         "front cover image/png - 12 'Front'"},
        // No MIME type: told by the bytes; a type past those known is "other".
        {"sniffed.wav", wav_with_id3(apic("APIC", "\0\0\x30\0"s + data)),
         "other image/png - 12 ''"},
        {"utf16.wav",
         wav_with_id3(apic("APIC", "\x01image/png\0\x04\xFF\xFE"
                                   "B\0\0\0"s +
                                       data)),
         "back cover image/png - 12 'B'"},
        {"link.wav", wav_with_id3(apic("APIC", "\0-->\0\x03\0http://x/y.png"s)), ""},
        {"huge.wav",
         wav_with_id3("APIC" + huge + "\0\0\0image/png\0\x03\0"s + data + apic("TIT2", "\0T"s)),
         ""},  // past the tag: the frames end there
        {"ape.mp3", mp3_with_ape(ape_item("Cover Art (Back)", "b.png\0"s + data), 1),
         "back cover image/png - 12 'b.png'"},
        {"ape-other.mp3",
         mp3_with_ape(ape_item("COVER ART (FISH)", "\0"s + data) +
                          ape_item("Cover Art (Nothing)", "\0\xFF\xD8\xFF"s) +
                          ape_item("Cover Art (Front)", "no zero byte") +
                          ape_item("Cover Art (Front)", "f.png\0"s + data, 0),  // text
                      4),
         "bright coloured fish image/png - 12 '', other image/jpeg - 3 ''"},
        {"ape-huge.mp3",
         mp3_with_ape(ape_item("Cover Art (Front)", "f.png\0"s + data, 2, 0xFFFFFFFF), 1), ""},
        {"picture.flac", flac_with_picture(picture_structure(3, "image/png", "", 8, 6, data)),
         "front cover image/png 8x6 12 ''"},
        // A picture that claims more than its block: left out, the file read.
        {"huge.flac",
         flac_with_picture(picture_structure(3, "image/png", "", 8, 6, data, 0xFFFFFFFF)), ""},
    };
    const test_files::TempFolder folder("pictures");
    for (const auto& row : rows) {
        byte_craft::write(folder / row.name, row.bytes);
        EXPECT_EQ(read_pictures(folder / row.name), row.expected) << row.name;
    }
    EXPECT_EQ(media::read_info(folder / "huge.flac").dropped_tags,
              std::vector<std::string>{"METADATA_BLOCK_PICTURE"});
    EXPECT_EQ(media::read_picture(folder / "picture.flac", 0), data);
    // The picture's bytes, and the others' left alone.
    EXPECT_EQ(media::read_picture(folder / "ape.mp3", 0), data);
    EXPECT_EQ(media::read_picture(folder / "ape-other.mp3", 1), "\xFF\xD8\xFF"s);
    EXPECT_EQ(media::read_picture(folder / "utf16.wav", 0), data);
}

// APE names the types in words, in any case, in the order of their numbers.
TEST(pictures, ape_cover_words)
{
    const char* words[] = {"Other",
                           "Icon",
                           "Other Icon",
                           "Front",
                           "Back",
                           "Leaflet",
                           "Media",
                           "Lead Artist",
                           "Artist",
                           "Conductor",
                           "Band",
                           "Composer",
                           "Lyricist",
                           "Recording Location",
                           "During Recording",
                           "During Performance",
                           "Video Capture",
                           "Fish",
                           "Illustration",
                           "Band Logotype",
                           "Publisher Logotype",
                           "",
                           "Front)"};
    std::string items;
    for (const char* word : words) {
        items += ape_item("Cover Art (" + std::string(word) + ")", "\0\xFF\xD8\xFF"s);
    }
    const test_files::TempFolder folder("ape-words");
    byte_craft::write(folder / "covers.mp3", mp3_with_ape(items, std::size(words)));
    std::vector<int> types;
    for (const auto& picture : media::read_info(folder / "covers.mp3").pictures) {
        types.push_back(picture.type);
    }
    std::vector<int> expected(21);
    std::iota(expected.begin(), expected.end(), 0);
    expected.insert(expected.end(), {0, 0});  // no word, and one that is none
    EXPECT_EQ(types, expected);
}

}  // namespace
