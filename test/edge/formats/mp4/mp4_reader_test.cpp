#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <musiccore/media.hpp>

#include "support/byte_craft.hpp"
#include "support/read_outcome.hpp"
#include "support/test_files.hpp"

namespace {

using byte_craft::be;
using byte_craft::box;
using namespace std::string_literals;

// A small M4A, field by field: what a test leaves alone is what ffmpeg writes.
struct M4a {
    std::uint32_t movie_scale = 1000;
    std::uint32_t media_scale = 44100;
    std::string handler = "soun";
    std::string entry = "mp4a";
    std::string object = "\x40";       // MPEG-4 audio
    std::string config = "\x12\x10"s;  // AAC-LC, 44100 Hz, stereo
    std::string stream_flags = "\0"s;  // of the ES descriptor, and the fields they add
    std::uint32_t alac_rate = 44100;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs{{98, 1024}, {1, 672}};
    std::optional<std::uint32_t> stated_runs;  // the count stts states, if not the true one
    std::optional<std::pair<std::int32_t, std::uint32_t>> edit{{1024, 2268}};
    std::string items;         // of ilst
    std::string after_moov;    // boxes past it
    std::string after_trak;    // inside moov, past the sound track
    bool moov_to_end = false;  // its size 0
    // The samples, a byte each, in one chunk of one mdat: as many as stts counts,
    // unless said; before moov, or after it ("faststart"), or none at all.
    std::optional<std::uint64_t> stored;  // the count stsz states
    std::optional<std::size_t> media_bytes;
    bool faststart = false;
    bool no_mdat = false;
    bool quicktime_meta = false;  // meta without its version and flags
    std::size_t cut = 0;          // bytes the file lacks at its end: a partial download

    std::uint64_t samples() const
    {
        std::uint64_t count = 0;
        for (const auto& [runs, duration] : runs) {
            count += runs;
        }
        return count;
    }

    std::string esds() const
    {
        const std::string specific = "\x05"s + static_cast<char>(config.size()) + config;
        const std::string decoder = "\x04"s + static_cast<char>(13 + specific.size()) + object +
                                    "\x15" + be(0, 3) + be(128000, 4) + be(96000, 4) + specific;
        const std::string stream =
            "\x03"s + static_cast<char>(3 + decoder.size()) + be(1, 2) + "\0"s + decoder;
        return box("esds", be(0, 4) + stream);
    }

    std::string sample_entry() const
    {
        const std::string fields = std::string(6, '\0') + be(1, 2) + be(0, 8) + be(2, 2) +
                                   be(16, 2) + be(0, 4) + be(44100U << 16U, 4);
        if (entry == "alac") {
            const std::string cookie = be(0, 4) + be(4096, 4) + "\0\x10\x28\x0a\x0e\x02"s +
                                       be(255, 2) + be(0, 4) + be(0, 4) + be(alac_rate, 4);
            return box("alac", fields + box("alac", cookie));
        }
        return box(entry, fields + esds());
    }

    std::string track(std::uint64_t media_at = 0) const
    {
        std::string stts = be(0, 4) + be(stated_runs.value_or(runs.size()), 4);
        for (const auto& [count, duration] : runs) {
            stts += be(count, 4) + be(duration, 4);
        }
        const std::uint64_t count = stored.value_or(samples());
        const std::string tables =
            box("stsz", be(0, 4) + be(1, 4) + be(count, 4)) +
            box("stsc", be(0, 4) + be(1, 4) + be(1, 4) + be(count, 4) + be(1, 4)) +
            box("stco", be(0, 4) + be(1, 4) + be(media_at, 4));
        const std::string stbl =
            box("stsd", be(0, 4) + be(1, 4) + sample_entry()) + box("stts", stts) + tables;
        const std::string mdia = box("mdhd", be(0, 12) + be(media_scale, 4) + be(0, 8)) +
                                 box("hdlr", be(0, 8) + handler + be(0, 12) + "\0"s) +
                                 box("minf", box("stbl", stbl));
        const std::string edts =
            edit ? box("edts", box("elst", be(0, 4) + be(1, 4) + be(edit->second, 4) +
                                               be(static_cast<std::uint32_t>(edit->first), 4) +
                                               be(0x10000, 4)))
                 : "";
        const std::string tkhd = box("tkhd", be(0, 4) + be(0, 8) + be(1, 4) + be(0, 68));
        return box("trak", tkhd + edts + box("mdia", mdia));
    }

