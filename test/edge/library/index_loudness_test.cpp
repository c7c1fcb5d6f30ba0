// The loudness an index keeps: measured once, again only for what changed, albums
// gated from what it holds, and a row that no measure wrote refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sqlite3.h>

#include <musiccore/index.hpp>

#include "support/index_db.hpp"
#include "support/test_files.hpp"

namespace {

namespace fs = std::filesystem;
using music_library::Index;

const fs::path samples = test_files::samples;

using test_files::sql;

media::LoudnessOptions in_process()
{
    media::LoudnessOptions options;
    options.true_peak = false;
    return options;
}

TEST(index_loudness, measures_only_what_changed)
{
    const test_files::TempFolder folder("index-loudness");
    const fs::path music = folder.path() / "music";
    fs::create_directories(music / "album");
    fs::copy_file(test_files::loudness + "case-23.flac", music / "album" / "loud.flac");
    fs::copy_file(test_files::loudness + "case-33.flac", music / "album" / "quiet.flac");
    test_files::write_damaged_copy(samples / "tone.flac", music / "damaged.flac");
    const fs::path file = folder.path() / "index.db";
    Index index(file);
    index.update(music);
    EXPECT_TRUE(index.loudness().at(0).failure.empty());  // not measured: no failure either
    const auto first = index.measure_loudness(music, in_process(), 2);
    EXPECT_EQ(first.measured, 2U);
    EXPECT_EQ(first.kept, 0U);
    ASSERT_EQ(first.failures.size(), 1U);
    EXPECT_EQ(first.failures[0].path.filename(), "damaged.flac");

    const auto again = index.measure_loudness(music, in_process(), 2);
    EXPECT_EQ(again.measured + again.failures.size(), 0U);  // a failure is kept too
    EXPECT_EQ(again.kept, 3U);

    const std::vector<music_library::StoredLoudness> stored = index.loudness();
    ASSERT_EQ(stored.size(), 3U);
    EXPECT_EQ(stored[2].path.filename(), "damaged.flac");
    EXPECT_NE(stored[2].failure.find("FLAC: decoding failed"), std::string::npos);
    const media::Loudness direct =
        media::measure_loudness((music / "album" / "loud.flac").string(), in_process());
    ASSERT_TRUE(stored[0].track);
    EXPECT_EQ(stored[0].track->integrated_lufs, direct.integrated_lufs);
    EXPECT_EQ(stored[0].track->range_lu, direct.range_lu);
    // Untagged, in one folder: one album, gated from both tracks' kept blocks.
    ASSERT_TRUE(stored[0].album && stored[1].album);
    EXPECT_NEAR(*stored[0].album->integrated_lufs, -25.6, 0.05);
    EXPECT_EQ(stored[0].album->integrated_lufs, stored[1].album->integrated_lufs);
    EXPECT_EQ(stored[0].album_group, (music / "album").string());

    // Only the file that changed is measured again.
    fs::copy_file(test_files::loudness + "case-23.wav", music / "album" / "quiet.flac",
                  fs::copy_options::overwrite_existing);
    index.update(music);
    const auto changed = index.measure_loudness(music, in_process(), 1);
    EXPECT_EQ(changed.measured, 1U);
    EXPECT_EQ(changed.kept, 2U);
    EXPECT_NEAR(*index.loudness()[1].album->integrated_lufs, -23.0, 0.05);

    // A query's tracks: an album is gated from the tracks it takes.
    music_library::IndexQuery under;
    under.under = music / "album";
    EXPECT_EQ(index.loudness(under).size(), 2U);
}

TEST(index_loudness, refuses_rows_that_no_measure_writes)
{
    const test_files::TempFolder folder("index-loudness-forged");
    const fs::path music = folder.path() / "music";
    fs::create_directories(music);
    fs::copy_file(test_files::loudness + "case-23.flac", music / "a.flac");
    fs::copy_file(test_files::loudness + "case-33.flac", music / "b.flac");
    const fs::path file = folder.path() / "index.db";
    {
        Index index(file);
        index.update(music);
        index.measure_loudness(music, in_process(), 1);
    }
    // Blocks that are not MessagePack, and a loudness the blocks do not give: the
    // first is refused, the second worked out again from the blocks.
    sql(file, "UPDATE loudness SET momentary_bins = x'c1c1' WHERE file_id = "
              "(SELECT id FROM files WHERE path LIKE '%/a.flac')");
    sql(file, "UPDATE loudness SET integrated_lufs = 99 WHERE file_id = "
              "(SELECT id FROM files WHERE path LIKE '%/b.flac')");
    Index index(file, Index::Access::read_only);
    const auto stored = index.loudness();
    ASSERT_EQ(stored.size(), 2U);
    EXPECT_FALSE(stored[0].track);
    EXPECT_EQ(stored[0].failure, "the index holds a loudness that no measure gives");
    ASSERT_TRUE(stored[1].track);
    EXPECT_NEAR(*stored[1].track->integrated_lufs, -33.0, 0.05);
    EXPECT_THROW(index.measure_loudness(music, in_process()), music_library::index_error);
}

// An index of schema 2 gains the loudness table when an update opens it.
TEST(index_loudness, upgrades_schema_2)
{
    const test_files::TempFolder folder("index-loudness-upgrade");
    const fs::path music = folder.path() / "music";
    fs::create_directories(music);
    fs::copy_file(test_files::loudness + "case-23.flac", music / "a.flac");
    const fs::path file = folder.path() / "index.db";
    Index(file).update(music);
    sql(file,
        (std::string(test_files::back_to_schema_3) + "DROP TABLE loudness; PRAGMA user_version = 2")
            .c_str());
    Index index(file);
    EXPECT_FALSE(index.loudness().at(0).track);
    EXPECT_EQ(index.measure_loudness(music, in_process()).measured, 1U);
    EXPECT_TRUE(index.loudness().at(0).track);
}

}  // namespace
