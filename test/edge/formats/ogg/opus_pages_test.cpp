#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <opusfile.h>
#include <vorbis/vorbisfile.h>

#include "formats/ogg/opus_pages.hpp"
#include "formats/ogg/vorbis_pages.hpp"
#include "support/test_files.hpp"

namespace {

namespace fs = std::filesystem;

// What opusfile counts, on its own: the sum of its links, or none where it fails.
std::optional<std::int64_t> opusfile_samples(const std::string& path)
{
    int error = 0;
    OggOpusFile* file = op_open_file(path.c_str(), &error);
    if (file == nullptr) {
        return std::nullopt;
    }
    const std::int64_t total = op_pcm_total(file, -1);
    op_free(file);
    return total;
}

std::optional<media::detail::OpusRead> read_pages(const std::string& path)
{
    media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
    media::detail::FileSource source(path, budget);
    bool began = false;
    return media::detail::read_opus_pages(source, nullptr, began);
}

// From a few pages, the count that opusfile gives on every Opus file made for the
// tests that is one ordinary stream; the rest left to opusfile.
TEST(opus_pages, count_as_opusfile_does)
{
    std::size_t read_from_pages = 0;
    for (const std::string& folder : {test_files::samples, test_files::hostile}) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            // The large crafted ones, opusfile alone would take hundreds of MiB for.
            if (entry.path().extension() != ".opus" || entry.file_size() > (1U << 20U)) {
                continue;
            }
            const auto got = read_pages(entry.path());
            if (!got) {
                continue;
            }
            ++read_from_pages;
            EXPECT_EQ(got->samples, opusfile_samples(entry.path())) << entry.path();
            EXPECT_EQ(got->links.size(), 1U) << entry.path();
        }
    }
    EXPECT_GE(read_from_pages, 5U);
    // Chains, and the streams that start late or end early, are opusfile's.
    EXPECT_FALSE(read_pages(test_files::samples + "chained.opus"));
    const auto plain = read_pages("test/test.opus");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->samples, 3140964);  // 65.43675 s
    EXPECT_EQ(plain->channels, 1);
}

// What libvorbisfile counts on its own, of a file of one link.
std::optional<std::int64_t> vorbisfile_samples(const std::string& path)
{
    OggVorbis_File file{};
    if (ov_fopen(path.c_str(), &file) != 0) {
        return std::nullopt;
    }
    const std::int64_t total = ov_streams(&file) == 1 ? ov_pcm_total(&file, -1) : -1;
    ov_clear(&file);
    return total;
}

// The same of Vorbis: the modes' block sizes taken from the end of the setup header,
// the codebooks never unpacked.
TEST(vorbis_pages, count_as_vorbisfile_does)
{
    std::size_t read_from_pages = 0;
    for (const std::string& folder : {test_files::samples, test_files::hostile}) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            const auto extension = entry.path().extension();
            if (extension != ".ogg" && extension != ".oga" && extension != ".ogv") {
                continue;
            }
            media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
            media::detail::FileSource source(entry.path(), budget);
            const auto got = media::detail::read_vorbis_pages(source, nullptr);
            if (!got) {
                continue;
            }
            ++read_from_pages;
            EXPECT_EQ(got->link.samples, vorbisfile_samples(entry.path())) << entry.path();
        }
    }
    EXPECT_GE(read_from_pages, 3U);
    media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
    media::detail::FileSource chained(test_files::samples + "chained.ogg", budget);
    EXPECT_FALSE(media::detail::read_vorbis_pages(chained, nullptr));
}

}  // namespace
