// Any format text, with one to three arguments. Only std::invalid_argument may
// leave; the only bytes changed are "{"s before the text's terminator, each turned
// into a terminator, at most one per argument. The buffer ends exactly at the
// input's end, so AddressSanitizer sees any access past it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "require.hpp"

#include <musiccore/formathelper.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte chooses the number of arguments, the rest is the text.
    const std::size_t args = size > 0 ? data[0] % 3 + 1 : 1;
    std::vector<char> buffer(data + (size > 0 ? 1 : 0), data + size);
    buffer.push_back('\0');
    const std::vector<char> original = buffer;
    std::ostringstream out;
    try {
        if (args == 1) {
            fmt::format_helper(out, buffer.data(), 1);
        } else if (args == 2) {
            fmt::format_helper(out, buffer.data(), 1, "two");
        } else {
            fmt::format_helper(out, buffer.data(), 1, "two", 3.0);
        }
    } catch (const std::invalid_argument&) {
    }
    const auto text_end = std::find(original.begin(), original.end(), '\0') - original.begin();
    std::size_t cut = 0;
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(buffer.size()); ++i) {
        cut += buffer[i] != original[i] ? 1 : 0;
        require(buffer[i] == original[i] ||
                    (i < text_end && original[i] == '{' && buffer[i] == '\0'),
                "only braces are cut");
    }
    require(cut <= args, "at most one cut per argument");
    return 0;
}
