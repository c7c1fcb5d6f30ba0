#pragma once
// How text from files (tags, names) is made safe for where the command writes it.

#include <cstddef>  // std::size_t
#include <cstdint>  // std::int64_t
#include <string>   // std::string

namespace cli {

// For a terminal: C0 controls, DEL and bytes that are not UTF-8 as \xHH; C1
// controls, bidirectional and line separator controls as \uHHHH. At most
// `max_columns` characters: a longer text ends in "…".
std::string printable(const std::string& text, std::size_t max_columns = std::string::npos);

// Characters as a terminal shows them: UTF-8 continuation bytes take no column.
std::size_t columns(const std::string& text);

// A CSV field (RFC 4180): control characters as printable() writes them; a text
// beginning with "=", "+", "-", "@", tab or carriage return, which a spreadsheet
// would take for a formula, after a "'"; quoted when it holds a quote or comma.
std::string csv_field(const std::string& text);

bool is_utf8(const std::string& text);

// Seconds as a clock's text, rounded: "00:01:05".
std::string clock_text(double secs);

// The shortest text that reads back as the same number.
std::string exact_text(double value);
std::string exact_text(std::int64_t value);

// Each byte as the character of the same number (U+0000 to U+00FF), in UTF-8: the
// bytes of a text that is not UTF-8, kept in JSON.
std::string bytes_as_characters(const std::string& text);

}  // namespace cli
