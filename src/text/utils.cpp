// date::parse rounds its seconds field before it checks that the field was read, an
// uninitialised read that GCC sees once it inlines. Only texts of an accepted shape
// reach date::parse here (see has_accepted_shape), so the read never happens.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <musiccore/utils.hpp>

#include <algorithm>  // std::all_of, std::any_of
#include <array>
#include <locale>       // std::locale::classic
#include <sstream>      // std::stringstream
#include <string_view>  // std::string_view

#include <date/date.h>  // date::parse, date::format

namespace {

// Tried in this order; the first one that consumes the whole text wins.
constexpr std::array<const char*, 3> candidate_formats{"%S", "%M:%S", "%H:%M:%S"};

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// An hours or minutes field: one or two digits.
bool is_whole_field(std::string_view field)
{
    return !field.empty() && field.size() <= 2 && std::all_of(field.begin(), field.end(), is_digit);
}

// A seconds field: one or two characters, digits and at most one point, and at
// least one digit (a lone "." is not a number).
bool is_seconds_field(std::string_view field)
{
    const auto is_digit_or_point = [](char c) { return is_digit(c) || c == '.'; };
    return !field.empty() && field.size() <= 2 &&
           std::all_of(field.begin(), field.end(), is_digit_or_point) &&
           std::any_of(field.begin(), field.end(), is_digit);
}

// date::parse misreads a seconds field without a digit: "." gives 0 s, and where the
// field is missing or not numeric it rounds an uninitialised value. So a text only
// reaches date::parse once it has the shape of one of the accepted forms.
bool has_accepted_shape(std::string_view text)
{
    for (std::size_t fields = 1; fields <= candidate_formats.size(); ++fields) {
        const auto colon = text.find(':');
        if (colon == std::string_view::npos) {
            return is_seconds_field(text);
        }
        if (!is_whole_field(text.substr(0, colon))) {
            return false;
        }
        text.remove_prefix(colon + 1);
    }
    return false;  // more fields than any accepted form has
}

}  // namespace

std::optional<std::chrono::seconds> utils::parse_timestamp(const std::string& text)
{
    if (!has_accepted_shape(text)) {
        return std::nullopt;
    }
    std::stringstream stream(text);
    stream.imbue(std::locale::classic());  // the point is "." under any global locale
    std::chrono::seconds value{0};
    std::optional<std::chrono::seconds> result;
    for (const char* format : candidate_formats) {
        stream >> date::parse(format, value) >> eof;
        if (!stream.fail()) {
            result = value;
            break;
        }
        stream.clear();
        stream.seekg(0);  // the next format reads the text from its start
    }
    return result;
}

std::string utils::format_timestamp(const std::chrono::seconds& duration)
{
    // date::format negates a negative duration, which overflows for the most negative
    // one. Its magnitude is one second more than its neighbour's, whose text ends in
    // ":07", so bumping that last digit is exact.
    // The classic locale: a global one may group the hours' digits ("1.000:00:00").
    const std::locale& plain = std::locale::classic();
    if (duration == std::chrono::seconds::min()) {
        std::string text = date::format(plain, "%T", duration + std::chrono::seconds(1));
        ++text.back();
        return text;
    }
    return date::format(plain, "%T", duration);
}

std::istream& eof(std::istream& is)
{
    if (is.fail()) {
        return is;
    }
    // Peek at the buffer itself: get() at the end would set failbit first, which
    // throws on success in a stream that asks for exceptions.
    if (is.rdbuf()->sgetc() == std::istream::traits_type::eof()) {
        is.clear();  // reaching the end is the success case: drop eofbit too
    } else {
        is.clear(std::ios::failbit);  // the character stays unread
    }
    return is;
}
