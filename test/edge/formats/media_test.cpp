#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <musiccore/media.hpp>

#include "support/byte_craft.hpp"
#include "support/read_outcome.hpp"
#include "support/test_files.hpp"

namespace {

using test_files::samples;
using namespace std::string_literals;

using Tag = std::pair<std::string, std::vector<std::string>>;

// Every format and every way its length is stated, with the counts that the
// encoders' inputs fix; and the tags that each mapping must give.
TEST(media, reads_every_format_exactly)
{
    const struct {
        std::string file, codec;
        int channels;
        long rate;
        std::int64_t samples;
        std::optional<long> bitrate;
        std::vector<Tag> tags;  // among the file's
    } rows[] = {
        {"short.opus",
         "opus",
         1,
         48000,
         48000,
         {},
         {{"ARTIST", {"Ann", "Bob"}}, {"TITLE", {"Intro"}}}},
        {"chained.opus", "opus", 1, 48000, 72000, {}, {}},  // every link
        {"tone.ogg",
         "vorbis",
         2,
         44100,
         44100,
         64000,
         {{"ALBUMARTIST", {"Various"}}, {"TRACKNUMBER", {"4"}}}},  // names in any case
        {"chained.ogg", "vorbis", 2, 44100, 44100 + 22050, 64000, {}},
        {"odd-chain.ogg", "vorbis", 2, 44100, 44100 + 5662, 64000, {}},  // seconds of the sum
        // Two seconds, counted at the first link's rate: an estimate.
        {"mixed-rates.ogg", "vorbis", 2, 44100, 88200, 64000, {}},
        // Bytes over time, for FLAC as for the others: the audio's, past the metadata.
        {"tone.flac",
         "flac",
         2,
         44100,
         100000,
         159123,
         {{"DISCNUMBER", {"2"}}, {"DATE", {"2021"}}}},
        {"streamed.flac", "flac", 2, 44100, 100000, 159123, {}},  // STREAMINFO says 0: frames
        {"streamed-padded.flac", "flac", 2, 44100, 100000, 1242925, {}},  // no frame in the end
        {"tone-in-ogg.oga", "flac", 2, 44100, 100000, 190318, {}},
        // The LAME header's delay and padding taken off; ID3v2.3 in UTF-16.
        {"lavc.mp3", "mp3", 2, 44100, 100000, {}, {}},  // as stated, but by Lavc
        {"lame.mp3",
         "mp3",
         2,
         44100,
         100000,
         128000,
         {{"ARTIST", {"Émile"}},
          {"ALBUMARTIST", {"Band"}},
          {"TRACKNUMBER", {"3"}},
          {"TRACKTOTAL", {"12"}},
          {"DISCNUMBER", {"1"}},
          {"GENRE", {"Rock"}},
          {"DATE", {"2019"}}}},
        // No LAME header: every frame's 1152 samples, 100000 + 576 delay + padding, an
        // estimate. ID3v2.4 in UTF-8, two values in one frame.
        {"no-header.mp3",
         "mp3",
         2,
         44100,
         101376,
         128000,
         {{"ARTIST", {"Ann", "Bob"}}, {"DATE", {"2024-05-01"}}, {"GENRE", {"Electronic"}}}},
        {"mpeg2.mp3", "mp3", 1, 22050, 30000, 64000, {}},  // 576 samples a frame
        {"v1.mp3",
         "mp3",
         2,
         44100,
         100000,
         128000,
         {{"TITLE", {"Café"}}, {"TRACKNUMBER", {"7"}}, {"GENRE", {"Jazz"}}, {"DATE", {"1999"}}}},
        // Cut short: the header's byte count is past the end, so the frames are
        // counted; their bytes hold the Info frame and a frame cut off.
        {"cut.mp3", "mp3", 2, 44100, 52992, 131000, {}},
        {"tone.wav", "pcm", 2, 44100, 100000, 1411200, {}},
        {"tagged.wav",
         "pcm",
         2,
         44100,
         100000,
         1411200,
         {{"TITLE", {"Wave"}},
          {"TRACKNUMBER", {"5"}},
          {"TRACKTOTAL", {"9"}},
          {"GENRE", {"Ambient"}}}},
        {"rf64.wav", "pcm", 2, 44100, 100000, 1411200, {}},  // the size in ds64
        {"extensible.wav", "pcm", 3, 48000, 12345, 3456000, {}},
        {"float.wav", "float", 2, 44100, 100000, 2822400, {}},
        {"cut.wav", "pcm", 2, 44100, 50000, 1411200, {}},  // what the file holds
        {"tone.aiff", "pcm", 2, 44100, 100000, 1411200, {}},
        {"float.aifc", "float", 2, 44100, 100000, 2822400, {}},
        // The same title in a NAME chunk and an ID3 chunk: once.
        {"tagged.aiff", "pcm", 2, 44100, 100000, 1411200, {{"TITLE", {"Aiffy"}}}},
        // The 1024 samples of the encoder's delay, in the edit list, taken off.
        {"aac.m4a",
         "aac",
         2,
         44100,
         100000,
         96361,
         {{"ALBUMARTIST", {"Four"}},
          {"TRACKNUMBER", {"2"}},
          {"TRACKTOTAL", {"7"}},
          {"DISCTOTAL", {"2"}},
          {"COMPOSER", {"Comp"}},
          {"DATE", {"2022"}}}},
        // ALAC's own bytes over time, not the rate it decodes to.
        {"alac.m4a", "alac", 2, 44100, 100000, 283245, {{"TITLE", {"Lossless"}}}},
        {"video.mp4", "aac", 2, 44100, 100000, 128325, {}},     // the sound, past the video
        {"video.ogv", "vorbis", 2, 44100, 100000, 112000, {}},  // Vorbis after Theora
        {"tone.wv",
         "wavpack",
         2,
         44100,
         100000,
         226857,
         {{"ALBUMARTIST", {"Crew"}},
          {"TRACKTOTAL", {"8"}},
          {"DATE", {"2017"}},
          {"REPLAYGAIN_TRACK_GAIN", {"-3.5 dB"}}}},
    };
    // Counted frames with what an encoder added to them, which no header states, and
    // a WAV whose data chunk runs past its end.
    const std::set<std::string> estimates{"no-header.mp3", "cut.mp3", "lavc.mp3", "mixed-rates.ogg",
                                          "cut.wav"};
    for (const auto& row : rows) {
        const media::MediaInfo info = media::read_info(samples + row.file);
        EXPECT_EQ(info.codec, row.codec) << row.file;
        EXPECT_EQ(info.channels, row.channels) << row.file;
        EXPECT_EQ(info.sample_rate, row.rate) << row.file;
        EXPECT_EQ(info.samples, row.samples) << row.file;
        EXPECT_EQ(info.exact, estimates.count(row.file) == 0) << row.file;
        EXPECT_EQ(info.duration_secs, static_cast<double>(row.samples) / row.rate) << row.file;
        EXPECT_EQ(info.bitrate, row.bitrate) << row.file;
        for (const auto& [name, values] : row.tags) {
            EXPECT_EQ(info.tags.count(name) ? info.tags.at(name) : std::vector<std::string>(),
                      values)
                << row.file << " " << name;
        }
    }
}

// Each format's way of holding pictures, as a read in this process and one in a reader
// process tell them, and the bytes of each.
TEST(media, pictures_of_every_format)
{
    const std::string png = test_files::read_file(samples + "cover.png");
    const std::string jpeg = test_files::read_file(samples + "back.jpg");
    const auto front_png = [&png](std::optional<int> width, std::optional<int> height) {
        return media::Picture{media::front_cover, "image/png", "", width, height, png.size()};
    };
    const struct {
        std::string file;
        std::vector<media::Picture> pictures;
        std::vector<const std::string*> bytes;
    } rows[] = {
        {"cover.flac",
         {{4, "image/jpeg", "Back", 16, 12, jpeg.size()},
          {media::front_cover, "image/png", "Front", 8, 6, png.size()}},
         {&jpeg, &png}},
        {"cover.mp3", {{0, "image/png", "", {}, {}, png.size()}}, {&png}},
        {"cover.opus", {front_png(8, 6)}, {&png}},
        {"cover.m4a", {front_png({}, {})}, {&png}},
        {"cover.wv",
         {{media::front_cover, "image/jpeg", "Cover Art (Front).jpg", {}, {}, jpeg.size()}},
         {&jpeg}},
        {"tone.flac", {}, {}},
    };
    const auto fields = [](const std::vector<media::Picture>& pictures) {
        std::vector<std::tuple<int, std::string, std::string, std::optional<int>,
                               std::optional<int>, std::uint64_t>>
            all;
        for (const auto& p : pictures) {
            all.emplace_back(p.type, p.mime_type, p.description, p.width, p.height, p.size);
        }
        return all;
    };
    media::Limits isolated;
    isolated.isolated = true;
    for (const auto& row : rows) {
        const std::string path = samples + row.file;
        EXPECT_EQ(fields(media::read_info(path).pictures), fields(row.pictures)) << row.file;
        EXPECT_EQ(fields(media::read_info(path, isolated).pictures), fields(row.pictures))
            << row.file;
        for (std::size_t i = 0; i < row.bytes.size(); ++i) {
            EXPECT_EQ(media::read_picture(path, i), *row.bytes[i]) << row.file << " " << i;
        }
    }
    const std::string limit = std::to_string(png.size() - 1);
    const std::pair<std::function<std::string()>, std::string> refusals[] = {
        {[] { return media::read_picture(samples + "cover.flac", 2); },
         "no picture 2: the file has 2"},
        {[&png] { return media::read_picture(samples + "cover.opus", 0, png.size() - 1); },
         "picture 0 is " + std::to_string(png.size()) + " bytes, over the limit of " + limit},
        {[] { return media::read_picture(samples + "broken.flac", 0); }, "FLAC: "},
    };
    for (const auto& [read, message] : refusals) {
        try {
            read();
            ADD_FAILURE() << message;
        } catch (const media::media_error& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message);
        }
    }
    EXPECT_EQ(media::read_picture(samples + "cover.opus", 0, png.size()), png);  // at the limit
}

