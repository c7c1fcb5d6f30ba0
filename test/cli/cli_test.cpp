#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "support/test_files.hpp"

namespace {

namespace fs = std::filesystem;
using test_files::read_file;

struct Outcome {
    int status;
    std::string out, err;
};

// Runs the command in `folder`, the generated music folder unless said, after the
// shell commands `before` (which end in "&&"); `args` may redirect its output.
Outcome musiccore_after(const std::string& before, const std::string& args,
                        const std::string& folder = MUSICCORE_MUSIC_DIR)
{
    // This program's own: another may run the same tests meanwhile.
    const std::string own = std::to_string(getpid());
    const std::string out = testing::TempDir() + "musiccore-cli-out-" + own;
    const std::string err = testing::TempDir() + "musiccore-cli-err-" + own;
    const std::string command = "cd '" + folder + "' && " + before + "{ '" MUSICCORE_CLI "' " +
                                args + "; } >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return outcome;
}

Outcome musiccore(const std::string& args, const std::string& folder = MUSICCORE_MUSIC_DIR)
{
    return musiccore_after("", args, folder);
}

// The encoder's own tags, which name its version.
nlohmann::json without_encoder(nlohmann::json document)
{
    for (auto& track : document["tracks"]) {
        track["tags"].erase("ENCODER");
        track["tags"].erase("ENCODER_OPTIONS");
    }
    return document;
}

TEST(cli, scan_json_reads_back_exactly)
{
    // Never the FIFO opened, nor the link loop followed: either would hang or repeat.
    const auto expected = nlohmann::json::parse(R"({
        "version": 2,
        "tracks": [
            {"path": "./a/chained.opus", "artist": "Ann; Bob", "album": "Live", "title": "Intro",
             "duration_secs": 1.5, "duration": "00:00:02", "codec": "opus", "channels": 1,
             "sample_rate": 48000, "samples": 72000, "exact": true, "bitrate": null,
             "track_gain_db": null, "track_peak": null, "album_gain_db": null, "album_peak": null,
             "tags": {"ALBUM": ["Live"], "ARTIST": ["Ann", "Bob"], "TITLE": ["Intro"]},
             "dropped_tags": [], "picture_count": 0, "pictures": [], "folder_cover": "cover.jpg"},
            {"path": "./a/short.opus", "artist": "Ann; Bob", "album": "Live", "title": "Intro",
             "duration_secs": 1.0, "duration": "00:00:01", "codec": "opus", "channels": 1,
             "sample_rate": 48000, "samples": 48000, "exact": true, "bitrate": null,
             "track_gain_db": null, "track_peak": null, "album_gain_db": null, "album_peak": null,
             "tags": {"ALBUM": ["Live"], "ARTIST": ["Ann", "Bob"], "TITLE": ["Intro"]},
             "dropped_tags": [], "picture_count": 0, "pictures": [], "folder_cover": "cover.jpg"},
            {"path": "./b/plain.opus", "artist": "<unknown>", "album": "", "title": "<unknown>",
             "duration_secs": 0.5, "duration": "00:00:01", "codec": "opus", "channels": 1,
             "sample_rate": 48000, "samples": 24000, "exact": true, "bitrate": null,
             "track_gain_db": null, "track_peak": null, "album_gain_db": null, "album_peak": null,
             "tags": {}, "dropped_tags": [], "picture_count": 0, "pictures": [],
             "folder_cover": null}],
        "failures": [{"path": "./b/broken.opus",
                      "message": "unknown content: not an audio format this library reads"}],
        "skipped": 2})");
    for (const char* jobs : {"1", "3"}) {  // the same whatever the number of threads
        const Outcome run = musiccore("scan --json --jobs " + std::string(jobs) + " ./a ./b");
        EXPECT_EQ(run.status, 1);  // the broken file
        EXPECT_EQ(without_encoder(nlohmann::json::parse(run.out)), expected) << jobs << " jobs";
    }
}

