#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include <unistd.h>

#include <musiccore/media.hpp>

#include "support/byte_craft.hpp"
#include "support/read_outcome.hpp"
#include "support/test_files.hpp"

namespace {

using byte_craft::be;
using byte_craft::chunk;
using byte_craft::le;
namespace fs = std::filesystem;
using namespace std::string_literals;

// The length read, or why the file failed.
std::string outcome(const std::string& path)
{
    return test_files::read_outcome(path, [](const media::MediaInfo& info) {
        return info.codec + " " + test_files::length_of(info);
    });
}

std::string fmt(unsigned tag = 1, unsigned align = 4)
{
    return chunk("fmt ", le(tag, 2) + le(2, 2) + le(44100, 4) + le(44100 * align, 4) +
                             le(align, 2) + le(align * 4, 2));
}

// 16-bit stereo, its frame's size stated as `align`.
std::string stereo16(unsigned align)
{
    return chunk("fmt ", le(1, 2) + le(2, 2) + le(44100, 4) + le(44100 * align, 4) + le(align, 2) +
                             le(16, 2));
}

std::string wav(const std::string& chunks, const std::string& riff = "RIFF")
{
    return riff + le(4 + chunks.size(), 4) + "WAVE" + chunks;
}

// A data chunk that declares `declared` bytes and holds `held`.
std::string data(std::uint64_t declared, std::size_t held)
{
    return "data" + le(declared, 4) + std::string(held, '\0');
}

// The 80-bit float of 44100.
const std::string rate_44100 = "\x40\x0E\xAC\x44"s + std::string(6, '\0');

std::string comm(std::uint64_t frames, unsigned bits = 16, const std::string& rate = rate_44100,
                 const std::string& compression = "")
{
    return chunk("COMM", be(2, 2) + be(frames, 4) + be(bits, 2) + rate + compression, true);
}

std::string ssnd(std::uint64_t frames, std::uint64_t offset = 0)
{
    return chunk("SSND", be(offset, 4) + be(0, 4) + std::string(offset + frames * 4, '\0'), true);
}

std::string aiff(const std::string& chunks, const std::string& type = "AIFF")
{
    return "FORM" + be(4 + chunks.size(), 4) + type + chunks;
}

TEST(pcm_readers, lengths_and_bad_chunks)
{
    const std::string too_many_chunks = [] {
        std::string junk;
        for (int i = 0; i < 4096; ++i) {
            junk += chunk("junk", "");
        }
        return junk;
    }();
    std::string many_values = "INFO";
    for (int i = 0; i < 10001; ++i) {
        many_values += chunk("INAM", "x");
    }
    const std::pair<std::string, std::string> rows[] = {
        {wav(fmt() + chunk("data", std::string(400, '\0'))), "pcm 100 exact"},
        {wav(fmt() + chunk("data", "")), "pcm 0 exact"},
        {wav(fmt() + chunk("data", std::string(3, '\0'))), "pcm 0 exact"},  // not a frame
        {wav(fmt() + data(4000, 400)), "pcm 100 estimate"},                 // past the end
        {wav(fmt() + data(0xFFFFFFFF, 400)), "pcm 100 estimate"},           // size unknown
        {wav(fmt(1, 1) + data(4, 0)), "pcm 0 estimate"},  // the file ends at its header
        // RF64: the data chunk's size in ds64, whole or past the end.
        {wav(chunk("ds64", le(0, 8) + le(400, 8) + le(100, 8) + le(0, 4)) + fmt() +
                 data(0xFFFFFFFF, 400),
             "RF64"),
         "pcm 100 exact"},
        {wav(chunk("ds64", le(0, 8) + le(std::uint64_t{1} << 40U, 8) + le(0, 12)) + fmt() +
                 data(0xFFFFFFFF, 400),
             "BW64"),
         "pcm 100 estimate"},
        // A frame's size said twice, apart: block_align 1 or 8 for 16-bit stereo.
        {wav(stereo16(1) + chunk("data", std::string(400, '\0'))), "pcm 400 estimate"},
        {wav(stereo16(8) + chunk("data", std::string(400, '\0'))), "pcm 50 estimate"},
        {wav(fmt(3) + chunk("data", std::string(80, '\0'))), "float 20 exact"},
        {wav(fmt(7, 2) + chunk("data", std::string(80, '\0'))), "mulaw 40 exact"},
        {wav(fmt(6, 2) + chunk("data", std::string(80, '\0'))), "alaw 40 exact"},
        // WAVE_FORMAT_EXTENSIBLE, cut just past its sub-format's code: float.
        {wav(chunk("fmt ", le(0xFFFE, 2) + le(2, 2) + le(44100, 4) + le(352800, 4) + le(8, 2) +
                               le(32, 2) + le(8, 2) + le(32, 2) + le(3, 4) + le(3, 2)) +
             chunk("data", std::string(80, '\0'))),
         "float 10 exact"},
        {wav(fmt() + "junk" + le(0xFFFFFFFF, 4) + chunk("data", std::string(4, '\0'))),
         "WAV: no data chunk"},  // a chunk past the end hides what follows
        {wav(too_many_chunks + fmt() + chunk("data", std::string(4, '\0'))), "WAV: no fmt chunk"},
        {wav(chunk("data", std::string(4, '\0'))), "WAV: no fmt chunk"},
        {wav(""), "WAV: no fmt chunk"},
        {wav(chunk("fmt ", std::string(14, '\1')) + chunk("data", "")), "WAV: fmt chunk too short"},
        {wav(fmt(1, 0) + chunk("data", "")),
         "WAV: fmt chunk states no channels, rate or frame size"},
        {wav(fmt(0x55) + chunk("data", "")),
         "WAV of codec 0x0055: not an audio format this library reads"},
        // Tags: 16 MiB and 10,000 values at most, counted as stated, before any is read.
        {wav(fmt() + chunk("data", "") + "LIST" + le(17U << 20U, 4) + "INFO"),
         "WAV: tags over the 16 MiB limit"},
        {wav(fmt() + chunk("data", "") + chunk("LIST", many_values)), "WAV: more than 10000 tags"},
        {aiff(comm(0) + "NAME" + be(17U << 20U, 4)), "AIFF: tags over the 16 MiB limit"},
        {aiff(comm(100) + ssnd(100)), "pcm 100 exact"},
        {aiff(ssnd(100, 4) + comm(100)), "pcm 100 exact"},  // in any order, past an offset
        {aiff(comm(100) + ssnd(60)), "pcm 60 estimate"},    // COMM counts more than SSND holds
        {aiff(comm(100) + "SSND" + be(0xFFFFFFF0, 4) + std::string(8 + 200, '\0')),
         "pcm 50 estimate"},  // SSND runs past the end
        {aiff(comm(0)), "pcm 0 exact"},
        {aiff(comm(100)), "AIFF: no SSND chunk"},
        {aiff(ssnd(100)), "AIFF: no COMM chunk"},
        {aiff(chunk("COMM", std::string(10, '\1'), true)), "AIFF: COMM chunk too short"},
        {aiff(comm(100, 16, std::string(10, '\0')) + ssnd(100)),
         "AIFF: COMM chunk states no channels or rate"},
        {aiff(comm(100, 0) + ssnd(100)), "AIFF: COMM chunk states no sample size"},
        {aiff(comm(100, 16, rate_44100, "fl32") + ssnd(200), "AIFC"), "float 100 exact"},
        {aiff(comm(100, 8, rate_44100, "alaw") + ssnd(50), "AIFC"), "alaw 100 exact"},   // a byte
        {aiff(comm(100, 16, rate_44100, "sowt") + ssnd(100), "AIFC"), "pcm 100 exact"},  // LE
        {aiff(comm(100, 16, rate_44100, "ima4") + ssnd(100), "AIFC"),
         "AIFF-C of codec ima4: not an audio format this library reads"},
    };
    const test_files::TempFolder folder("pcm");
    const std::string path = folder / "crafted";
    for (const auto& [bytes, expected] : rows) {
        byte_craft::write(path, bytes);
        EXPECT_EQ(outcome(path), expected) << testing::PrintToString(bytes.substr(0, 48));
    }
}

// An ID3v2.3 tag of one text frame, in Latin-1.
std::string id3(const std::string& frame, const std::string& text)
{
    const std::string body = frame + be(1 + text.size(), 4) + "\0\0\0"s + text;
    return "ID3\x03\0\0"s + be(body.size(), 4) + body;
}

// Where the texts of the chunks and an ID3 chunk name one field, ID3's wins.
TEST(pcm_readers, tags_from_chunks_and_id3)
{
    const std::string info = "INFO" + chunk("INAM", "Info title"s + '\0') +
                             chunk("IART", "Ann"s + '\0') + chunk("ITRK", "3/10") +
                             chunk("ITRK", "");  // no number
    const std::pair<std::string, media::Tags> rows[] = {
        {wav(fmt() + chunk("data", "") + chunk("LIST", info)),
         {{"TITLE", {"Info title"}},
          {"ARTIST", {"Ann"}},
          {"TRACKNUMBER", {"3"}},
          {"TRACKTOTAL", {"10"}}}},
        {wav(fmt() + chunk("LIST", info) + chunk("data", "") + chunk("id3 ", id3("TIT2", "Id3"))),
         {{"TITLE", {"Id3"}}, {"ARTIST", {"Ann"}}, {"TRACKNUMBER", {"3"}}, {"TRACKTOTAL", {"10"}}}},
        {wav(fmt() + chunk("data", "") + chunk("LIST", "adtl" + chunk("INAM", "not INFO"))), {}},
        {aiff(comm(0) + chunk("NAME", "Name", true) + chunk("AUTH", "Auth\0\1junk"s, true) +
              chunk("ID3 ", id3("TIT2", "Id3"), true)),
         {{"TITLE", {"Id3"}}, {"ARTIST", {"Auth"}}}},  // up to a zero byte
    };
    const test_files::TempFolder folder("pcm-tags");
    const std::string path = folder / "tagged";
    for (const auto& [bytes, tags] : rows) {
        byte_craft::write(path, bytes);
        EXPECT_EQ(media::read_info(path).tags, tags);
    }
}

// From a pipe, the chunks before the audio are all there is, and the data chunk's
// size is what it states: an estimate, for a pipe has no size to hold it against.
TEST(pcm_readers, a_wav_from_a_pipe)
{
    const test_files::TempFolder folder("pcm-pipe");
    const std::string late_tag = chunk("LIST", "INFO" + chunk("INAM", "late"));
    const struct {
        std::string bytes;
        std::int64_t samples;
        bool exact;
    } rows[] = {
        {wav(fmt() + chunk("data", std::string(4000, '\0')) + late_tag), 1000, false},
        // RF64's 64 bits, past what a count holds, with one byte a frame: not a length.
        {wav(chunk("ds64", le(0, 8) + le(~std::uint64_t{0}, 8) + le(0, 12)) + fmt(1, 1) +
                 data(0xFFFFFFFF, 40) + late_tag,
             "RF64"),
         INT64_MAX, false},
    };
    for (const auto& row : rows) {
        byte_craft::write(folder / "tone.wav", row.bytes);
        const media::MediaInfo info =
            media::read_info(test_files::fifo_feeding(folder / "tone.wav"));
        EXPECT_EQ(info.samples, row.samples);
        EXPECT_EQ(info.exact, row.exact);
        EXPECT_TRUE(info.tags.empty());  // past the audio
        fs::remove(folder / "tone.wav.fifo");
    }
}

}  // namespace
