#pragma once
// Index files as tests make them: statements run on one, and the steps back to the
// schemas before, whose upgrades are tested.

#include <filesystem>  // std::filesystem::path

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace test_files {

inline void sql(const std::filesystem::path& file, const char* statement)
{
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    EXPECT_EQ(sqlite3_exec(db, statement, nullptr, nullptr, nullptr), SQLITE_OK) << statement;
    sqlite3_close(db);
}

// What schema 4 added: the CUE tracks, and loudness by track. Leaves user_version
// for the caller to set.
inline constexpr const char* back_to_schema_3 =
    "DROP TABLE cue_tags; DROP TABLE cue_tracks; ALTER TABLE files DROP COLUMN sheets; "
    "ALTER TABLE files DROP COLUMN cue_sheet; ALTER TABLE files DROP COLUMN cue_encoding; "
    "ALTER TABLE files DROP COLUMN cue_failure; "
    "CREATE TABLE loudness_3 AS SELECT file_id, outcome, message, integrated_lufs, range_lu, "
    "sample_peak, true_peak, channels, sample_rate, frames, momentary_bins, short_term_bins "
    "FROM loudness WHERE cue_track = 0; "
    "DROP TABLE loudness; ALTER TABLE loudness_3 RENAME TO loudness;";

}  // namespace test_files
