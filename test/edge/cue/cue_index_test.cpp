// Images in the index: listed as their tracks, and read again when only their sheet
// changes; the hidden track, where asked for.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <musiccore/cue.hpp>
#include <musiccore/index.hpp>

#include "edge/cue/cue_files.hpp"
#include "support/index_db.hpp"

namespace {

namespace fs = std::filesystem;
using music_library::Index;
using music_library::IndexChanges;
using music_library::IndexListing;

struct Listed {
    std::string file;  // the name
    int cue_track;
    std::int64_t start_sample, samples;
    std::string title;

    bool operator==(const Listed& other) const
    {
        return file == other.file && cue_track == other.cue_track &&
               start_sample == other.start_sample && samples == other.samples &&
               title == other.title;
    }
};

std::ostream& operator<<(std::ostream& out, const Listed& listed)
{
    return out << listed.file << '#' << listed.cue_track << " @" << listed.start_sample << " +"
               << listed.samples << ' ' << listed.title;
}

std::vector<Listed> listed(const Index& index, const music_library::IndexQuery& query = {})
{
    const IndexListing listing = index.listing(query);
    std::vector<Listed> all;
    std::string path;
    TrackInfo texts;
    media::MediaInfo media;
    for (std::size_t i = 0; i < listing.size(); ++i) {
        listing.track(i, path, texts, media);
        EXPECT_NEAR(media.duration_secs * static_cast<double>(media.sample_rate),
                    static_cast<double>(media.samples.value_or(-1)), 1e-6);
        all.push_back({fs::path(path).filename().string(), listing.cue_track(i),
                       listing.start_sample(i), media.samples.value_or(-1), texts.title});
    }
    return all;
}

// A change of the sheet that a clock's second cannot hide.
void rewrite(const fs::path& file, const std::string& text)
{
    const auto before = fs::last_write_time(file);
    std::ofstream(file, std::ios::binary) << text;
    fs::last_write_time(file, before + std::chrono::seconds(2));
}

// music/disc/image.flac cut by image.cue, and music/plain.flac.
fs::path music_of(const test_files::CueFolder& folder)
{
    const fs::path music = folder.path() / "music";
    fs::create_directories(music / "disc");
    fs::copy_file(test_files::samples + "tone.flac", music / "disc" / "image.flac");
    fs::copy_file(test_files::samples + "tone.flac", music / "plain.flac");
    std::ofstream(music / "disc" / "image.cue", std::ios::binary) << test_files::eac_sheet;
    return music;
}

media::LoudnessOptions in_process()
{
    media::LoudnessOptions options;
    options.limits.isolated = false;
    return options;
}

constexpr std::int64_t second = 44100;
constexpr std::int64_t third = 44100 + 37 * 588;
constexpr std::int64_t image_samples = 100000;  // tone.flac's

TEST(cue_index, lists_an_images_tracks_and_follows_its_sheet)
{
    const test_files::CueFolder folder("cue-index");
    const fs::path music = music_of(folder);
    const fs::path sheet = music / "disc" / "image.cue";
    Index index(folder.path() / "index.db");
    EXPECT_EQ(index.update(music).added, 2U);

    const std::vector<Listed> cut{{"image.flac", 1, 0, second, "First"},
                                  {"image.flac", 2, second, third - second, "Second"},
                                  {"image.flac", 3, third, image_samples - third, "Third"},
                                  {"plain.flac", 0, 0, image_samples, "Tone"}};
    EXPECT_EQ(listed(index), cut);
    // The tracks' own values are what a query looks at.
    music_library::IndexQuery guest;
    guest.artist = "GUEST";
    EXPECT_EQ(listed(index, guest), std::vector<Listed>{cut[1]});
    music_library::IndexQuery about_a_second;
    about_a_second.min_secs = 0.7;
    about_a_second.max_secs = 1.5;
    EXPECT_EQ(listed(index, about_a_second), (std::vector<Listed>{cut[0], cut[2]}));
    const music_library::IndexTotals totals = index.totals();
    EXPECT_EQ(totals.tracks, 4U);
    EXPECT_NEAR(totals.duration_secs, 2.0 * image_samples / 44100.0, 1e-9);
    EXPECT_EQ(index.totals(guest).tracks, 1U);
    // As a scan gives it: the image one track, cut by its sheet.
    const music_library::ScanResult contents = index.contents();
    ASSERT_EQ(contents.tracks.size(), 2U);
    EXPECT_EQ(contents.tracks[0].media.samples, image_samples);
    const music_library::CueTracks* tracks = music_library::cue_tracks_of(contents.tracks[0]);
    ASSERT_NE(tracks, nullptr);
    EXPECT_EQ(tracks->sheet, sheet);
    EXPECT_EQ(tracks->encoding, "UTF-8");
    ASSERT_EQ(tracks->tracks.size(), 3U);
    // Every value as the scan cut it.
    const music_library::ScanResult scanned = music_library::scan(music);
    const music_library::CueTracks* cut_now = music_library::cue_tracks_of(scanned.tracks.at(0));
    ASSERT_NE(cut_now, nullptr);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const music_library::CueTrack& kept = tracks->tracks[i];
        const music_library::CueTrack& read = cut_now->tracks.at(i);
        EXPECT_EQ(kept.path, read.path);
        EXPECT_EQ(kept.start_sample, read.start_sample);
        EXPECT_EQ(kept.samples, read.samples);
        EXPECT_EQ(kept.exact, read.exact);
        EXPECT_EQ(kept.duration_secs, read.duration_secs);
        EXPECT_EQ(kept.tags, read.tags);
    }
    EXPECT_TRUE(tracks->tracks[1].exact);
    EXPECT_EQ(music_library::cue_tracks_of(contents.tracks[1]), nullptr);

