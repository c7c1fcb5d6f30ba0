#pragma once
// What the index holds, read out for a query: which files it takes, and their rows in
// the order of paths.

#include <cstddef>     // std::size_t
#include <filesystem>  // std::filesystem::path
#include <string>      // std::string
#include <utility>     // std::pair

#include <musiccore/index.hpp>

#include "library/sqlite_db.hpp"

namespace music_library::detail {

// An absolute path without "." or ".." or a trailing "/", as the index knows files.
std::filesystem::path absolute_folder(const std::filesystem::path& folder);
// The paths under `folder`, as a range of texts: from "folder/" up to "folder0".
std::pair<std::string, std::string> range_under(const std::filesystem::path& folder);

// Which files a query takes, as a condition on the files table `f`, and a statement
// of `sql` that holds it with its parameters bound.
const std::string& query_condition();
Statement prepare_query(Database& db, const std::string& sql, const IndexQuery& query);
// Which of the CUE tracks `c` (joined to their files `f`) a query takes.
const std::string& cue_condition();
// Which files a listing takes: those query_condition() takes, and those cut by a
// sheet (their tracks taken by cue_condition()).
const std::string& listed_condition();

// The files `query` takes, in a few passes over the database whatever their number,
// which see one state of it: in a listing, and as contents() gives them.
IndexListing read_listing(Database& db, const IndexQuery& query);
ScanResult read_contents(Database& db, const IndexQuery& query);

IndexTotals index_totals(Database& db, const IndexQuery& query);

}  // namespace music_library::detail
