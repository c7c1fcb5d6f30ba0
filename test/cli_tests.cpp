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

// Runs the command in the generated music folder.
Outcome musiccore(const std::string& args)
{
    const std::string out = testing::TempDir() + "musiccore-cli-out";
    const std::string err = testing::TempDir() + "musiccore-cli-err";
    const int status = std::system(("cd '" MUSICCORE_MUSIC_DIR "' && '" MUSICCORE_CLI "' " + args +
                                    " >'" + out + "' 2>'" + err + "'")
                                       .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

TEST(cli, scan_json_reads_back_exactly)
{
    const Outcome run = musiccore("scan --json .");
    EXPECT_EQ(run.status, 1);  // the broken file
    const auto track = [](const char* path, const char* texts, double secs, const char* clock) {
        nlohmann::json t = nlohmann::json::parse(texts);
        t["path"] = path;
        t["duration_secs"] = secs;
        t["duration"] = clock;
        return t;
    };
    const char* tagged = R"({"artist": "Ann; Bob", "album": "Live", "title": "Intro"})";
    const char* untagged = R"({"artist": "<unknown>", "album": "", "title": "<unknown>"})";
    const nlohmann::json expected{
        {"tracks",
         {track("./a/chained.opus", tagged, 1.5, "00:00:02"),
          track("./a/short.opus", tagged, 1.0, "00:00:01"),
          track("./b/plain.opus", untagged, 0.5, "00:00:01"),
          track("./c/LOUD.OPUS", untagged, 0.5, "00:00:01")}},
        {"failures",
         {{{"path", "./b/broken.opus"}, {"message", "op_open_file failed with error code -132"}}}},
        {"skipped", 1}};
    EXPECT_EQ(nlohmann::json::parse(run.out), expected);
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
        {"scan --min 1:03x .", 2, "", "--min: '1:03x' is not a time"},
        {"scan none", 2, "", "none"},
        {"scan notes.txt", 2, "", "notes.txt"},
        {"--version", 0, ".", ""},
    };
    for (const auto& row : rows) {
        const Outcome run = musiccore(row.args);
        EXPECT_EQ(run.status, row.status) << row.args;
        EXPECT_NE(run.out.find(row.out), std::string::npos) << row.args << ":\n" << run.out;
        EXPECT_NE(run.err.find(row.err), std::string::npos) << row.args << ":\n" << run.err;
    }
}

}  // namespace
