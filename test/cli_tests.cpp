#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/wait.h>

#include <nlohmann/json.hpp>

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs the command in the generated music folder; `args` may redirect its output.
Outcome musiccore(const std::string& args)
{
    const std::string out = testing::TempDir() + "musiccore-cli-out";
    const std::string err = testing::TempDir() + "musiccore-cli-err";
    const std::string command = "cd '" MUSICCORE_MUSIC_DIR "' && { '" MUSICCORE_CLI "' " + args +
                                "; } >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

TEST(cli, scan_json_reads_back_exactly)
{
    // Never the FIFO opened, nor the link loop followed: either would hang or repeat.
    const auto expected = nlohmann::json::parse(R"({
        "tracks": [
            {"path": "./a/chained.opus", "artist": "Ann; Bob", "album": "Live", "title": "Intro",
             "duration_secs": 1.5, "duration": "00:00:02"},
            {"path": "./a/short.opus", "artist": "Ann; Bob", "album": "Live", "title": "Intro",
             "duration_secs": 1.0, "duration": "00:00:01"},
            {"path": "./b/plain.opus", "artist": "<unknown>", "album": "", "title": "<unknown>",
             "duration_secs": 0.5, "duration": "00:00:01"},
            {"path": "./c/LOUD.OPUS", "artist": "<unknown>", "album": "", "title": "<unknown>",
             "duration_secs": 0.5, "duration": "00:00:01"}],
        "failures": [{"path": "./b/broken.opus",
                      "message": "op_open_file failed with error code -132"}],
        "skipped": 2})");
    for (const char* jobs : {"1", "3"}) {  // the same whatever the number of threads
        const Outcome run = musiccore("scan --json --jobs " + std::string(jobs) + " .");
        EXPECT_EQ(run.status, 1);  // the broken file
        EXPECT_EQ(nlohmann::json::parse(run.out), expected) << jobs << " jobs";
    }
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
        {"scan --csv --min 1 --max 0:01 .", 1,
         "duration\r\n./a/short.opus,Ann; Bob,Live,Intro,1,00:00:01\r\n", "./b/broken.opus: op_"},
        {"info a/short.opus", 0, "  duration  1 s (00:00:01)\n  artist    Ann; Bob\n", ""},
        {"info b/broken.opus", 1, "", "b/broken.opus: op_open_file failed with error code -132"},
        {"info ../samples/escape.opus", 0, "  title     Red?[31m\n", ""},  // no terminal command
        {"scan --time-limit 0.000001 b", 1, "",
         "b/plain.opus: op_open_file failed with error code "
         "-132: time limit passed"},
        {"scan --min 1:03x .", 2, "", "--min: '1:03x' is not a time"},
        {"scan none", 2, "", "none"},
        {"scan --time-limit 1e300 .", 2, "", "--time-limit"},
        {"scan notes.txt", 2, "", "notes.txt"},
        {"--version", 0, ".", ""},
        {"scan a >/dev/full", 1, "", "cannot write the output"},  // not a success
    };
    for (const auto& row : rows) {
        const Outcome run = musiccore(row.args);
        EXPECT_EQ(run.status, row.status) << row.args;
        EXPECT_NE(run.out.find(row.out), std::string::npos) << row.args << ":\n" << run.out;
        EXPECT_NE(run.err.find(row.err), std::string::npos) << row.args << ":\n" << run.err;
    }
}

}  // namespace
