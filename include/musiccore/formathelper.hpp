#pragma once

#include <cstring>    // std::strchr
#include <ostream>    // std::ostream
#include <stdexcept>  // std::invalid_argument

namespace fmt {

// Writes `value` with its operator<<. Returns null.
template <typename T>
char* format_helper(std::ostream& os, T value)
{
    os << value;
    return nullptr;
}

// Replaces the first placeholder of `format` by `arg`: writes the text before it,
// then `arg`; if `is_final`, also the text after it, verbatim. A placeholder is a
// "{" and the one character after it, whatever it is ("{}" by convention); a "{"
// that ends the text is a placeholder on its own, with nothing after it.
// The buffer is cut in place: each consumed "{" becomes a terminating zero.
// Returns the position after the placeholder, where the next argument's search
// begins. Throws std::invalid_argument, having written nothing, when `format`
// holds no "{" or is null.
template <typename T, bool is_final = true>
char* format_helper(std::ostream& os, char* format, const T& arg)
{
    char* brace = format == nullptr ? nullptr : std::strchr(format, '{');
    if (brace == nullptr) {
        throw std::invalid_argument(
            "no replace location found in format string, but replacement args given.");
    }
    // A "{" right before the terminator has no second character: step only onto the
    // terminator, never past it.
    char* rest = brace[1] == '\0' ? brace + 1 : brace + 2;
    *brace = '\0';
    os << format << arg;
    if constexpr (is_final) {
        os << rest;
    }
    return rest;
}

// Replaces placeholders left to right by `first` and then `others`, writing each
// argument as soon as its placeholder is found; the text after the last one used
// is written verbatim. On a missing placeholder, throws std::invalid_argument,
// keeping what earlier arguments wrote. Returns null.
template <typename T, typename... Others>
char* format_helper(std::ostream& os, char* format, const T& first, const Others&... others)
{
    char* rest = format_helper<T, false>(os, format, first);
    format_helper(os, rest, others...);
    return nullptr;
}

}  // namespace fmt