// What a read in this process gives, a read in a reader process gives as well: its
// bounds are the same, so no file that reads here is refused there. Read as records:
// a file of more pictures than a record lists, of more text as UTF-8 than the tags'
// limit (Latin-1, twice its bytes), of more channels than a record holds; of more tag
// values than a file may have, counted where they are added, over every tag format
// of the file and however a format packs them (apart by zero bytes in one frame or
// item).
TEST(media, a_reader_process_reads_what_this_one_reads)
{
    using byte_craft::be;
    using byte_craft::chunk;
    using byte_craft::le;
    const auto id3v23 = [](const std::string& frames) {
        std::string size;
        for (int shift = 21; shift >= 0; shift -= 7) {
            size += static_cast<char>((frames.size() >> static_cast<unsigned>(shift)) & 0x7FU);
        }
        return "ID3\x03" + std::string(2, '\0') + size + frames;
    };
    const auto frame = [](const std::string& id, const std::string& data) {
        return id + be(data.size(), 4) + std::string(2, '\0') + data;
    };
    const auto wav = [](int channels, const std::string& tag) {
        const std::string format =
            chunk("fmt ", le(1, 2) + le(channels, 2) + le(8000, 4) + le(16000 * channels, 4) +
                              le(2 * channels, 2) + le(16, 2));
        const std::string chunks =
            format + chunk("data", std::string(64, '\0')) + (tag.empty() ? "" : chunk("id3 ", tag));
        return "RIFF" + le(4 + chunks.size(), 4) + "WAVE" + chunks;
    };
    std::string pictures;
    for (int i = 0; i < 1500; ++i) {
        pictures += frame("APIC", std::string("\0image/png\0\x03\0", 13) + "\x89PNG");
    }
    const auto ape = [](const std::string& key, const std::string& value) {
        const std::string items = le(value.size(), 4) + le(0, 4) + key + '\0' + value;
        return items + "APETAGEX" + le(2000, 4) + le(items.size() + 32, 4) + le(1, 4) + le(0, 4) +
               std::string(8, '\0');
    };
    std::string values;  // 9,999 values apart by zero bytes, in one frame and one item
    for (int i = 1; i < 10000; ++i) {
        values += (i > 1 ? std::string(1, '\0') : "") + "v";
    }
    std::string many;  // half a million values in one item of 1 MB
    for (int i = 0; i < 500000; ++i) {
        many += "v"s + '\0';
    }
    const std::string mp3 = test_files::read_file(samples + "lame.mp3");
    std::string latin1;
    for (int i = 0; i < 300; ++i) {  // each value within its limit as UTF-8, 60,000 bytes
        latin1 += frame("TXXX", std::string("\0D", 2) + std::to_string(i) + '\0' +
                                    std::string(30000, '\xE9'));
    }
    const struct {
        std::string name, bytes, outcome;
    } rows[] = {
        {"pictures.wav", wav(1, id3v23(pictures)), "pcm, 1000 pictures"},
        {"latin1.wav", wav(1, id3v23(latin1)), "RIFF WAVE: tags over the 16 MiB limit"},
        {"channels.wav", wav(300, ""), "RIFF WAVE: 300 channels"},
        {"values.wav", wav(1, id3v23(frame("TPE1", "\3" + values + '\0' + values))),
         "RIFF WAVE: more than 10000 tags"},
        {"values.mp3", id3v23(frame("TPE1", "\3" + values)) + mp3 + ape("Album", values),
         "MPEG audio: more than 10000 tags"},
        {"many.mp3", mp3 + ape("Album", many), "MPEG audio: more than 10000 tags"},
        {"fewer.mp3", id3v23(frame("TPE1", "\3" + values)) + mp3, "mp3, 0 pictures"},
        {"tone.wav", test_files::read_file(samples + "tone.wav"), "pcm, 0 pictures"},
    };
    const auto outcome = [](const std::string& path, const media::Limits& limits) {
        return test_files::read_outcome(
            path,
            [](const media::MediaInfo& info) {
                return info.codec + ", " + std::to_string(info.pictures.size()) + " pictures";
            },
            limits);
    };
    const test_files::TempFolder folder("agree");
    media::Limits isolated;
    isolated.isolated = true;
    for (const auto& row : rows) {
        const std::string path = folder / row.name;
        byte_craft::write(path, row.bytes);
        EXPECT_EQ(outcome(path, {}), row.outcome) << row.name;
        EXPECT_EQ(outcome(path, isolated), row.outcome) << row.name << ", in a reader";
    }
}

