#pragma once
// Text as a query's matching compares it, in the index's SQL too.

#include <string>       // std::string
#include <string_view>  // std::string_view

#include "library/sqlite_db.hpp"

namespace music_library::detail {

// `text` under Unicode's NFKC case folding: "émile", "Émile" and "ÉMILE", composed or
// not, are one text; "straße" is "strasse". Bytes that are not UTF-8 stand for U+FFFD.
std::string folded(std::string_view text);

// Gives the connection the SQL function musiccore_fold(text): folded() of the text.
void add_fold_function(Database& db);

}  // namespace music_library::detail
