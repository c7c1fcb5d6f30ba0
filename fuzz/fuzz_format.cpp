// Arbitrary format texts with one to four integer and text arguments. The formatter
// must write what a plain model of its rules writes, throw only
// std::invalid_argument and only where the model runs out of placeholders, and
// change no byte but the consumed "{"s. The buffer ends exactly at the input's end,
// so AddressSanitizer sees any access past it; bytes after an embedded NUL are
// past the terminator and must stay as they were.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "require.hpp"

#include <musiccore/formathelper.hpp>

namespace {

constexpr std::size_t max_args = 4;
const char* const text_arg = "txt";

struct Expected {
    std::string output;
    bool throws = false;
    std::vector<std::size_t> consumed;  // positions of the "{"s used
};

Expected model(const std::string& text, const std::vector<std::string>& args)
{
    Expected e;
    std::size_t pos = 0;
    for (const auto& arg : args) {
        const std::size_t brace = text.find('{', pos);
        if (brace == std::string::npos) {
            e.throws = true;
            return e;
        }
        e.output += text.substr(pos, brace - pos) + arg;
        e.consumed.push_back(brace);
        pos = std::min(brace + 2, text.size());
    }
    e.output += text.substr(pos);
    return e;
}

// Calls the formatter with `count` arguments; bit i of `types` makes argument i a
// text, otherwise it is the int i.
template <typename... Args>
void format_with(std::ostream& os, char* format, std::size_t count, unsigned types,
                 const Args&... args)
{
    if constexpr (sizeof...(Args) > 0) {
        if (sizeof...(Args) == count) {
            fmt::format_helper(os, format, args...);
            return;
        }
    }
    if constexpr (sizeof...(Args) < max_args) {
        if ((types >> sizeof...(Args)) & 1U) {
            format_with(os, format, count, types, args..., text_arg);
        } else {
            format_with(os, format, count, types, args..., static_cast<int>(sizeof...(Args)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const std::size_t count = (data[0] & 3U) + 1;
    const unsigned types = data[0] >> 2U;
    std::vector<std::string> args;
    for (std::size_t i = 0; i < count; ++i) {
        args.push_back((types >> i) & 1U ? text_arg : std::to_string(i));
    }

    // The input's bytes, then the terminator as the buffer's very last byte.
    const std::size_t length = size - 1;
    std::unique_ptr<char[]> buffer(new char[length + 1]);
    std::memcpy(buffer.get(), data + 1, length);
    buffer[length] = '\0';
    const std::string original(buffer.get(), length + 1);

    const Expected expected = model(buffer.get(), args);
    std::ostringstream out;
    bool threw = false;
    try {
        format_with(out, buffer.get(), count, types);
    } catch (const std::invalid_argument&) {
        threw = true;
    }
    require(threw == expected.throws, "throws exactly when placeholders run out");
    if (!threw) {
        require(out.str() == expected.output, "output matches the model");
    }
    std::string changed = original;
    for (std::size_t brace : expected.consumed) {
        changed[brace] = '\0';
    }
    require(std::string(buffer.get(), length + 1) == changed, "only consumed braces change");
    return 0;
}
