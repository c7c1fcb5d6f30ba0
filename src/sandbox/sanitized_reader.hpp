#pragma once
// What a reader built with AddressSanitizer must do otherwise: the sanitizer reserves
// terabytes of address space for its shadow, so the memory bound is left off, and it
// turns a crash into an exit with status 1, so the crash is given back to the system.

#include <csignal>  // std::signal, SIGSEGV, SIGBUS
#include <cstddef>  // std::size_t
#include <fstream>  // std::ifstream

#include <unistd.h>  // sysconf

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

// The address space the process has mapped: its code and libraries, before it reads.
inline std::size_t mapped_bytes()
{
    // Its first number: the pages mapped. Read before the sandbox closes open().
    std::ifstream statm("/proc/self/statm");
    unsigned long pages = 0;
    if (!(statm >> pages)) {
        pages = 0;
    }
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// The reader's memory is bounded by its address space: `bytes` for what a read takes,
// past what its code and libraries map (libavcodec alone brings a hundred of them).
inline void bound_address_space(std::size_t bytes)
{
    if (!address_sanitized) {
        const std::size_t all = bytes + mapped_bytes();
        const rlimit bound{all, all};
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