    IndexChanges unchanged = index.update(music);
    EXPECT_EQ(unchanged.kept, 2U);
    EXPECT_TRUE(unchanged.files.empty());

    // Only the sheet changes: its last track gone.
    const std::string two(test_files::eac_sheet,
                          std::string(test_files::eac_sheet).find("  TRACK 03"));
    rewrite(sheet, two);
    IndexChanges changed = index.update(music);
    EXPECT_EQ(changed.changed, 1U);
    EXPECT_EQ(changed.kept, 1U);
    ASSERT_EQ(changed.files.size(), 1U);
    EXPECT_EQ(changed.files[0].path.filename(), "image.flac");
    EXPECT_EQ(listed(index).size(), 3U);
    EXPECT_EQ(listed(index)[1].samples, image_samples - second);

    // A sheet broken: the image is one track, and the sheet a failure beside it.
    rewrite(sheet, "FILE \"image.flac\" WAVE\nTRACK 01 AUDIO\n");
    EXPECT_EQ(index.update(music).changed, 1U);
    EXPECT_EQ(listed(index),
              (std::vector<Listed>{{"image.flac", 0, 0, image_samples, "Tone"}, cut[3]}));
    const IndexListing listing = index.listing();
    ASSERT_EQ(listing.failures().size(), 1U);
    EXPECT_NE(listing.failures()[0].message.find("(listed as one track)"), std::string::npos);
    EXPECT_EQ(index.totals().failed, 1U);
    EXPECT_EQ(index.totals().tracks, 2U);

    // The sheet gone, then back.
    fs::remove(sheet);
    EXPECT_EQ(index.update(music).changed, 1U);
    EXPECT_TRUE(index.listing().failures().empty());
    std::ofstream(sheet, std::ios::binary) << test_files::eac_sheet;
    EXPECT_EQ(index.update(music).changed, 1U);
    EXPECT_EQ(listed(index), cut);
    // The image's removal takes its tracks with it.
    fs::remove(music / "disc" / "image.flac");
    EXPECT_EQ(index.update(music).removed, 1U);
    EXPECT_EQ(listed(index), std::vector<Listed>{cut[3]});
    EXPECT_EQ(index.totals().tracks, 1U);
}

