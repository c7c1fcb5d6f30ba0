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
extern const char* const query_condition;
Statement prepare_query(Database& db, const std::string& sql, const IndexQuery& query);

// The files `query` takes, in three passes over the database whatever their number,
// which must see one state of it.
IndexListing read_listing(Database& db, const IndexQuery& query);

IndexTotals index_totals(Database& db, const IndexQuery& query);

}  // namespace music_library::detail
