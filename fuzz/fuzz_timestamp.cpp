// Any bytes as a timestamp text: the empty optional or a value from 0 to 99:99:99,
// never an exception or undefined behaviour; values below 100 hours survive a
// format/parse round trip.
#include <cstddef>
#include <cstdint>
#include <string>

#include "require.hpp"

#include <musiccore/utils.hpp>

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
    return 0;
}
