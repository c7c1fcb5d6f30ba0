#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <ogg/ogg.h>
#include <opusfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <musiccore/media.hpp>

#include "ogg_screen.hpp"

#ifndef __has_feature  // clang's; GCC says __SANITIZE_ADDRESS__
#define __has_feature(feature) 0
#endif

namespace {

const std::string hostile = MUSICCORE_HOSTILE_DIR "/";

// No time limit: under valgrind, reading 16 MiB takes longer than the default.
std::string outcome(const std::string& path)
{
    try {
        const media::MediaInfo info =
            media::read_info(path, {std::chrono::milliseconds::zero(), std::nullopt});
        return "read, " + std::to_string(info.dropped_tags.size()) + " dropped";
    } catch (const media::media_error& e) {
        return e.what();
    }
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
};

TEST(hostile, tags_within_the_limits)
{
    for (const auto& row : bounded) {
        EXPECT_EQ(outcome(hostile + row.file), row.outcome) << row.file;
    }
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

// The crafted file is a real trigger: opusfile alone dies on it.
TEST(hostile, opusfile_alone_dies_on_the_crafted_file)
{
    const auto bare_opusfile = [] {
        int error = 0;
        OggOpusFile* file = op_open_file((hostile + "crash.opus").c_str(), &error);
        op_free(file);
        std::_Exit(0);
    };
    // A sanitizer reports the signal and exits instead.
    const auto died = [](int status) {
        return WIFSIGNALED(status) ? WTERMSIG(status) == SIGFPE : WEXITSTATUS(status) != 0;
    };
    EXPECT_EXIT(bare_opusfile(), died, "");
}

std::string file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// `bytes` with the page that holds offset `inside` given the granule position 2^63-5,
// and its checksum made good again.
std::string with_bad_granule(std::string bytes, std::size_t inside)
{
    std::size_t at = 0;
    for (;;) {
        auto* header = reinterpret_cast<unsigned char*>(&bytes[at]);
        const std::size_t header_size = 27 + header[26];
        std::size_t body_size = 0;
        for (std::size_t i = 27; i < header_size; ++i) {
            body_size += header[i];
        }
        if (at + header_size + body_size > inside) {
            const std::uint64_t granule = (std::uint64_t{1} << 63U) - 5;
            for (int i = 0; i < 8; ++i) {
                header[6 + i] = static_cast<unsigned char>(granule >> (8 * i));
            }
            ogg_page page{header, static_cast<long>(header_size), header + header_size,
                          static_cast<long>(body_size)};
            ogg_page_checksum_set(&page);
            return bytes;
        }
        at += header_size + body_size;
    }
}

// Feeds `bytes` to `screen` in reads of `chunk` bytes; its refusal, or "".
std::string screened(media::detail::OggScreen& screen, const std::string& bytes, std::size_t chunk)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t size = std::min(chunk, bytes.size() - at);
        if (const char* refusal = screen.inspect(static_cast<std::int64_t>(at), data + at, size)) {
            return refusal;
        }
    }
    return "";
}

std::string screened(const std::string& bytes, std::size_t chunk)
{
    media::detail::OggScreen screen("OpusTags");
    return screened(screen, bytes, chunk);
}

// A page is judged the same however the reads cut the file: in pieces smaller than a
// page header, across the read-ahead, and in reads larger than any page (the file is
// three times longer than the largest cut).
TEST(hostile, ogg_screen_judges_pages_however_reads_cut_them)
{
    const std::string once = file_bytes("test/test.opus");
    const std::string good = once + once + once;
    const std::string many_tags = file_bytes(hostile + "tags-count.opus");
    const std::string some_tags = file_bytes(hostile + "tags-6000.opus");
    const struct {
        std::size_t chunk;
        std::size_t bad_page_at;  // a page across a cut
    } rows[] = {{100, 30050}, {1000, 30050}, {16384, 16384}, {70000, 70000}, {good.size(), 30050}};
    for (const auto& row : rows) {
        EXPECT_EQ(screened(good, row.chunk), "") << row.chunk;
        EXPECT_EQ(screened(with_bad_granule(good, row.bad_page_at), row.chunk),
                  "granule position out of range")
            << row.chunk;
        EXPECT_EQ(screened(many_tags, row.chunk), "more than 10000 tags") << row.chunk;
        // Read again whole, as a library that seeks back does: its header counts once.
        media::detail::OggScreen screen("OpusTags");
        EXPECT_EQ(screened(screen, some_tags, row.chunk) + screened(screen, some_tags, 1 << 20), "")
            << row.chunk;
    }
}

}  // namespace
