#pragma once
// How the command prints what it read.

#include <ostream>  // std::ostream

#include <musiccore/index.hpp>
#include <musiccore/library.hpp>

namespace cli {

enum class Format { text, json, csv };

// The JSON document's layout, in its "version" field: raised when a key changes
// meaning or goes; new keys may come without.
constexpr int json_version = 1;

// `result` on `out` as a table (scan) or one block per file (info), as one JSON
// document, or as CSV. In text and CSV form the failures go to `err`, one a
// line; in text form a summary line follows them. With `changes`, what an index
// update did is in the summary line and the JSON document.
void print_scan(const music_library::ScanResult& result, Format format, std::ostream& out,
                std::ostream& err, const music_library::IndexChanges* changes = nullptr);
void print_info(const music_library::ScanResult& result, Format format, std::ostream& out,
                std::ostream& err);

}  // namespace cli
