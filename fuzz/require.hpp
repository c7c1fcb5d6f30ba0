#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the fuzzer with a finding when a property does not hold.
inline void require(bool holds, const char* property)
{
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", property);
        std::abort();
    }
}
