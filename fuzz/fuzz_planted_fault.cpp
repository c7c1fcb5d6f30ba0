// A target with a fault that libFuzzer finds within seconds: the run that fuzzes
// it must fail, which shows that a finding cannot get lost on its way to ctest.
#include <cstddef>
#include <cstdint>

#include "require.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    require(size < 2 || data[0] != '{', "planted fault");
    return 0;
}