    std::string moov(std::uint64_t media_at) const
    {
        const std::string meta = box("meta", (quicktime_meta ? "" : be(0, 4)) + box("ilst", items));
        std::string whole = box("moov", box("mvhd", be(0, 12) + be(movie_scale, 4) + be(0, 84)) +
                                            track(media_at) + after_trak + box("udta", meta));
        if (moov_to_end) {
            whole.replace(0, 4, be(0, 4));
        }
        return whole;
    }

    std::string build() const
    {
        const std::string ftyp = box("ftyp", "M4A "s + be(0, 4));
        const std::string mdat =
            no_mdat ? ""
                    : box("mdat", std::string(media_bytes.value_or(std::min<std::uint64_t>(
                                                  samples(), std::uint64_t{1} << 20U)),
                                              '\x55'));
        std::string file = ftyp + mdat + moov(ftyp.size() + 8) + after_moov;
        if (faststart) {  // the index first, pointing past itself
            const std::size_t at = ftyp.size() + moov(0).size() + 8;
            file = ftyp + moov(at) + mdat + after_moov;
        }
        return file.substr(0, file.size() - std::min(cut, file.size()));
    }
};

std::string itunes_item(const std::string& atom, std::uint32_t type, const std::string& value)
{
    return box(atom, box("data", be(type, 4) + be(0, 4) + value));
}

std::string freeform(const std::string& name, const std::string& value)
{
    return box("----", box("mean", be(0, 4) + "com.apple.iTunes") + box("name", be(0, 4) + name) +
                           box("data", be(1, 4) + be(0, 4) + value));
}

std::string outcome(const std::string& path)
{
    return test_files::read_outcome(path, [](const media::MediaInfo& info) {
        return info.codec + " " + std::to_string(info.channels) + "ch " +
               std::to_string(info.sample_rate) + " " + test_files::length_of(info);
    });
}

template <typename Change>
M4a with(Change change)
{
    M4a file;
    change(file);
    return file;
}

TEST(mp4_reader, playing_lengths)
{
    const std::pair<M4a, std::string> rows[] = {
        // The delay in the edit, its length in milliseconds: the media's end settles it.
        {M4a{}, "aac 2ch 44100 100000 exact"},
        // An edit to the sample, in the media's own units, taking the padding off too.
        {with([](M4a& f) {
             f.movie_scale = 44100, f.edit = {{1024, 99000}};
         }),
         "aac 2ch 44100 99000 exact"},
        // Milliseconds that do not meet the media's end: to the millisecond only.
        {with([](M4a& f) {
             f.edit = {{1024, 2200}};
         }),
         "aac 2ch 44100 97020 estimate"},
        // No edit: iTunes' own statement, when it adds up.
        {with([](M4a& f) {
             f.edit.reset();
             f.runs = {{100, 1024}};
             f.items = freeform("iTunSMPB", " 00000000 00000840 00000600 00000000000181C0 0");
         }),
         "aac 2ch 44100 98752 exact"},
        {with([](M4a& f) {
             f.edit.reset();
             f.items = freeform("iTunSMPB", " 00000000 00000840 00000000 0000000000000010");
         }),
         "aac 2ch 44100 101024 estimate"},                                        // it does not
        {with([](M4a& f) { f.edit.reset(); }), "aac 2ch 44100 101024 estimate"},  // the delay in
        {with([](M4a& f) {
             f.edit = {{-1, 1000}};
         }),
         "aac 2ch 44100 101024 estimate"},  // empty
        // A movie time scale of one a second: an edit in whole seconds, which the
        // media's end meets to within one.
        {with([](M4a& f) {
             f.movie_scale = 1, f.edit = {{1024, 2}};
         }),
         "aac 2ch 44100 100000 exact"},
        // A video track after the sound: the sound is kept.
        {with([](M4a& f) { f.after_trak = with([](M4a& v) { v.handler = "vide"; }).track(); }),
         "aac 2ch 44100 100000 exact"},
        {with([](M4a& f) { f.entry = "alac", f.edit.reset(); }), "alac 2ch 44100 101024 exact"},
        // The cookie's rate, which the sample entry's 16 bits cannot hold.
        {with([](M4a& f) {
             f.entry = "alac", f.alac_rate = 96000, f.media_scale = 96000, f.edit.reset();
         }),
         "alac 2ch 96000 101024 exact"},
        // HE-AAC, explicit: a 22050 Hz core, played at 44100 Hz; PS makes mono stereo.
        {with([](M4a& f) {
             f.config = "\x2B\x92\x08"s, f.media_scale = 22050, f.runs = {{100, 1024}};
             f.edit = {{0, 4644}};
         }),
         "aac 2ch 44100 204800 exact"},
        {with([](M4a& f) { f.config = "\xEB\x8A\x08"s, f.media_scale = 22050, f.edit.reset(); }),
         "aac 2ch 44100 202048 estimate"},
        // SBR with an extension rate that does not exist: the core's rate stays.
        {with([](M4a& f) { f.config = "\x2B\x96\x88"s, f.media_scale = 22050, f.edit.reset(); }),
         "aac 2ch 22050 101024 estimate"},
        // More samples than bytes, or samples longer than any codec's: not exact.
        {with([](M4a& f) {
             f.runs = {{1U << 20U, 1024}}, f.edit.reset(), f.entry = "alac", f.media_bytes = 400;
         }),
         "alac 2ch 44100 1073741824 estimate"},
        {with([](M4a& f) {
             f.runs = {{2, 16384}}, f.edit.reset(), f.entry = "alac";
         }),
         "alac 2ch 44100 32768 estimate"},
        // The index first, the samples after it: whole, then cut short, as a partial
        // download is; stts counting more samples than stsz and the media hold; no
        // media at all.
        {with([](M4a& f) { f.faststart = true; }), "aac 2ch 44100 100000 exact"},
        {with([](M4a& f) { f.faststart = true, f.cut = 50; }), "aac 2ch 44100 100000 estimate"},
        {with([](M4a& f) { f.entry = "alac", f.edit.reset(), f.stored = 33; }),
         "alac 2ch 44100 101024 estimate"},
        {with([](M4a& f) { f.no_mdat = true; }), "aac 2ch 44100 100000 estimate"},
        // An edit that starts past the media; a time scale that is not the rate's, nor
        // HE-AAC's half of it.
        {with([](M4a& f) {
             f.entry = "alac", f.edit = {{200000, 2268}};
         }),
         "alac 2ch 44100 101024 estimate"},
        {with([](M4a& f) { f.media_scale = 48000, f.edit.reset(); }),
         "aac 2ch 44100 92816 estimate"},
        // Fragments (moof) after an index of none: their runs counted, as an estimate.
        {with([](M4a& f) {
             f.entry = "alac", f.edit.reset(), f.runs = {};
             f.after_trak =
                 box("mvex", box("trex", be(0, 4) + be(1, 4) + be(1, 4) + be(4096, 4) + be(0, 8)));
             const std::string traf =
                 box("traf", box("tfhd", be(0x020000, 4) + be(1, 4)) +
                                 box("trun", be(0, 4) + be(10, 4)) +
                                 box("trun", be(0x100, 4) + be(2, 4) + be(1000, 4) + be(24, 4)));
             f.after_moov = box("moof", box("mfhd", be(0, 8)) + traf) + box("mdat", "x");
         }),
         "alac 2ch 44100 41984 estimate"},
    };
    const test_files::TempFolder folder("mp4");
    const std::string path = folder / "crafted.m4a";
    for (const auto& [file, expected] : rows) {
        byte_craft::write(path, file.build());
        EXPECT_EQ(outcome(path), expected) << testing::PrintToString(file.config);
    }
}

TEST(mp4_reader, bad_boxes_fail_alone)
{
    const std::string too_many = [] {
        std::string boxes;
        for (int i = 0; i < 100000; ++i) {
            boxes += box("free", "");
        }
        return boxes;
    }();
    const std::string unsupported = ": not an audio format this library reads";
    const std::pair<M4a, std::string> rows[] = {
        {with([](M4a& f) { f.moov_to_end = true; }), "aac 2ch 44100 100000 exact"},  // size 0
        {with([](M4a& f) { f.after_moov = box("free", ""); }), "aac 2ch 44100 100000 exact"},
        {with([](M4a& f) { f.object = "\x6B"; }), "MP4 of audio object 0x6B" + unsupported},
        // An ES descriptor with an OCR stream's id: two bytes more before its config.
        {with([](M4a& f) { f.stream_flags = "\x20\0\x07"s; }), "aac 2ch 44100 100000 exact"},
        {with([](M4a& f) { f.entry = "ac-3"; }), "MP4 of codec 'ac-3'" + unsupported},
        {with([](M4a& f) { f.handler = "vide"; }), "MP4 without a sound track" + unsupported},
        {with([](M4a& f) { f.stated_runs = 1000; }),
         "MP4: box 'stts' counts more runs than it holds"},
        {with([](M4a& f) {
             f.runs = {{0xFFFFFFFF, 0xFFFFFFFF}, {0xFFFFFFFF, 0xFFFFFFFF}};
         }),
         "MP4: box 'stts' sums to more than 2^64 units"},
        {with([](M4a& f) {
             f.runs = {{0xFFFFFFFF, 0xFFFFFFFF}}, f.edit.reset();
         }),
         "MP4: the sound track lasts past 2^63 samples"},
        {with([](M4a& f) { f.media_scale = 0; }), "MP4: the sound track's time scale is 0"},
        // Tables are held in memory whole, so no larger than the tags may be.
        {with([](M4a& f) {
             f.runs.assign(std::size_t{2} << 20U, {1, 1024});
         }),
         "MP4: box 'stts' is too large to read"},
        {with([](M4a& f) {
             f.config = "\x10\x00"s, f.media_scale = 96000, f.edit.reset();
         }),  // rate index 0: 96 kHz
         "aac 2ch 96000 101024 estimate"},
        {with([](M4a& f) { f.config = "\x17\x80"s; }),  // rate index 15: 24 bits that are 0
         "aac 2ch 44100 100000 exact"},
    };
    const test_files::TempFolder folder("mp4-bad");
    const std::string path = folder / "crafted.m4a";
    for (const auto& [file, expected] : rows) {
        byte_craft::write(path, file.build());
        EXPECT_EQ(outcome(path), expected) << testing::PrintToString(file.entry);
    }
    // Sizes: too small, past the parent, past the file, 64-bit, and too many boxes. Only
    // where the index finds its samples in an mdat is the length exact.
    const std::string media(M4a{}.samples(), '\x55');
    const std::string moov = M4a{}.moov(0);
    const std::string ftyp = box("ftyp", "M4A "s + be(0, 4));
    const std::pair<std::string, std::string> sized[] = {
        {ftyp + be(4, 4) + "free" + moov, "MP4: box 'free' is smaller than its header"},
        {ftyp + be(1, 4) + "mdat" + be(16, 8) + moov, "aac 2ch 44100 100000 estimate"},
        {box("ftyp", "M4A "s + be(0, 4)) + be(1, 4) + "mdat" + be(16 + media.size(), 8) + media +
             M4a{}.moov(32),
         "aac 2ch 44100 100000 exact"},
        {ftyp + be(1, 4) + "mdat" + be(8, 8) + moov, "MP4: box 'mdat' is smaller than its header"},
        {ftyp + be(0xFFFFFFFF, 4) + "mdat" + moov, "MP4: no moov box"},  // past the file
        {ftyp + moov.substr(0, 8) + be(0xFFFFFF, 4) + "mvhd" + moov.substr(16),
         "MP4: box 'mvhd' runs past its parent"},
        {ftyp, "MP4: no moov box"},
        {ftyp + box("moov", ""), "MP4 without a sound track" + unsupported},  // 8 bytes at the end
        {ftyp + be(1, 4) + "mdat" + be(0, 4), "MP4: box 'mdat' has its 64-bit size cut off"},
        // Every box counts, the ftyp and those inside moov too.
        {ftyp + too_many + moov, "MP4: more than 100000 boxes"},
        {ftyp + too_many.substr(8 * 100) + moov, "aac 2ch 44100 100000 estimate"},
    };
    for (const auto& [bytes, expected] : sized) {
        byte_craft::write(path, bytes);
        EXPECT_EQ(outcome(path), expected) << testing::PrintToString(bytes.substr(0, 48));
    }
}

// The index at the end of a large file is found by the boxes' sizes alone: the
// middle is never read, or the work limit would stop the read.
TEST(mp4_reader, finds_moov_past_gigabytes)
{
    const test_files::TempFolder folder("mp4-large");
    const std::string path = folder / "large.m4a";
    const std::uint64_t media = std::uint64_t{8} << 30U;
    const std::string moov = M4a{}.build().substr(16 + 8 + M4a{}.samples());
    {
        std::ofstream out(path, std::ios::binary);
        out << box("ftyp", "M4A "s + be(0, 4)) << be(1, 4) << "mdat" << be(16 + media, 8);
        out.seekp(static_cast<std::streamoff>(media), std::ios::cur);  // sparse
        out << moov;
    }
    const media::MediaInfo info =
        media::read_info(path, {std::chrono::milliseconds(200), std::nullopt});
    EXPECT_EQ(info.samples, 100000);
}

TEST(mp4_reader, itunes_tags)
{
    const std::string items =
        itunes_item("\xA9nam", 1, "Title") +
        itunes_item("\xA9"
                    "ART",
                    1, "Ann") +
        box("\xA9"
            "alb",
            box("data", be(1, 4) + be(0, 4) + "One") + box("data", be(1, 4) + be(0, 4) + "Two")) +
        itunes_item("trkn", 0, be(0, 2) + be(0, 2) + be(1, 2) + be(0, 2)) +
        itunes_item("disk", 0, be(0, 2) + be(1, 2) + be(0, 2)) + itunes_item("gnre", 0, be(18, 2)) +
        itunes_item("tmpo", 21, be(120, 2)) + itunes_item("cpil", 21, "\x01") +
        itunes_item("cpil", 21, "\x00"s) + itunes_item("covr", 13, "\xFF\xD8 a picture") +
        itunes_item("\xA9"
                    "day",
                    21, "not text") +
        freeform("MusicBrainz Album Id", "b1a2") + freeform("replaygain_track_gain", "-6.5 dB");
    M4a file;
    file.items = items;
    const test_files::TempFolder folder("mp4-tags");
    const std::string path = folder / "tagged.m4a";
    byte_craft::write(path, file.build());
    const media::Tags expected{
        {"TITLE", {"Title"}},
        {"ARTIST", {"Ann"}},
        {"ALBUM", {"One", "Two"}},
        {"TRACKTOTAL", {"1"}},  // a track number of 0 is none
        {"DISCNUMBER", {"1"}},
        {"GENRE", {"Rock"}},
        {"BPM", {"120"}},
        {"COMPILATION", {"1", "0"}},
        {"MUSICBRAINZ_ALBUMID", {"b1a2"}},
        {"REPLAYGAIN_TRACK_GAIN", {"-6.5 dB"}},
    };
    EXPECT_EQ(media::read_info(path).tags, expected);

    std::string many;
    for (int i = 0; i < 10001; ++i) {
        many += itunes_item("\xA9nam", 1, "x");
    }
    const std::pair<std::string, std::string> limits[] = {
        {many, "MP4: more than 10000 tags"},
        {itunes_item("\xA9nam", 1, std::string(std::size_t{17} << 20U, 'x')),
         "MP4: tags over the 16 MiB limit"},
    };
    for (const auto& [ilst, message] : limits) {
        file.items = ilst;
        byte_craft::write(path, file.build());
        EXPECT_EQ(outcome(path), message);
    }
}

// covr: a data box a picture, its type said or sniffed; an empty one none; not tags,
// not counted among them; and one that claims more than its parent holds fails the read.
TEST(mp4_reader, cover_pictures)
{
    const std::string png = "\x89PNG\r\n\x1A\n a picture"s;
    const std::string large(std::size_t{17} << 20U, 'x');  // past the tags' limit
    M4a file;
    file.items = box("covr", box("data", be(13, 4) + be(0, 4) + "\xFF\xD8\xFF") +
                                 box("data", be(0, 4) + be(0, 4) + png) +
                                 box("data", be(27, 4) + be(0, 4) + large) +
                                 box("data", be(0, 4) + be(0, 4))) +  // empty: no picture
                 itunes_item("\xA9nam", 1, "Title");
    const test_files::TempFolder folder("mp4-covr");
    const std::string path = folder / "covers.m4a";
    byte_craft::write(path, file.build());
    const media::MediaInfo info = media::read_info(path);
    std::string listed;
    for (const auto& picture : info.pictures) {
        listed += std::string(media::picture_type_name(picture.type)) + " " + picture.mime_type +
                  " " + std::to_string(picture.size) + ", ";
    }
    EXPECT_EQ(listed, "front cover image/jpeg 3, other image/png " + std::to_string(png.size()) +
                          ", other image/bmp " + std::to_string(large.size()) + ", ");
    EXPECT_EQ(info.tags, (media::Tags{{"TITLE", {"Title"}}}));
    EXPECT_EQ(media::read_picture(path, 1), png);
    EXPECT_EQ(media::read_picture(path, 2, large.size()), large);

    // 4 GiB declared in a 64-bit size, past the covr that holds it.
    file.items = box("covr", be(1, 4) + "data" + be(std::uint64_t{4} << 30U, 8) + be(13, 4) +
                                 be(0, 4) + "\xFF\xD8\xFF");
    byte_craft::write(path, file.build());
    EXPECT_EQ(outcome(path), "MP4: box 'data' runs past its parent");
}

}  // namespace
