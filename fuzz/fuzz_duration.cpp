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

#include <ogg/ogg.h>  // ogg_page_checksum_set
#include <unistd.h>

#include "require.hpp"

#include <musiccore/opusutils.hpp>

namespace {

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

// Recomputes the checksum of every complete Ogg page in `file`.
void fix_page_checksums(std::vector<unsigned char>& file)
{
    constexpr std::size_t fixed_header = 27;  // up to the segment count
    for (std::size_t at = 0; at + fixed_header <= file.size(); ++at) {
        if (std::memcmp(&file[at], "OggS", 4) != 0) {
            continue;
        }
        const std::size_t segments = file[at + fixed_header - 1];
        const std::size_t header_size = fixed_header + segments;
        if (at + header_size > file.size()) {
            return;
        }
        std::size_t body_size = 0;
        for (std::size_t i = 0; i < segments; ++i) {
            body_size += file[at + fixed_header + i];
        }
        if (at + header_size + body_size > file.size()) {
            return;
        }
        ogg_page page{&file[at], static_cast<long>(header_size), &file[at + header_size],
                      static_cast<long>(body_size)};
        ogg_page_checksum_set(&page);
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
    std::vector<unsigned char> file(data, data + size);
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