// A second tag block of one kind is left out, as other readers leave it, and named
// among what was dropped; so is a block that does not hold together.
TEST(media, a_second_tag_block_is_left_out)
{
    using byte_craft::be;
    using byte_craft::chunk;
    using byte_craft::le;
    const std::string flac = test_files::read_file(samples + "tone.flac");
    std::string streaminfo = flac.substr(4, 38);
    streaminfo[0] = static_cast<char>(streaminfo[0] & 0x7F);  // no longer the last
    const std::string comment = "ARTIST=First";
    const std::string comments =
        le(1, 4) + "v" + le(1, 4) + le(comment.size(), 4) + comment;  // before tone.flac's own
    const std::string two_blocks =
        "fLaC" + streaminfo + "\x04"s + be(comments.size(), 3) + comments + flac.substr(42);
    const std::string id3 = "ID3\x03" + std::string(5, '\0') + "\x0E" + "TPE1" + be(4, 4) +
                            std::string(2, '\0') + "\0Ann"s;
    const std::string id3_second = std::string(id3).replace(22, 3, "Bob");
    const std::string wav = test_files::read_file(samples + "tone.wav");
    const std::string chunks = wav.substr(12) + chunk("id3 ", id3) + chunk("id3 ", id3_second);
    const struct {
        std::string name, bytes;
        media::Tags tags;
        std::vector<std::string> dropped;
    } rows[] = {
        {"two.flac", two_blocks, {{"ARTIST", {"First"}}}, {"VORBIS_COMMENT"}},
        {"two.wav",
         "RIFF" + le(4 + chunks.size(), 4) + "WAVE" + chunks,
         {{"ARTIST", {"Ann"}}},
         {"ID3v2"}},
    };
    const test_files::TempFolder folder("second-block");
    for (const auto& row : rows) {
        byte_craft::write(folder / row.name, row.bytes);
        const media::MediaInfo info = media::read_info(folder / row.name);
        EXPECT_EQ(info.tags, row.tags) << row.name;
        EXPECT_EQ(info.dropped_tags, row.dropped) << row.name;
    }
}

