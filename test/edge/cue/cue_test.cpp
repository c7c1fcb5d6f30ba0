// CUE sheets as the tools that write them write them, cut to the sample, and the
// sheets that break their rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <musiccore/cue.hpp>
#include <musiccore/library.hpp>

#include "cue/cue_sheet.hpp"
#include "cue/cue_text.hpp"
#include "cue/flac_cue_sheet.hpp"
#include "edge/cue/cue_files.hpp"
#include "support/test_files.hpp"

namespace {

namespace fs = std::filesystem;
using music_library::detail::parse_cue;
using test_files::CueFolder;
using test_files::eac_sheet;

TEST(cue, cuts_an_image_to_the_sample)
{
    const CueFolder folder("cue-eac");
    const fs::path image = folder.image("image.flac");  // FILE says image.wav
    folder.write("image.cue", eac_sheet);
    const media::MediaInfo info = media::read_info(image.string());
    const auto cut = music_library::cue_tracks(image, info);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->sheet.filename(), "image.cue");
    EXPECT_EQ(cut->encoding, "UTF-8");
    ASSERT_EQ(cut->tracks.size(), 3U);
    // 588 samples a frame at 44.1 kHz; the pregap of track 2 is track 1's.
    const std::int64_t starts[] = {0, 44100, 44100 + 37 * 588};
    const std::int64_t ends[] = {44100, 44100 + 37 * 588, 100000};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const music_library::CueTrack& track = cut->tracks[i];
        EXPECT_EQ(track.cue_track, static_cast<int>(i) + 1);
        EXPECT_EQ(track.start_sample, starts[i]);
        EXPECT_EQ(track.samples, ends[i] - starts[i]);
        EXPECT_TRUE(track.exact);
        EXPECT_EQ(track.tags.at("TOTALTRACKS"), std::vector<std::string>{"3"});
        EXPECT_EQ(track.tags.at("ALBUM"), std::vector<std::string>{"The Album"});
        EXPECT_EQ(track.tags.at("GENRE"), std::vector<std::string>{"Rock"});
        EXPECT_EQ(track.tags.count("DISCID"), 0U);
    }
    EXPECT_EQ(cut->tracks[0].tags.at("ISRC"), std::vector<std::string>{"GBAYE9900001"});
    EXPECT_EQ(cut->tracks[0].tags.at("ARTIST"), std::vector<std::string>{"The Band"});
    EXPECT_EQ(cut->tracks[1].tags.at("ARTIST"), std::vector<std::string>{"Guest"});
    EXPECT_EQ(cut->tracks[1].tags.at("ALBUMARTIST"), std::vector<std::string>{"The Band"});
    EXPECT_EQ(cut->tracks[2].tags.at("TITLE"), std::vector<std::string>{"Third"});
    EXPECT_EQ(cut->tracks[2].tags.at("TRACKNUMBER"), std::vector<std::string>{"3"});
    EXPECT_EQ(cut->tracks[0].tags.at("COMMENT"), std::vector<std::string>{"ExactAudioCopy v1.6"});
    // Silence that no file holds is kept apart from the tracks' samples.
    const auto sheet =
        parse_cue(std::string(eac_sheet) + "  TRACK 04 AUDIO\n    PREGAP 00:02:00\n"
                                           "    INDEX 01 00:01:50\n    POSTGAP 00:00:30\n");
    EXPECT_EQ(sheet.tracks.back().pregap, 150);
    EXPECT_EQ(sheet.tracks.back().postgap, 30);
    // Another file of the folder is not the sheet's: no tracks.
    const fs::path other = folder.image("other.flac");
    EXPECT_FALSE(music_library::cue_tracks(other, media::read_info(other.string())));
}