// Every format's folder: read by content, whatever the name says.
TEST(cli, scan_reads_every_format)
{
    const auto document = nlohmann::json::parse(musiccore("scan --json vorbis flac mp3 more").out);
    std::string codecs;
    for (const auto& track : document["tracks"]) {
        codecs += track["path"].get<std::string>() + "=" + track["codec"].get<std::string>() + " ";
    }
    EXPECT_EQ(codecs,
              "vorbis/chained.ogg=vorbis vorbis/cut.ogg=vorbis vorbis/tone.ogg=vorbis "
              "flac/really-wav.flac=pcm flac/streamed.flac=flac "
              "flac/tone-in-ogg.oga=flac flac/tone.flac=flac mp3/cut.mp3=mp3 mp3/lame.mp3=mp3 "
              "mp3/mpeg2.mp3=mp3 mp3/no-header.mp3=mp3 mp3/really-flac.mp3=flac "
              "mp3/v1.mp3=mp3 more/LOUD.M4B=alac more/aac.m4a=aac more/alac.m4a=alac "
              "more/float.aifc=float more/tagged.wav=pcm more/tone.aiff=pcm "
              "more/tone.wv=wavpack more/video.mp4=aac ");
    EXPECT_EQ(document["failures"], nlohmann::json::parse(R"([
        {"path": "flac/broken.flac", "message": "FLAC: no stream information"},
        {"path": "flac/really-ape.flac",
         "message": "Monkey's Audio: not an audio format this library reads"}])"));
}

