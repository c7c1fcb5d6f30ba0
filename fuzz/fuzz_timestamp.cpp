// Any bytes as a timestamp text: the empty optional or a value from 0 to 99:99:99,
// never an exception; values below 100 hours survive a format/parse round trip.
// The first eight bytes, taken as a duration, must format to the exact clock text.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "require.hpp"

#include <musiccore/utils.hpp>

namespace {

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
    const auto parsed =
        utils::parse_timestamp(std::string(reinterpret_cast<const char*>(data), size));
    if (parsed) {
        require(parsed->count() >= 0 && parsed->count() <= 99 * 3600 + 99 * 60 + 99, "in range");
        if (parsed->count() < 100 * 3600) {
            require(utils::parse_timestamp(utils::format_timestamp(*parsed)) == parsed,
                    "round trip");
        }
    }
    if (size >= sizeof(long long)) {
        long long secs = 0;
        std::memcpy(&secs, data, sizeof secs);
        require(utils::format_timestamp(std::chrono::seconds(secs)) == expected_clock_text(secs),
                "clock text of any duration");
    }
    return 0;
}