// Texts as Russian and Japanese rippers write them, without a mark of their encoding.
TEST(cue, reads_sheets_in_the_encodings_rippers_use)
{
    const struct {
        std::string bytes;
        std::string encoding;
        std::string title;  // UTF-8
    } rows[] = {
        {"\xEF\xBB\xBFTITLE \"Caf\xC3\xA9\"", "UTF-8 (BOM)", "Caf\xC3\xA9"},
        {"TITLE \"Caf\xC3\xA9\"", "UTF-8", "Caf\xC3\xA9"},
        {std::string("\xFF\xFET\0I\0", 6), "UTF-16LE", ""},
        // "Кино - Группа крови" in Windows-1251.
        {"PERFORMER \"\xCA\xE8\xED\xEE\"\nTITLE \"\xC3\xF0\xF3\xEF\xEF\xE0 \xEA\xF0\xEE\xE2\xE8\" "
         "\xEF\xE5\xF1\xED\xE8 \xE8 \xEF\xF0\xEE \xEB\xFE\xE1\xEE\xE2\xFC \xE8 "
         "\xE2\xEE\xE9\xED\xF3",
         "windows-1251",
         "\xD0\x93\xD1\x80\xD1\x83\xD0\xBF\xD0\xBF\xD0\xB0 "
         "\xD0\xBA\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB8"},
        // Japanese in Shift_JIS: "東京事変" and more, as a ripper names a disc.
        {"PERFORMER \"\x93\x8C\x8B\x9E\x8E\x96\x95\xCF\"\nTITLE \"\x83\x8A\x83\x93\x83\x53\x82\xCC"
         "\x89\xCC\x81\x41\x82\xB3\x82\xE7\x82\xC9\x82\xA0\x82\xEA\x82\xB1\x82\xEA\"",
         "Shift_JIS",
         "\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xB4\xE3\x81\xAE\xE6\xAD\x8C\xE3\x80\x81\xE3\x81\x95\xE3"
         "\x82\x89\xE3\x81\xAB\xE3\x81\x82\xE3\x82\x8C\xE3\x81\x93\xE3\x82\x8C"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.encoding);
        const auto text = music_library::detail::cue_text(row.bytes);
        EXPECT_EQ(text.encoding, row.encoding);
        if (!row.title.empty()) {
            EXPECT_NE(text.text.find(row.title), std::string::npos) << text.text;
        }
    }
}

// Sheets that break the rules fail with where and why; the image stays one track.
TEST(cue, refuses_sheets_that_break_their_rules)
{
    const std::string head = "FILE \"a.flac\" WAVE\n  TRACK 01 AUDIO\n";
    std::string many = "FILE \"a.flac\" WAVE\n";
    for (int i = 1; i <= 100; ++i) {
        many += "TRACK " + std::to_string(i % 100 == 0 ? 99 : i) + " AUDIO\nINDEX 01 00:00:00\n";
    }
    const struct {
        std::string sheet;
        std::string error;
    } rows[] = {
        {std::string(music_library::detail::max_cue_bytes + 1, ' '), "over 1 MiB"},
        {many, "more than 99 tracks"},
        {head + "    INDEX 01 00:00:75\n", "frames of 75 or more"},
        {head + "    INDEX 01 00:60:00\n", "seconds of 60 or more"},
        {head + "    INDEX 01 1:2\n", "is no time mm:ss:ff"},
        {head + "    INDEX 00 00:01:00\n    INDEX 01 00:00:00\n", "index 1 out of order"},
        {head + "    INDEX 00 00:00:00\n", "track 1 has no INDEX 01"},
        {head + "    INDEX 01 00:02:00\n  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n",
         "track 2 starts before the one before"},
        {head + "    TITLE \"" + std::string(5000, 'x') + "\"\n", "a line of 5012 bytes"},
        {head + "    INDEX 01 00:00:00\n\x01\x02\xFF junk\n", "a control character"},
        {"TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", "TRACK before any FILE"},
        {"FILE \"a.flac\" WAVE\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n", "no audio track"},
        {head + "    INDEX 01 00:00:00\n  TRACK 1x AUDIO\n", "track number '1x'"},
        {head + "    INDEX 100 00:00:00\n", "index number '100'"},
        {"FILE \"a.flac\" WAVE\nINDEX 01 00:00:00\n", "INDEX outside an audio track"},
        {head + "    PREGAP\n", "PREGAP without its value"},
    };
    for (const auto& row : rows) {
        try {
            parse_cue(row.sheet);
            ADD_FAILURE() << row.error << ": parsed";
        } catch (const media::media_error& e) {
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos)
                << e.what() << " (" << row.error << ")";
        }
    }
    // An index past the audio's end: the sheet is not this file's.
    const CueFolder folder("cue-past");
    const fs::path image = folder.image("a.flac");
    folder.write("a.cue",
                 head + "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:05:00\n");
    EXPECT_THROW(music_library::cue_tracks(image, media::read_info(image.string())),
                 media::media_error);
    // A FILE that leaves the folder names no file.
    const CueFolder outside("cue-outside");
    const fs::path alone = outside.image("b.flac");
    outside.write("b.cue", "FILE \"../b.flac\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    EXPECT_FALSE(music_library::cue_tracks(alone, media::read_info(alone.string())));
}

