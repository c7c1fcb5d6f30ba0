#pragma once
// Files built byte by byte in a test: integers in either byte order, MP4 boxes, RIFF
// and IFF chunks.

#include <cstdint>
#include <fstream>
#include <string>

namespace byte_craft {

// Byte `i` of `value`, counted from the least significant; zeros past the eighth.
inline char byte_of(std::uint64_t value, int i)
{
    return static_cast<char>(i < 8 ? value >> (8 * i) & 0xFFU : 0);
}

inline std::string be(std::uint64_t value, int width)
{
    std::string bytes;
    for (int i = width - 1; i >= 0; --i) {
        bytes += byte_of(value, i);
    }
    return bytes;
}

inline std::string le(std::uint64_t value, int width)
{
    std::string bytes;
    for (int i = 0; i < width; ++i) {
        bytes += byte_of(value, i);
    }
    return bytes;
}

// The `width`-byte little-endian integer at `at` of `bytes`.
inline std::uint64_t le_value(const std::string& bytes, std::size_t at, int width)
{
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value =
            value << 8U | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
    }
    return value;
}

// The `width`-byte big-endian integer at `at` of `bytes`.
inline std::uint64_t be_value(const std::string& bytes, std::size_t at, int width)
{
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        value =
            value << 8U | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
    }
    return value;
}

// An MP4 box of its true size.
inline std::string box(const std::string& type, const std::string& body)
{
    return be(8 + body.size(), 4) + type + body;
}

// A RIFF (little-endian) or IFF (big-endian) chunk, padded to an even size.
inline std::string chunk(const std::string& id, const std::string& body, bool big_endian = false)
{
    return id + (big_endian ? be(body.size(), 4) : le(body.size(), 4)) + body +
           (body.size() % 2 != 0 ? std::string(1, '\0') : std::string());
}

inline void write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace byte_craft
