// Arbitrary bytes as an audio file of any format, read by content, and as Ogg Opus
// by the older query: a record that holds together, its first picture readable as
// listed, or the library's own error; and decoded for its loudness: finite values,
// or the library's own error.
// LeakSanitizer checks the memory behind every library's handle after each input.
// Mutations nearly always break an Ogg page's checksum, and a page with a bad one
// is dropped before opusfile looks inside it, so the harness recomputes the
// checksum of every complete page: mutated headers, comments and packets then
// reach the parser.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <ogg/ogg.h>   // ogg_page_checksum_set
#include <sys/mman.h>  // memfd_create
#include <unistd.h>

#include "require.hpp"

#include <musiccore/loudness.hpp>
#include <musiccore/media.hpp>
#include <musiccore/opusutils.hpp>

namespace {

void fix_page_checksums(std::vector<unsigned char>& file)
{
    constexpr std::size_t fixed_header = 27;  // up to the segment count
    for (std::size_t at = 0; at + fixed_header <= file.size(); ++at) {
        if (std::memcmp(&file[at], "OggS", 4) != 0) {
            continue;
        }
        const std::size_t header_size = fixed_header + file[at + fixed_header - 1];
        std::size_t body_size = 0;
        for (std::size_t i = at + fixed_header; i < at + header_size && i < file.size(); ++i) {
            body_size += file[i];
        }
        if (at + header_size + body_size > file.size()) {
            return;
        }
        ogg_page page{&file[at], static_cast<long>(header_size), &file[at + header_size],
                      static_cast<long>(body_size)};
        ogg_page_checksum_set(&page);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<unsigned char> file(data, data + size);
    fix_page_checksums(file);
    // An in-memory file, opened through its /proc name like any other path.
    const int fd = memfd_create("input.opus", MFD_CLOEXEC);
    require(fd >= 0 && write(fd, file.data(), size) == static_cast<ssize_t>(size), "input file");

    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        const media::MediaInfo info = media::read_info(path);
        require(std::isfinite(info.duration_secs) && info.duration_secs >= 0, "finite duration");
        require(!info.codec.empty() && info.channels > 0, "a codec and channels");
        require(!info.samples || (*info.samples >= 0 && info.sample_rate > 0), "samples at a rate");
        require(info.samples || (!info.exact && info.duration_secs == 0), "no length, no claim");
        // No format plays more than 8192 samples a byte (FLAC's densest frames).
        require(!info.exact || !info.samples ||
                    *info.samples / 8192 <=
                        static_cast<std::int64_t>(std::max<std::size_t>(size, 1)),
                "an exact length the bytes can hold");
        std::size_t values = 0;
        for (const auto& [name, list] : info.tags) {
            for (const auto& value : list) {
                require(value.size() <= media::max_tag_value, "tag values within the limit");
            }
            values += list.size();
        }
        require(values <= media::max_tag_count, "tag values no more than the limit");
        require(info.pictures.size() <= media::max_pictures, "pictures no more than the limit");
        // A picture listed is one that can be read, as listed, or refused by name.
        if (!info.pictures.empty()) {
            try {
                const std::string bytes = media::read_picture(path, 0, std::size_t{1} << 20U);
                require(bytes.size() == info.pictures[0].size, "a picture of the size listed");
            } catch (const media::media_error& e) {
                require(*e.what() != '\0', "an error says what went wrong");
            }
        }
    } catch (const media::media_error& e) {
        require(*e.what() != '\0', "an error says what went wrong");
    }
    try {
        const media::Loudness loudness = media::measure_loudness(path);
        require(loudness.frames >= 0 && std::isfinite(loudness.sample_peak), "a measure");
        require(!loudness.integrated_lufs || std::isfinite(*loudness.integrated_lufs),
                "a finite loudness");
        require(!loudness.true_peak || std::isfinite(*loudness.true_peak), "a finite peak");
    } catch (const media::media_error& e) {
        require(*e.what() != '\0', "an error says what went wrong");
    }
    try {
        const auto info = opus_utils::read_info(path);
        require(std::isfinite(info.duration_secs) && info.duration_secs >= 0, "finite duration");
    } catch (const opus_utils::opus_error& e) {
        require(e.function_name() == "op_open_file" || e.function_name() == "op_pcm_total",
                "error names an opusfile call");
        require(e.error_code() < 0, "error code is negative");
    }
    close(fd);
    return 0;
}