// One sheet of two files: each gets its own tracks. A sheet in the file's own
// CUESHEET tag needs no file beside it.
TEST(cue, gives_each_file_of_a_sheet_its_tracks)
{
    const CueFolder folder("cue-two");
    const fs::path one = folder.image("one.flac");
    const fs::path two = folder.image("two.flac");
    folder.write("disc.cue", "TITLE \"Two Files\"\nFILE \"one.flac\" WAVE\n  TRACK 01 AUDIO\n"
                             "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n"
                             "FILE \"two.flac\" WAVE\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n");
    const auto first = music_library::cue_tracks(one, media::read_info(one.string()));
    const auto second = music_library::cue_tracks(two, media::read_info(two.string()));
    ASSERT_TRUE(first && second);
    ASSERT_EQ(first->tracks.size(), 2U);
    ASSERT_EQ(second->tracks.size(), 1U);
    EXPECT_EQ(second->tracks[0].cue_track, 3);
    EXPECT_EQ(second->tracks[0].samples, 100000);
    EXPECT_EQ(first->tracks[1].samples, 100000 - 44100);

    media::MediaInfo tagged = media::read_info(one.string());
    tagged.tags["CUESHEET"] = {"FILE \"x.flac\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                               "TRACK 02 AUDIO\nINDEX 01 00:00:50\n"};
    const auto embedded = music_library::cue_tracks(one, tagged);
    ASSERT_TRUE(embedded);
    EXPECT_EQ(embedded->sheet, one);
    ASSERT_EQ(embedded->tracks.size(), 2U);
    EXPECT_EQ(embedded->tracks[1].start_sample, 50 * 588);
    EXPECT_EQ(embedded->tracks[1].tags.count("CUESHEET"), 0U);
    // At a rate that 75 does not divide, positions round down and are not exact.
    tagged.sample_rate = 32000;
    EXPECT_FALSE(music_library::cue_tracks(one, tagged)->tracks[1].exact);
}

// A scan finds the sheets beside its files: an image's tracks come with it, and a
// broken sheet that names a file is that file's failure, the file one track.
TEST(cue, scan_cuts_the_images_it_finds)
{
    const CueFolder folder("cue-scan");
    fs::create_directories(folder.path() / "disc" / "broken");
    const fs::path image = folder.path() / "disc" / "image.flac";
    fs::copy_file(test_files::samples + "tone.flac", image);
    std::ofstream(folder.path() / "disc" / "image.cue") << eac_sheet;
    fs::copy_file(test_files::samples + "tone.flac", folder.path() / "disc" / "broken" / "b.flac");
    std::ofstream(folder.path() / "disc" / "broken" / "b.cue")
        << "FILE \"b.flac\" WAVE\nTRACK 01 AUDIO\n";
    fs::copy_file(test_files::samples + "tone.flac", folder.path() / "plain.flac");
    const music_library::ScanResult result = music_library::scan(folder.path());
    ASSERT_EQ(result.tracks.size(), 3U);
    const auto* cut = music_library::cue_tracks_of(result.tracks[1]);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(result.tracks[1].path, image);
    ASSERT_EQ(cut->tracks.size(), 3U);
    EXPECT_EQ(cut->tracks[2].start_sample, 44100 + 37 * 588);
    EXPECT_EQ(music_library::cue_tracks_of(result.tracks[0]), nullptr);  // broken/b.flac
    EXPECT_EQ(music_library::cue_tracks_of(result.tracks[2]), nullptr);  // plain.flac
    ASSERT_EQ(result.failures.size(), 1U);
    EXPECT_EQ(result.failures[0].path.filename(), "b.flac");
    EXPECT_NE(result.failures[0].message.find("track 1 has no INDEX 01 (listed as one track)"),
              std::string::npos)
        << result.failures[0].message;
}

// FLAC's own CUESHEET block, as metaflac imports a sheet: starts in samples.
TEST(cue, reads_the_cue_sheet_block_of_a_flac_file)
{
    const std::string path = test_files::samples + "cuesheet.flac";
    const media::MediaInfo info = media::read_info(path);
    const auto cut = music_library::cue_tracks(path, info);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->encoding, "FLAC CUESHEET block");
    ASSERT_EQ(cut->tracks.size(), 2U);
    EXPECT_EQ(cut->tracks[0].samples, 44100);
    EXPECT_EQ(cut->tracks[1].start_sample, 44100);
    EXPECT_EQ(cut->tracks[1].samples, 100000 - 44100);
    EXPECT_TRUE(cut->tracks[1].exact);
    EXPECT_EQ(cut->tracks[0].tags.at("ISRC"), std::vector<std::string>{"GBAYE9900001"});
    EXPECT_EQ(cut->tracks[0].tags.at("CATALOGNUMBER"), std::vector<std::string>{"0724384960650"});
    EXPECT_EQ(cut->tracks[1].tags.at("TITLE"), std::vector<std::string>{"Tone"});  // the file's
    // The block comes with the record from a reader process, and a scan finds it there.
    media::Limits isolated;
    isolated.isolated = true;
    EXPECT_TRUE(music_library::cue_tracks(path, media::read_info(path, isolated)));
    const CueFolder folder("cue-block");
    fs::copy_file(path, folder.path() / "image.flac");
    music_library::ScanOptions options;
    options.isolated = true;
    const auto scanned = music_library::scan(folder.path(), options);
    ASSERT_EQ(scanned.tracks.size(), 1U);
    const auto* found = music_library::cue_tracks_of(scanned.tracks[0]);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->tracks.size(), 2U);

    // Blocks that do not hold together: cut short, tracks out of order, no lead-out.
    using music_library::detail::parse_flac_cue_sheet;
    const auto block = [](std::initializer_list<std::pair<int, std::uint64_t>> tracks) {
        std::string body(128 + 8 + 1 + 258, '\0');
        body += static_cast<char>(tracks.size());
        for (const auto& [number, offset] : tracks) {
            for (int shift = 56; shift >= 0; shift -= 8) {
                body += static_cast<char>((offset >> static_cast<unsigned>(shift)) & 0xFFU);
            }
            body += static_cast<char>(number);
            body += std::string(12 + 1 + 13, '\0');
            body += static_cast<char>(number == 170 ? 0 : 1);  // one index: INDEX 01 at 0
            if (number != 170) {
                body += std::string(8, '\0') + '\x01' + std::string(3, '\0');
            }
        }
        return body;
    };
    EXPECT_TRUE(parse_flac_cue_sheet(block({{1, 0}, {2, 588}, {170, 5880}})));
    EXPECT_FALSE(parse_flac_cue_sheet(block({{2, 0}, {1, 588}, {170, 5880}})));
    EXPECT_FALSE(parse_flac_cue_sheet(block({{1, 588}, {2, 0}, {170, 5880}})));
    EXPECT_FALSE(parse_flac_cue_sheet(block({{1, 0}, {2, 588}})));
    EXPECT_FALSE(parse_flac_cue_sheet(block({{1, 0}, {170, 5880}, {2, 6000}})));
    const std::string whole = block({{1, 0}, {170, 5880}});
    for (std::size_t cut_at = 0; cut_at < whole.size(); cut_at += 7) {
        EXPECT_FALSE(parse_flac_cue_sheet(std::string_view(whole).substr(0, cut_at))) << cut_at;
    }
}

}  // namespace

namespace {

// A mark of UTF-8 before bytes that are not: the text is told as any other is, and
// comes out as UTF-8 all the same.
TEST(cue, reads_a_false_utf8_mark_as_text_of_its_own)
{
    const auto text = music_library::detail::cue_text("\xEF\xBB\xBFTITLE \"Caf\xE9\"");
    EXPECT_EQ(text.encoding, "windows-1252");
    EXPECT_TRUE(music_library::detail::valid_utf8(text.text));
    EXPECT_NE(text.text.find("Caf\xC3\xA9"), std::string::npos);
}

}  // namespace
