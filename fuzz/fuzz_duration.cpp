// Arbitrary bytes as an audio file: a finite, non-negative duration or an
// opus_error from one of the two opusfile calls, and no file handle left open.
// LeakSanitizer checks the memory behind the handle after every input.
// Mutations nearly always break an Ogg page's checksum, and a page with a bad one
// is dropped before opusfile looks inside it, so the harness recomputes the
// checksum of every complete page: mutated headers and packets then reach the
// parser. (Bad checksums themselves are covered by the edge tests.)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include <musiccore/opusutils.hpp>

namespace {

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// One temporary file per process, rewritten for every input and removed at exit.
const std::string& input_path()
{
    static const std::string path = [] {
        char pattern[] = "/tmp/musiccore-fuzz-XXXXXX";
        const int fd = mkstemp(pattern);
        require(fd >= 0, "can create the input file");
        close(fd);
        return std::string(pattern);
    }();
    static const int removed_at_exit = std::atexit([] { std::remove(input_path().c_str()); });
    (void)removed_at_exit;
    return path;
}

// Ogg's CRC-32: polynomial 0x04c11db7, unreflected, initial value 0.
std::uint32_t ogg_crc(const std::uint8_t* bytes, std::size_t size)
{
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint32_t>(bytes[i]) << 24U;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000U) != 0 ? (crc << 1U) ^ 0x04c11db7U : crc << 1U;
        }
    }
    return crc;
}

void fix_page_checksums(std::vector<std::uint8_t>& file)
{
    constexpr std::size_t header_size = 27;
    constexpr std::size_t crc_offset = 22;
    for (std::size_t page = 0; page + header_size <= file.size(); ++page) {
        if (std::memcmp(&file[page], "OggS", 4) != 0) {
            continue;
        }
        const std::size_t segments = file[page + header_size - 1];
        std::size_t size = header_size + segments;
        if (page + size > file.size()) {
            return;
        }
        for (std::size_t i = 0; i < segments; ++i) {
            size += file[page + header_size + i];
        }
        if (page + size > file.size()) {
            return;
        }
        std::memset(&file[page + crc_offset], 0, 4);
        const std::uint32_t crc = ogg_crc(&file[page], size);
        for (std::size_t i = 0; i < 4; ++i) {
            file[page + crc_offset + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        }
    }
}

long open_descriptors()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string& path = input_path();
    std::vector<std::uint8_t> file(data, data + size);
    fix_page_checksums(file);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(size));

    const long descriptors_before = open_descriptors();
    try {
        const double secs = opus_utils::get_duration_secs(path);
        require(std::isfinite(secs) && secs >= 0, "finite, non-negative duration");
    } catch (const opus_utils::opus_error& e) {
        require(e.function_name() == "op_open_file" || e.function_name() == "op_pcm_total",
                "error names an opusfile call");
        require(e.error_code() < 0, "error code is negative");
    }
    require(open_descriptors() == descriptors_before, "file handle released");
    return 0;
}
