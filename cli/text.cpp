#include "text.hpp"

#include <array>          // std::array
#include <charconv>       // std::to_chars
#include <chrono>         // std::chrono::seconds
#include <cmath>          // std::llround, std::isfinite, std::fabs
#include <unordered_map>  // std::unordered_map

#include <musiccore/utils.hpp>

namespace cli {

namespace {

constexpr std::size_t invalid = static_cast<std::size_t>(-1);

// The code point of the UTF-8 sequence at `at`, and its length; invalid and 1 for a
// byte that begins none (overlong forms and surrogates included).
std::pair<std::size_t, std::size_t> decode(const std::string& text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) {
        return {invalid, 1};
    }
    std::size_t point = lead & (0x7FU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0U) != 0x80U) {
            return {invalid, 1};
        }
        point = point << 6U | (next & 0x3FU);
    }
    constexpr std::array<std::size_t, 5> least{0, 0, 0x80, 0x800, 0x10000};
    if (point < least.at(length) || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return {invalid, 1};
    }
    return {point, length};
}

// Characters that can move the cursor, recolour or reorder what a terminal shows.
bool is_control(std::size_t point)
{
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x061C || point == 0x200E ||
           point == 0x200F || (point >= 0x2028 && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069);
}

// "\\x" or "\\u" and `value` in `digits` upper-case hexadecimal digits.
std::string escaped(const char* prefix, std::size_t value, int digits)
{
    std::string text = prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        text += "0123456789ABCDEF"[(value >> static_cast<unsigned>(shift)) & 0xFU];
    }
    return text;
}

}  // namespace

std::string printable(const std::string& text, std::size_t max_columns)
{
    std::string shown;
    std::size_t shown_columns = 0;
    std::size_t cut = 0;  // where to end with "…", if it comes to that
    for (std::size_t at = 0; at < text.size();) {
        const auto [point, length] = decode(text, at);
        if (point == invalid || point < 0x20 || point == 0x7F) {
            shown += escaped("\\x", static_cast<unsigned char>(text[at]), 2);
            shown_columns += 4;
        } else if (is_control(point)) {
            shown += escaped("\\u", point, 4);
            shown_columns += 6;
        } else {
            shown.append(text, at, length);
            shown_columns += 1;
        }
        at += length;
        if (shown_columns < max_columns) {
            cut = shown.size();
        } else if (shown_columns > max_columns) {
            return shown.substr(0, cut) + "…";
        }
    }
    return shown;
}

std::size_t columns(const std::string& text)
{
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
    }
    return count;
}

std::string csv_field(const std::string& text)
{
    std::string field = printable(text);
    if (!text.empty() && std::string("=+-@\t\r").find(text.front()) != std::string::npos) {
        field.insert(0, "'");
    }
    if (field.find_first_of("\",") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (const char c : field) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + '"';
}

bool is_utf8(const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        if (static_cast<unsigned char>(text[at]) < 0x80) {  // ASCII, most of any text
            ++at;
            continue;
        }
        const auto [point, length] = decode(text, at);
        if (point == invalid) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string clock_text(double secs)
{
    // Past a million years, or no number: not a length any file has.
    if (!std::isfinite(secs) || std::fabs(secs) > 3.2e13) {
        return "?";
    }
    // A listing of many tracks has few lengths: each is formatted once, on each thread.
    thread_local std::unordered_map<long long, std::string> formatted;
    const long long rounded = std::llround(secs);
    const auto known = formatted.find(rounded);
    if (known != formatted.end()) {
        return known->second;
    }
    std::string text = utils::format_timestamp(std::chrono::seconds(rounded));
    if (formatted.size() < 100000) {
        formatted.emplace(rounded, text);
    }
    return text;
}

namespace {

template <typename Number>
std::string shortest(Number value)
{
    std::array<char, 32> text{};
    return {text.data(), std::to_chars(text.data(), text.data() + text.size(), value).ptr};
}

}  // namespace

std::string exact_text(double value)
{
    return shortest(value);
}

std::string exact_text(std::int64_t value)
{
    return shortest(value);
}

std::string bytes_as_characters(const std::string& text)
{
    std::string characters;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            characters += c;
        } else {
            characters += static_cast<char>(0xC0U | byte >> 6U);
            characters += static_cast<char>(0x80U | (byte & 0x3FU));
        }
    }
    return characters;
}

}  // namespace cli
