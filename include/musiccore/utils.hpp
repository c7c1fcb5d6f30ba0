#pragma once

#include <chrono>    // std::chrono::seconds
#include <istream>   // std::istream
#include <optional>  // std::optional
#include <string>    // std::string

#include <musiccore/export.hpp>

namespace utils {

// Reads a clock-style text as whole seconds. Accepted forms, tried in this order:
// "S", "M:S" and "H:M:S", each field one or two characters; the seconds field may
// hold one decimal point ("5.", ".6"), rounded to the nearest second, ties to even.
// Fields are not range-checked ("1:75" is 135 s). The whole text must match: any
// leading, trailing or stray character, a sign, or a field without a digit gives
// the empty optional. Never throws for bad text.
MUSICCORE_EXPORT std::optional<std::chrono::seconds> parse_timestamp(const std::string& text);

// Writes a duration as "HH:MM:SS": hours at least two digits and not wrapped at 24,
// a leading "-" for negative durations (12345 s is "03:25:45").
MUSICCORE_EXPORT std::string format_timestamp(const std::chrono::seconds& duration);

}  // namespace utils

// Stream manipulator that demands that nothing is left to read: after `is >> x >> eof`
// the stream is good exactly when the extraction succeeded and consumed all input.
MUSICCORE_EXPORT std::istream& eof(std::istream& is);
