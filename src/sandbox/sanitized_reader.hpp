#pragma once
// What a reader built with AddressSanitizer must do otherwise: the sanitizer reserves
// terabytes of address space for its shadow, so the memory bound is left off, and it
// turns a crash into an exit with status 1, so the crash is given back to the system.

#include <csignal>  // std::signal, SIGSEGV, SIGBUS
#include <cstddef>  // std::size_t

#include <sys/resource.h>  // setrlimit, RLIMIT_AS

namespace media::detail {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool address_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool address_sanitized = true;
#else
inline constexpr bool address_sanitized = false;
#endif
#else
inline constexpr bool address_sanitized = false;
#endif

// The reader's memory is bounded by its address space.
inline void bound_address_space(std::size_t bytes)
{
    if (!address_sanitized) {
        const rlimit bound{bytes, bytes};
        setrlimit(RLIMIT_AS, &bound);
    }
}

// A crash ends the reader by its signal, for the library to tell.
inline void crash_by_signal()
{
    if (address_sanitized) {
        std::signal(SIGSEGV, SIG_DFL);
        std::signal(SIGBUS, SIG_DFL);
    }
}

}  // namespace media::detail