// An index made before the CUE tracks reads its images again, and only them.
TEST(cue_index, upgrades_schema_3)
{
    const test_files::CueFolder folder("cue-index-upgrade");
    const fs::path music = music_of(folder);
    const fs::path file = folder.path() / "index.db";
    fs::rename(music / "disc" / "image.cue", folder.path() / "image.cue");
    {
        Index old(file);
        old.update(music);
        EXPECT_EQ(old.measure_loudness(music, in_process()).measured, 2U);
    }
    fs::rename(folder.path() / "image.cue", music / "disc" / "image.cue");
    test_files::sql(
        file, (std::string(test_files::back_to_schema_3) + "PRAGMA user_version = 3").c_str());
    Index index(file);
    EXPECT_EQ(index.listing().size(), 2U);  // as schema 3 had them
    const IndexChanges changes = index.update(music);
    EXPECT_EQ(changes.changed, 1U);
    EXPECT_EQ(changes.kept, 1U);
    EXPECT_EQ(index.listing().size(), 4U);
    // The loudness of the file that did not change is kept; the image's tracks are new.
    const music_library::LoudnessChanges measured = index.measure_loudness(music, in_process());
    EXPECT_EQ(measured.kept, 1U);
    EXPECT_EQ(measured.measured, 3U);
}

// Each track of an image its own loudness, from one decode, in its sheet's album.
TEST(cue_index, measures_each_track_of_an_image)
{
    const test_files::CueFolder folder("cue-index-loudness");
    const fs::path music = music_of(folder);
    Index index(folder.path() / "index.db");
    index.update(music);
    EXPECT_EQ(index.measure_loudness(music, in_process()).measured, 4U);
    const std::vector<music_library::StoredLoudness> stored = index.loudness();
    ASSERT_EQ(stored.size(), 4U);
    const std::int64_t frames[] = {second, third - second, image_samples - third, image_samples};
    for (std::size_t i = 0; i < stored.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(music_library::cue_track_of(stored[i]), i < 3 ? static_cast<int>(i) + 1 : 0);
        ASSERT_TRUE(stored[i].track);
        EXPECT_EQ(stored[i].track->frames, frames[i]);
    }
    EXPECT_EQ(stored[0].album_group, "The Band / The Album");
    EXPECT_EQ(stored[0].album->frames, image_samples);  // its three tracks
    EXPECT_EQ(stored[1].album_group, "The Band / The Album");
    music_library::IndexQuery guest;
    guest.artist = "guest";
    EXPECT_EQ(index.loudness(guest).size(), 1U);
    const music_library::LoudnessChanges again = index.measure_loudness(music, in_process());
    EXPECT_EQ(again.kept, 4U);
    EXPECT_EQ(again.measured, 0U);
}

TEST(cue, lists_the_hidden_track_where_asked)
{
    const test_files::CueFolder folder("cue-hidden");
    const fs::path image = folder.image("image.flac");
    std::string sheet = test_files::eac_sheet;
    sheet.replace(sheet.find("INDEX 01 00:00:00"), 17, "INDEX 01 00:00:50");
    folder.write("image.cue", sheet);
    const media::MediaInfo info = media::read_info(image.string());
    const auto plain = music_library::cue_tracks(image, info);
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->tracks.size(), 3U);
    EXPECT_EQ(plain->tracks[0].start_sample, 50 * 588);
    const auto hidden = music_library::cue_tracks(image, info, {true});
    ASSERT_TRUE(hidden);
    ASSERT_EQ(hidden->tracks.size(), 4U);
    EXPECT_EQ(hidden->tracks[0].cue_track, 0);
    EXPECT_EQ(hidden->tracks[0].start_sample, 0);
    EXPECT_EQ(hidden->tracks[0].samples, 50 * 588);
    EXPECT_EQ(hidden->tracks[0].tags.count("TITLE"), 0U);
    EXPECT_EQ(hidden->tracks[0].tags.at("TRACKNUMBER"), std::vector<std::string>{"0"});
    EXPECT_EQ(hidden->tracks[1].cue_track, 1);
    // None where the first track starts the file.
    folder.write("image.cue", test_files::eac_sheet);
    EXPECT_EQ(music_library::cue_tracks(image, info, {true})->tracks.size(), 3U);
}

}  // namespace