// MPEG audio after bytes that are none (the start of a broken download) is found
// where its frames begin, and read as it would be without them.
TEST(media, mpeg_audio_after_junk)
{
    const std::string mp3 = test_files::read_file(samples + "v1.mp3");  // no ID3v2 tag
    const test_files::TempFolder folder("junk");
    byte_craft::write(folder / "junk.mp3", std::string(5000, 'x') + mp3);
    const media::MediaInfo plain = media::read_info(samples + "v1.mp3");
    const media::MediaInfo after = media::read_info(folder / "junk.mp3");
    EXPECT_EQ(after.codec, "mp3");
    EXPECT_EQ(after.samples, plain.samples);
    EXPECT_EQ(after.exact, plain.exact);
}

TEST(media, failures_name_what_was_found)
{
    const std::pair<std::string, std::string> rows[] = {
        {"missing.mp3", "cannot open: No such file or directory"},
        {"broken.opus", "unknown content: not an audio format this library reads"},
        {"tone.ape", "Monkey's Audio: not an audio format this library reads"},
        {"speex.ogg", "Ogg Speex: not an audio format this library reads"},
        {"cut-page.ogg", "Ogg stream of an unknown codec: not an audio format this library reads"},
        {"broken.flac", "FLAC: "},
        {"/dev/null", "empty file: not an audio format this library reads"},
        {"", "cannot read: Is a directory"},  // the samples folder
    };
    for (const auto& [file, message] : rows) {
        const std::string path = !file.empty() && file.front() == '/' ? file : samples + file;
        try {
            media::read_info(path);
            ADD_FAILURE() << file << " was read";
        } catch (const media::media_error& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message) << file;
        }
    }
    EXPECT_THROW(media::read_info(samples + "short.opus", {std::chrono::milliseconds(-1), {}}),
                 std::invalid_argument);
}

}  // namespace
