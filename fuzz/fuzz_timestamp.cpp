// Any bytes as a timestamp text: the empty optional or a value from 0 to 99:99:99,
// never an exception; values below 100 hours survive a format/parse round trip.
// The first eight bytes, taken as a duration, must format to the exact clock text.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "require.hpp"

#include <musiccore/utils.hpp>

namespace {

constexpr long long largest_value = 99 * 3600 + 99 * 60 + 99;
constexpr long long hundred_hours = 100 * 3600;

// The clock text computed apart from the library, on the unsigned magnitude.
std::string expected_clock_text(long long secs)
{
    const unsigned long long magnitude = secs < 0 ? 0ULL - static_cast<unsigned long long>(secs)
                                                  : static_cast<unsigned long long>(secs);
    char text[64];
    std::snprintf(text, sizeof text, "%s%02llu:%02llu:%02llu", secs < 0 ? "-" : "",
                  magnitude / 3600, magnitude / 60 % 60, magnitude % 60);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = utils::parse_timestamp(text);
    if (parsed) {
        const long long secs = parsed->count();
        require(secs >= 0 && secs <= largest_value, "parsed value out of range");
        if (secs < hundred_hours) {
            require(utils::parse_timestamp(utils::format_timestamp(*parsed)) == parsed,
                    "format/parse round trip");
        }
    }
    if (size >= sizeof(long long)) {
        long long secs = 0;
        std::memcpy(&secs, data, sizeof secs);
        require(utils::format_timestamp(std::chrono::seconds(secs)) == expected_clock_text(secs),
                "clock text of an arbitrary duration");
    }
    return 0;
}