// Texts from files, as each output shows them: escaped for a terminal, capped in a
// table, neutralised for a spreadsheet, whole (and its bytes) in JSON.
TEST(cli, texts_are_safe_where_they_land)
{
    const Outcome json = musiccore("scan --json unsafe");
    const auto tracks = nlohmann::json::parse(json.out)["tracks"];
    ASSERT_EQ(tracks.size(), 2U);
    EXPECT_EQ(tracks[0]["path"], "unsafe/caf\uFFFD.opus");        // replaced, and also
    EXPECT_EQ(tracks[0]["path_bytes"], "unsafe/caf\u00E9.opus");  // a byte a character
    EXPECT_EQ(tracks[1]["title"].get<std::string>().size(), 50000U);
    EXPECT_FALSE(tracks[1].contains("title_bytes"));
    // Names alike but for a byte: in the bytes' form only, never one key twice.
    EXPECT_EQ(json.out.find("\"N\uFFFD\""), std::string::npos);
    EXPECT_EQ(tracks[1]["tags_bytes"]["N\u00E9"], nlohmann::json::array({"1"}));
    EXPECT_EQ(tracks[1]["tags_bytes"]["N\u00E8"], nlohmann::json::array({"2"}));
    EXPECT_EQ(tracks[1]["dropped_tags_bytes"], nlohmann::json::array({"P\u00E9"}));

    const Outcome table = musiccore("scan unsafe");
    EXPECT_NE(table.out.find("C1\\u009B31m Bidi\\u202Eevil"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find(std::string(39, 'x') + "…  unsafe/unsafe.opus"), std::string::npos);
    EXPECT_NE(table.out.find("unsafe/caf\\xE9.opus"), std::string::npos);

    const Outcome csv = musiccore("scan --csv unsafe");
    EXPECT_NE(csv.out.find(",C1\\u009B31m Bidi\\u202Eevil,\"'=HYPERLINK(\"\"x\"\")\","),
              std::string::npos)
        << csv.out;
}

// scan --db prints what the update changed, a file a line or as a document, and
// what the index then holds in its summary; what the index holds is for list.
TEST(cli, scan_into_an_index_prints_what_changed)
{
    namespace fs = std::filesystem;
    const test_files::TempFolder dir("changes");
    fs::create_directories(dir / "music");
    for (const char* file : {"short.opus", "broken.opus", "speex.ogg"}) {
        fs::copy_file(test_files::samples + file, dir / ("music/" + std::string(file)));
    }
    const std::string music = fs::canonical(dir / "music").string() + "/";
    const Outcome first = musiccore("scan --db index.db music", dir.path());
    EXPECT_EQ(first.status, 1);  // the broken file
    EXPECT_EQ(first.out, "failed   " + music +
                             "broken.opus: unknown content: not an audio format this library "
                             "reads\nadded    " +
                             music + "short.opus\nskipped  " + music + "speex.ogg\n");
    EXPECT_EQ(first.err, "1 tracks, 00:00:01 in all, 1 failed, 1 skipped; 3 added, 0 changed, "
                         "0 removed, 0 kept\n");

    fs::rename(dir / "music/short.opus", dir / "music/moved.opus");
    fs::remove(dir / "music/broken.opus");
    const Outcome second = musiccore("scan --db index.db --json music", dir.path());
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(nlohmann::json::parse(second.out), nlohmann::json::parse(R"({"version": 2,
        "changes": [{"change": "removed", "path": ")" + music + R"(broken.opus"},
                    {"change": "moved", "path": ")" + music + R"(moved.opus",
                     "moved_from": ")" + music + R"(short.opus"}],
        "index": {"added": 0, "changed": 1, "removed": 1, "kept": 1,
                  "tracks": 1, "duration_secs": 1.0, "failed": 0, "skipped": 1}})"));
    EXPECT_EQ(musiccore("scan --db index.db --csv music", dir.path()).out,
              "change,path,moved_from,message\r\n");
    EXPECT_EQ(musiccore("scan --db index.db --max 1 music", dir.path()).status, 2);
}

// A listing of many tracks, encoded a run at a time on several threads, is what a scan
// of the same files prints: every track, in order, texts that are not UTF-8 kept.
TEST(cli, list_json_is_what_a_scan_prints)
{
    namespace fs = std::filesystem;
    const test_files::TempFolder dir("listing");
    const fs::path music = dir / "music";
    fs::create_directories(music);
    fs::copy_file(test_files::samples + "short.opus", music / "caf\xE9.opus");
    fs::copy_file(test_files::samples + "unsafe.opus", music / "unsafe.opus");
    for (int i = 0; i < 2100; ++i) {  // more than two runs' worth
        const std::string name = std::to_string(10000 + i).substr(1);
        fs::create_hard_link(test_files::samples + "plain.opus", music / ("a-" + name + ".opus"));
    }
    const std::string folder = fs::canonical(music).string();
    ASSERT_EQ(musiccore("scan --db index.db '" + folder + "'", dir.path()).status, 0);
    const auto listed =
        nlohmann::json::parse(musiccore("list --db index.db --json", dir.path()).out);
    const auto scanned = nlohmann::json::parse(musiccore("scan --json '" + folder + "'").out);
    ASSERT_EQ(listed["tracks"].size(), 2102U);
    EXPECT_EQ(listed, scanned);
    EXPECT_TRUE(listed["tracks"][2100].contains("path_bytes"));  // caf\xE9.opus
    EXPECT_FALSE(listed["tracks"][2101].contains("path_bytes"));
}

// An update killed while it reads leaves what it committed, and the next one goes
// on from there; a second writer meanwhile is turned away, and does no harm.
TEST(cli, index_survives_a_kill_and_a_second_writer)
{
    namespace fs = std::filesystem;
    const fs::path dir = testing::TempDir() + "musiccore-kill-" + std::to_string(getpid());
    fs::remove_all(dir);
    fs::create_directories(dir / "music");
    for (int i = 0; i < 40; ++i) {
        fs::copy_file(MUSICCORE_SAMPLE_DIR "/plain.opus",
                      dir / ("music/a-" + std::to_string(i) + ".opus"));
    }
    for (const char* slow : {"z-1.opus", "z-2.opus"}) {  // seconds each
        fs::copy_file(MUSICCORE_HOSTILE_DIR "/slow.opus", dir / "music" / slow);
    }
    const std::string first = "cd '" + dir.string() +
                              "' && { '" MUSICCORE_CLI
                              "' scan --db index.db --jobs 1 --time-limit 8 music >/dev/null "
                              "2>&1 & echo $! > pid; }";
    ASSERT_EQ(std::system(first.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // in the slow files

    const Outcome second = musiccore("scan --db index.db music", dir.string());
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("index is busy"), std::string::npos) << second.err;
    const pid_t pid = std::stoi(read_file((dir / "pid").string()));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    while (kill(pid, 0) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    const Outcome held = musiccore("list --db index.db --json", dir.string());
    EXPECT_EQ(held.status, 0) << held.err;
    EXPECT_EQ(nlohmann::json::parse(held.out)["tracks"].size(), 40U);
    const Outcome rescan = musiccore("scan --db index.db --time-limit 0.3 music", dir.string());
    EXPECT_NE(rescan.err.find("40 tracks, 00:00:20 in all, 2 failed, 0 skipped; "
                              "2 added, 0 changed, 0 removed, 40 kept"),
              std::string::npos)
        << rescan.err;
    fs::remove_all(dir);
}

TEST(cli, outputs_and_exit_statuses)
{
    const struct {
        std::string args;
        int status;
        std::string out, err;  // expected to be found in standard output and error
    } rows[] = {
        {"scan a", 0, "00:00:02  Ann; Bob  Live   Intro  a/chained.opus\n",
         "2 tracks, 00:00:03 in all, 0 failed, 0 skipped"},
        {"scan --csv --min 1 --max 0:01 a", 0,
         "genre\r\na/short.opus,Ann; Bob,Live,Intro,1,00:00:01,opus,1,48000,48000,true,,,,,,\r\n",
         ""},
        {"info a/short.opus", 0,
         "  duration  1 s (00:00:01), exact: 48000 samples at 48000 Hz\n"
         "  format    opus, 1 channel\n  artist    Ann; Bob\n",
         ""},
        {"info mp3/lame.mp3", 0, "  format    mp3, 2 channels, 128 kb/s\n", ""},
        {"info b/broken.opus", 1, "",
         "b/broken.opus: unknown content: not an audio format this library reads"},
        {"info ../samples/escape.opus", 0, "  title     Red\\x1B[31m\n", ""},  // no command
        {"info --time-limit 0.2 ../hostile/slow.opus", 1, "", "Ogg Opus: time limit passed"},
        // A valid stream, then a sparse 1 TB hole: info has a time limit too.
        {"info --time-limit 0.3 /tmp/musiccore-hole-$$.opus; s=$?; rm -f "
         "/tmp/musiccore-hole-$$.opus; "
         "exit $s",
         1, "", "Ogg Opus: time limit passed"},
        // Crafted: opusfile 0.12 dies on the first (SIGFPE), overflows on the second,
        // whose 6 KB cannot hold the 2^63-1 samples its links claim: they are estimated
        // at the rate of bytes of the one link that tells the truth.
        {"info ../hostile/crash.opus", 1, "", "Ogg Opus: granule position out of range"},
        {"info ../hostile/overflow.opus", 0, "estimated: 144000 samples at 48000 Hz", ""},
        {"info --csv ../samples/escape.opus", 0, ",Red\\x1B[31m,", ""},
        {"scan --time-limit 0 a", 0, "", "2 tracks"},  // no limit
        {"scan --time-limit nan a", 2, "", "--time-limit"},
        {"scan --time-limit inf a", 2, "", "--time-limit"},
        {"scan --time-limit -1 a", 2, "", "--time-limit"},
        {"scan --time-limit 1e300 a", 2, "", "--time-limit"},
        {"scan --min 1:03x .", 2, "", "--min: '1:03x' is not a time"},
        {"scan none", 2, "", "none"},
        {"scan notes.txt", 2, "", "notes.txt"},
        {"--version", 0, ".", ""},
        {"scan a >/dev/full", 1, "", "cannot write the output"},  // not a success
        {"scan --db /tmp/musiccore-cli-$$.db a b && rm /tmp/musiccore-cli-$$.db", 1,
         "/a/short.opus\n",
         "3 tracks, 00:00:03 in all, 1 failed, 2 skipped; 6 added, 0 changed, "
         "0 removed, 0 kept"},
        {"scan --db notes.txt a", 1, "", "notes.txt is not a musiccore index"},
        {"list --db missing.db", 1, "", "cannot open the index missing.db"},
        {"list --db pipe.opus", 1, "", "pipe.opus: not a regular file"},  // not waited on
        {"scan --db pipe.opus a", 1, "", "pipe.opus: not a regular file"},
        {"list a", 2, "", "--db is required"},
        // Pictures: listed by info, their counts by the index, the front cover written
        // (not the first picture, where that is another), a folder's cover named.
        {"info covers/cover.flac", 0, "  picture   back cover, image/jpeg, 16x12, ", ""},
        {"info covers/cover.wv", 0, "  picture   front cover, image/jpeg, ", ""},
        {"scan --json covers", 0, R"("folder_cover":"Folder.JPG")", ""},
        {"scan --db /tmp/musiccore-pic-$$.db covers >/dev/null && '" MUSICCORE_CLI
         "' list --json --db /tmp/musiccore-pic-$$.db; s=$?; rm /tmp/musiccore-pic-$$.db; exit $s",
         0, R"("picture_count":2,)", ""},
        {"cover covers/cover.flac | cmp - ../samples/cover.png", 0, "", ""},
        {"cover covers/cover.mp3 | cmp - ../samples/cover.png", 0, "", ""},
        {"cover covers/cover.wv -o /tmp/musiccore-cover-$$ && cmp /tmp/musiccore-cover-$$ "
         "../samples/back.jpg && rm /tmp/musiccore-cover-$$",
         0, "", ""},
        {"cover a/short.opus", 1, "", "musiccore: a/short.opus: no picture"},
        {"cover ../samples/broken.flac", 1, "", "broken.flac: FLAC: "},
        {"cover covers/cover.flac -o /nonexistent/cover.png", 1, "",
         "cannot write /nonexistent/cover.png"},
        {"cover a/short.opus a/chained.opus", 2, "", ""},
    };
    const std::string hole = "cp ../samples/plain.opus /tmp/musiccore-hole-$$.opus && "
                             "truncate -s 1T /tmp/musiccore-hole-$$.opus && ";
    for (const auto& row : rows) {
        const bool holed = row.args.find("musiccore-hole") != std::string::npos;
        const Outcome run = holed ? musiccore_after(hole, row.args) : musiccore(row.args);
        EXPECT_EQ(run.status, row.status) << row.args;
        EXPECT_NE(run.out.find(row.out), std::string::npos) << row.args << ":\n" << run.out;
        EXPECT_NE(run.err.find(row.err), std::string::npos) << row.args << ":\n" << run.err;
    }
}

// Reading in sandboxed readers is the default, and where none can be had the command
// says so and reads nothing: it reads in its own process only when asked. A reader
// that lies is caught: nothing it sends reaches a terminal or a CSV row as it is.
TEST(cli, the_sandbox_fails_closed)
{
    const std::string missing = "export MUSICCORE_READER=/nonexistent && ";
    const std::string fake = "export MUSICCORE_READER='" MUSICCORE_FAKE_READER "' && ";
    const std::string moves = testing::TempDir() + "musiccore-moves-" + std::to_string(getpid());
    fs::create_directories(moves);
    std::ofstream(moves + "/codec.opus") << "codec";
    std::ofstream(moves + "/escapes.opus") << "escapes";
    const struct {
        std::string before, args;
        int status;
        std::string out, err;
    } rows[] = {
        {missing, "scan a", 1, "",
         "musiccore: no sandboxed reader: /nonexistent is not a program that can be run\n"},
        {missing, "scan --no-sandbox a", 0, "a/short.opus", "2 tracks"},
        {missing, "info a/short.opus", 1, "", "a/short.opus: no sandboxed reader"},
        {missing, "info --no-sandbox a/short.opus", 0, "exact: 48000 samples", ""},
        {missing, "cover covers/cover.flac", 1, "", "no sandboxed reader"},
        {missing, "cover --no-sandbox covers/cover.flac | cmp - ../samples/cover.png", 0, "", ""},
        {fake, "scan --csv '" + moves + "'", 1, "path,",
         "codec.opus: reader sent an answer out of range: a codec of no reader\n"},
        {fake, "scan '" + moves + "'", 1, "escapes.opus",
         "musiccore-reader: \\x1B]0;owned\\x07\\x1B[31mred\\x0D\n"
         "musiccore-reader: musiccore: forged\n"},
    };
    for (const auto& row : rows) {
        const Outcome run = musiccore_after(row.before, row.args);
        EXPECT_EQ(run.status, row.status) << row.args;
        EXPECT_NE(run.out.find(row.out), std::string::npos) << row.args << ":\n" << run.out;
        EXPECT_NE(run.err.find(row.err), std::string::npos) << row.args << ":\n" << run.err;
        EXPECT_EQ(run.err.find('\x1B'), std::string::npos) << row.args;
    }
    fs::remove_all(moves);
}

}  // namespace

namespace {

// Loudness, end to end: the fields a program reads, albums gated together, and a
// file that cannot be measured failing alone.
TEST(cli, loudness_of_files_and_albums)
{
    const Outcome got = musiccore("loudness --json --album --jobs 2 case-23.flac case-33.flac "
                                  "../samples/speex.ogg",
                                  MUSICCORE_LOUDNESS_DIR);
    EXPECT_EQ(got.status, 1) << got.err;
    const auto document = nlohmann::json::parse(got.out);
    ASSERT_EQ(document["tracks"].size(), 2U);
    const auto& loud = document["tracks"][0];
    EXPECT_EQ(loud["path"], "case-23.flac");
    EXPECT_NEAR(loud["loudness_lufs"].get<double>(), -23.0, 0.05);
    EXPECT_NEAR(loud["track_gain_db"].get<double>(), 5.0, 0.05);
    EXPECT_NEAR(loud["true_peak_dbtp"].get<double>(), -23.0, 0.05);
    EXPECT_NEAR(loud["sample_peak"].get<double>(), 0.0708, 0.0001);
    EXPECT_EQ(loud["loudness_range_lu"].get<double>(), 0.0);
    // Untagged, in one folder: one album. 10 LU apart, both pass its gate: the
    // loudness of their mean energy, not the mean of -23 and -33.
    ASSERT_EQ(document["albums"].size(), 2U);  // the failed file's folder is the other
    const auto& album = document["albums"][0];
    EXPECT_EQ(album["tracks"], 2);
    EXPECT_NEAR(album["loudness_lufs"].get<double>(), -25.6, 0.05);
    EXPECT_EQ(loud["album_gain_db"], album["gain_db"]);
    EXPECT_EQ(document["albums"][1]["failed"], 1);
    ASSERT_EQ(document["failures"].size(), 1U);
    EXPECT_NE(document["failures"][0]["error"].get<std::string>().find("Speex"), std::string::npos);

    const Outcome text = musiccore("loudness --no-true-peak case-23.wav", MUSICCORE_LOUDNESS_DIR);
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("  -22.99   0.00     0.070795        -   4.99 dB  case-23.wav\n"),
              std::string::npos)
        << text.out;
    // A disc of its own, by its DISCNUMBER (1 of 2).
    const Outcome disc =
        musiccore("loudness --album --per-disc --json ../samples/aac.m4a", MUSICCORE_LOUDNESS_DIR);
    EXPECT_EQ(nlohmann::json::parse(disc.out)["albums"][0]["album"], "Box (disc 1)") << disc.out;
    const Outcome csv = musiccore("loudness --csv .", MUSICCORE_LOUDNESS_DIR);
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_NE(csv.out.find("\n./case-33.flac,-32.99,0.00,0.022387,-33.00,14.99,0.022387,,\n"),
              std::string::npos)
        << csv.out;
}

// The index measures what it has not, and list shows it with each track's album.
TEST(cli, scan_measures_loudness_into_the_index)
{
    const test_files::TempFolder folder("cli-loudness");
    const fs::path music = folder.path() / "music";
    fs::create_directories(music);
    fs::copy_file(fs::path(MUSICCORE_LOUDNESS_DIR) / "case-23.flac", music / "a.flac");
    test_files::write_damaged_copy(fs::path(MUSICCORE_SAMPLE_DIR) / "tone.flac", music / "b.flac");
    const std::string db = (folder.path() / "index.db").string();
    const Outcome first =
        musiccore("scan --db '" + db + "' --loudness music", folder.path().string());
    EXPECT_EQ(first.status, 1);  // the damaged file
    EXPECT_NE(first.err.find("loudness: 1 measured, 1 failed, 0 kept"), std::string::npos)
        << first.err;
    const Outcome second =
        musiccore("scan --db '" + db + "' --loudness music", folder.path().string());
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("loudness: 0 measured, 0 failed, 2 kept"), std::string::npos)
        << second.err;
    const Outcome listed =
        musiccore("list --db '" + db + "' --loudness --json", folder.path().string());
    EXPECT_EQ(listed.status, 0) << listed.err;
    const auto document = nlohmann::json::parse(listed.out);
    ASSERT_EQ(document["tracks"].size(), 1U);
    EXPECT_NEAR(document["tracks"][0]["album_gain_db"].get<double>(), 5.0, 0.05);
    ASSERT_EQ(document["failures"].size(), 1U);
    EXPECT_EQ(musiccore("scan --loudness music", folder.path().string()).status, 2);  // needs --db
}

// info of an image lists the tracks that the sheet beside it cuts it into.
TEST(cli, info_lists_an_images_tracks)
{
    const test_files::TempFolder folder("cli-cue");
    fs::copy_file(fs::path(MUSICCORE_SAMPLE_DIR) / "tone.flac", folder.path() / "image.flac");
    std::ofstream(folder.path() / "image.cue")
        << "PERFORMER \"Band\"\nFILE \"image.wav\" WAVE\n TRACK 01 AUDIO\n  TITLE \"A\"\n"
           "  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  TITLE \"B\"\n  INDEX 01 00:01:00\n";
    const Outcome got = musiccore("info image.flac", folder.path().string());
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_NE(got.out.find("image.flac: 2 tracks, by image.cue (UTF-8)\n"
                           "  01  00:00:01  samples 0 +44100  Band - A\n"
                           "  02  00:00:01  samples 44100 +55900  Band - B\n"),
              std::string::npos)
        << got.out;
    // scan lists the image's tracks in its place, and JSON says where each starts.
    const Outcome scanned = musiccore("scan .", folder.path().string());
    EXPECT_NE(scanned.out.find("  Band    Lossless  A      ./image.flac#1\n"), std::string::npos)
        << scanned.out;
    const auto document =
        nlohmann::json::parse(musiccore("scan --json .", folder.path().string()).out);
    ASSERT_EQ(document["tracks"].size(), 2U);
    EXPECT_EQ(document["tracks"][1]["cue_track"], 2);
    EXPECT_EQ(document["tracks"][1]["start_sample"], 44100);
    EXPECT_EQ(document["tracks"][1]["samples"], 55900);
    EXPECT_EQ(document["tracks"][1]["cue_sheet"], "./image.cue");
    EXPECT_EQ(document["tracks"][1]["cue_encoding"], "UTF-8");
    // The index lists them as the scan does.
    const std::string absolute = fs::canonical(folder.path()).string();
    ASSERT_EQ(musiccore("scan --db index.db '" + absolute + "'", absolute).status, 0);
    EXPECT_EQ(nlohmann::json::parse(musiccore("list --db index.db --json", absolute).out),
              nlohmann::json::parse(musiccore("scan --json '" + absolute + "'").out));
    ASSERT_EQ(musiccore("scan --db index.db --loudness '" + absolute + "'", absolute).status, 0);
    const Outcome stored = musiccore("list --db index.db --loudness", absolute);
    EXPECT_NE(stored.out.find("image.flac#2\n"), std::string::npos) << stored.out;
    // loudness measures each track of the image, from one decode.
    const Outcome loud = musiccore("loudness --album image.flac", folder.path().string());
    EXPECT_NE(loud.out.find("image.flac#2\n"), std::string::npos) << loud.out;
    EXPECT_NE(loud.out.find("album: Lossless (2 tracks)"), std::string::npos) << loud.out;
    // The hidden track before track 1, where asked for.
    std::ofstream(folder.path() / "image.cue")
        << "FILE \"image.flac\" WAVE\n TRACK 01 AUDIO\n  INDEX 01 00:00:30\n";
    const Outcome hidden = musiccore("info --hidden-track image.flac", folder.path().string());
    EXPECT_NE(hidden.out.find("image.flac: 2 tracks, by image.cue (UTF-8)\n"
                              "  00  00:00:00  samples 0 +17640  "),
              std::string::npos)
        << hidden.out;
    std::ofstream(folder.path() / "image.cue") << "FILE \"image.flac\" WAVE\nTRACK 01 AUDIO\n";
    const Outcome bad = musiccore("info image.flac", folder.path().string());
    EXPECT_EQ(bad.status, 0);
    EXPECT_NE(bad.err.find("track 1 has no INDEX 01 (the file stays one track)"), std::string::npos)
        << bad.err;
}

}  // namespace
