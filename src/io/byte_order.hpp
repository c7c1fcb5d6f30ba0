#pragma once
// Integers as files store them, read from bytes already known to be there.

#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint64_t
#include <string>       // std::string
#include <string_view>  // std::string_view

namespace media::detail {

// The `width`-byte integer at `at`, big-endian: the caller has checked that
// `bytes` holds it.
inline std::uint64_t big_endian(std::string_view bytes, std::size_t at, std::size_t width)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = value << 8U | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

inline std::uint64_t little_endian(std::string_view bytes, std::size_t at, std::size_t width)
{
    std::uint64_t value = 0;
    for (std::size_t i = width; i > 0; --i) {
        value = value << 8U | static_cast<unsigned char>(bytes[at + i - 1]);
    }
    return value;
}

// "0x0055": a code as formats' documents write it, `digits` hexadecimal digits.
inline std::string hex_code(std::uint64_t value, int digits)
{
    std::string text = "0x";
    for (int i = digits - 1; i >= 0; --i) {
        text += "0123456789ABCDEF"[value >> (4U * static_cast<unsigned>(i)) & 0xFU];
    }
    return text;
}

}  // namespace media::detail
