#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <musiccore/media.hpp>

#include "support/read_outcome.hpp"
#include "support/test_files.hpp"

#ifndef __has_feature  // clang's; GCC says __SANITIZE_ADDRESS__
#define __has_feature(feature) 0
#endif

namespace {

using test_files::hostile;

// No time limit: under valgrind, reading 16 MiB takes longer than the default.
std::string outcome(const std::string& path)
{
    return test_files::read_outcome(path,
                                    [](const media::MediaInfo& info) {
                                        return "read, " + std::to_string(info.dropped_tags.size()) +
                                               " dropped";
                                    },
                                    {std::chrono::milliseconds::zero(), std::nullopt});
}

long resident_kib()
{
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Reads `path` in a child and returns how much the child's memory grew at its peak.
long peak_growth_kib(const std::string& path)
{
    const long before = resident_kib();
    const pid_t child = fork();
    if (child == 0) {
        outcome(path);
        std::_Exit(0);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return usage.ru_maxrss - before;
}

const struct {
    const char* file;
    const char* outcome;
} bounded[] = {
    {"tags-big.opus", "read, 1 dropped"},  // 15 values of 1 MiB, each too long to keep
    {"tags-bytes.opus", "Ogg Opus: tags over the 16 MiB limit"},
    {"tags-many.opus", "Ogg Opus: more than 10000 tags"},
    {"tags-6000.opus", "read, 0 dropped"},
    {"tags-count.opus", "Ogg Opus: more than 10000 tags"},
    {"tags-count.ogg", "Ogg Vorbis: more than 10000 tags"},
    {"tags-count.flac", "FLAC: more than 10000 tags"},
    {"tags-count.mp3", "MP3: more than 10000 tags"},
    // Where a screen of pages might not look for comments.
    {"tags-first-page.ogg", "Ogg Vorbis: more than 10000 tags"},
    {"tags-granule.opus", "Ogg Opus: more than 10000 tags"},
    {"tags-packed.oga", "Ogg FLAC: more than 10000 tags"},
    {"blocks-1100.flac", "FLAC: more than 1024 FLAC metadata blocks"},
    // What costs without tags: a stack a link (libvorbisfile), 1.8 GB of codebooks.
    {"chain-1100.ogg", "Ogg Vorbis: too many chained streams"},
    {"codebooks.ogg", "Ogg Vorbis: Vorbis codebooks over the 32 MiB limit"},
};

TEST(hostile, tags_within_the_limits)
{
    for (const auto& row : bounded) {
        EXPECT_EQ(outcome(hostile + row.file), row.outcome) << row.file;
    }
}

// A length is exact only when the file's bytes can hold it and its library counted
// what the file holds; else it is an estimate, said so.
TEST(hostile, lengths_no_file_can_lie_about)
{
    const struct {
        const char* file;
        std::int64_t samples;
        bool exact;
    } rows[] = {
        {"frames-1m.mp3", 10368, false},    // an Info frame of a million frames in 3 KB
        {"frames-4g.mp3", 10368, false},    // and of 2^32-1: the frames are counted
        {"delay-long.mp3", 5760, false},    // delay and padding past the audio
        {"delay-all.mp3", 5760, false},     // or of all of it
        {"delay-but-one.mp3", 1, true},     // which leaves one sample
        {"same-serial.ogg", 66150, false},  // two streams, one serial: both counted
        {"same-serial.opus", 72000, false},
        {"granules-wrap.ogg", 110400, false},  // what the granule positions say, ignored
        {"total-2-35.flac", 8820, true},       // 2^35 in 2 KB: the frames' own numbers
        {"faststart.m4a", 4410, true},         // the index first: held to the media
        {"cut.m4a", 4410, false},              // and the media cut short
        {"fragmented.m4a", 5434, false},       // fragments: their runs counted
        {"no-mdat.m4a", 4410, false},          // no media where the index points
        {"footer.wv", 4410, true},             // an APE footer reaching before the file
        {"align.wav", 17640, false},           // block_align 1 for 4-byte frames
        {"junk.mp3", 2880, false},             // frames after 3000 bytes of junk
    };
    media::Limits isolated;
    isolated.isolated = true;
    for (const auto& row : rows) {
        for (const media::Limits& limits : {media::Limits{}, isolated}) {
            const media::MediaInfo info = media::read_info(hostile + row.file, limits);
            EXPECT_EQ(info.samples, row.samples)
                << row.file << (limits.isolated ? " isolated" : "");
            EXPECT_EQ(info.exact, row.exact) << row.file << (limits.isolated ? " isolated" : "");
        }
    }
    EXPECT_EQ(outcome(hostile + "cut.wv"), "WavPack: can't read all of WavPack file!");
}

// What one file may cost is a few times the tag limit: the library's copy, the
// format library's, and its packet buffer. (Not under a sanitizer or valgrind, whose
// own bookkeeping is the most of it.)
TEST(hostile, memory_within_a_few_times_the_limit)
{
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer";
#endif
    constexpr long limit_kib = media::max_tag_bytes / 1024;
    for (const auto& row : bounded) {
        EXPECT_LT(peak_growth_kib(hostile + row.file), 3 * limit_kib) << row.file;
    }
}

}  // namespace
