#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include <musiccore/library.hpp>

#include "sandbox/reader_pool.hpp"
#include "sandbox/reader_process.hpp"
#include "sandbox/sanitized_reader.hpp"
#include "support/test_files.hpp"

namespace {

using namespace std::chrono_literals;
using media::detail::open_file;
using media::detail::ReaderPool;
using media::detail::ReaderProcess;
using media::detail::ReadOutcome;
using media::detail::ReadRequest;

const std::string fake_reader = MUSICCORE_FAKE_READER;
constexpr std::size_t memory = std::size_t{256} << 20U;

// Files whose first word tells the fake reader what to do, in a folder of their own.
class Moves {
public:
    explicit Moves(const std::vector<std::string>& words) : folder_("moves")
    {
        for (const std::string& word : words) {
            std::ofstream(folder_ / word) << word;
            paths_.push_back((folder_ / word).string());
        }
    }

    const std::vector<std::string>& paths() const { return paths_; }

private:
    test_files::TempFolder folder_;
    std::vector<std::string> paths_;
};

ReadRequest info_request(std::chrono::milliseconds limit)
{
    ReadRequest request;
    request.work = limit;
    return request;
}

std::string text_of(const ReadOutcome& outcome)
{
    if (outcome.kind != ReadOutcome::Kind::info) {
        return outcome.message;
    }
    std::ostringstream text;
    text << outcome.info.codec << " " << *outcome.info.samples << " " << outcome.info.duration_secs;
    return text.str();
}

// Each file's outcome as one text, by its first word: "pcm <samples> <seconds>" or
// the failure's message.
std::map<std::string, std::string> pool_read(const std::vector<std::string>& words, unsigned jobs,
                                             std::chrono::milliseconds limit = 300ms,
                                             std::size_t memory_limit = memory)
{
    const Moves files(words);
    ReaderPool pool(fake_reader, jobs, memory_limit);
    std::map<std::string, std::string> outcomes;
    pool.read(
        words.size(), [&](std::size_t i) { return open_file(files.paths()[i], true); },
        info_request(limit),
        [&](std::size_t i, ReadOutcome&& outcome) { outcomes[words[i]] = text_of(outcome); }, {});
    return outcomes;
}

// A reader that fails, or that a file has taken over, fails its own file, and the file
// alone, with what it did: the pool replaces it and reads the rest, also what was
// asked of it ahead. What it sends is held to what the file could hold.
TEST(reader_pool, a_reader_that_misbehaves_loses_its_file_alone)
{
    std::map<std::string, std::string> expected{
        {"a", "pcm 1 0.000125"},
        {"crash", "reader crashed: signal 11 (SIGSEGV)"},
        {"bb", "pcm 2 0.00025"},
        {"spin", "time limit passed"},
        {"hang", "read blocked past the time limit"},
        {"trickle", "read took longer than 4 s"},
        {"garbage", "reader sent a malformed answer"},
        {"huge", "reader sent an answer too long for its file"},
        {"oversized", "reader sent an answer too long for its file"},
        {"exit", "reader ended with status 3"},
        {"fail", "a library failed"},
        {"ahead", "reader sent an answer out of turn"},
        {"channels-0", "reader sent an answer out of range: 0 channels"},
        {"channels-300", "reader sent an answer out of range: 300 channels"},
        {"rate-5", "reader sent an answer out of range: a rate of -5 Hz"},
        {"exact", "reader sent an answer out of range: an exact length that its bytes cannot hold"},
        {"type-21", "reader sent an answer out of range: a picture of type 21"},
        {"codec", "reader sent an answer out of range: a codec of no reader"},
        {"nan", "pcm 3 0.000375"},  // the duration is the samples'
        {"ccc", "pcm 3 0.000375"},
    };
    // A reader started by a process that was as large as that already (under valgrind)
    // cannot be told to have run out of memory: its peak is that process's too. Between
    // the two, either may be said.
    rusage own{};
    getrusage(RUSAGE_SELF, &own);
    const long own_mib = own.ru_maxrss / 1024;
    if (!media::detail::address_sanitized && own_mib < 192) {  // else it has no bound
        expected.emplace("hog", "reader exceeded 256 MiB");
    } else if (!media::detail::address_sanitized && own_mib >= 256) {
        expected.emplace("hog", "reader crashed: signal 11 (SIGSEGV)");
    }
    std::vector<std::string> words;
    for (const auto& [word, outcome] : expected) {
        words.push_back(word);
    }
    for (const unsigned jobs : {1U, 3U}) {
        EXPECT_EQ(pool_read(words, jobs), expected) << jobs << " jobs";
    }
}

// A reader that reads no request fails its file by the time limit: the pool never
// waits on it.
TEST(reader_pool, a_reader_that_reads_nothing_fails_its_files_in_time)
{
    setenv("MUSICCORE_FAKE_DEAF", "1", 1);
    const auto outcomes = pool_read({"a", "bb"}, 1, 200ms, memory + (3U << 20U));
    unsetenv("MUSICCORE_FAKE_DEAF");
    const std::map<std::string, std::string> expected{{"a", "read blocked past the time limit"},
                                                      {"bb", "read blocked past the time limit"}};
    EXPECT_EQ(outcomes, expected);
}

// A reader whose library failed a file is replaced once its answers are in: what the
// library left behind goes with it.
TEST(reader_pool, a_reader_that_failed_a_file_is_replaced)
{
    std::vector<std::string> words{"a", "b", "fail"};
    for (std::size_t i = 0; i < media::detail::max_asked_ahead + 8;
         ++i) {  // more than a reader is asked ahead
        words.push_back("c" + std::to_string(i));
    }
    const Moves files(words);
    ReaderPool pool(fake_reader, 1, memory);
    std::vector<std::string> answers(words.size());
    pool.read(
        words.size(), [&](std::size_t i) { return open_file(files.paths()[i], true); },
        info_request(300ms),
        [&](std::size_t i, ReadOutcome&& outcome) { answers[i] = outcome.message; }, {});
    EXPECT_EQ(answers[0], answers[1]);  // one reader while all goes well
    EXPECT_EQ(answers[2], "a library failed");
    EXPECT_NE(answers.back(), answers[0]);
    EXPECT_FALSE(answers.back().empty());
}

// The process id of the reader that read `word`, in a pool of the memory limit `memory`.
pid_t reader_of(const std::string& word, std::size_t memory_limit)
{
    const Moves files({word});
    ReaderPool pool(fake_reader, 1, memory_limit);
    ReadOutcome answer;
    pool.read(
        1, [&](std::size_t) { return open_file(files.paths()[0], true); }, info_request(300ms),
        [&](std::size_t, ReadOutcome&& got) { answer = got; }, {});
    return answer.kind == ReadOutcome::Kind::info ? std::stoi(answer.message) : -1;
}

// Readers are kept for the next pool of the same program and limit; one that ended
// while kept costs no file, and a copy of this process made by fork starts its own.
TEST(reader_pool, readers_are_kept_for_the_next_pool)
{
    constexpr std::size_t other_memory = memory + (1U << 20U);  // no other test's
    const pid_t first = reader_of("a", other_memory);
    ASSERT_GT(first, 0);
    EXPECT_EQ(reader_of("b", other_memory), first);
    kill(first, SIGKILL);
    std::this_thread::sleep_for(50ms);
    const pid_t second = reader_of("c", other_memory);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    // A copy made by fork starts its own, and keeps those in turn.
    const auto in_a_fork = [&] {
        const pid_t own = reader_of("d", other_memory);
        std::_Exit(own > 0 && own != second && reader_of("d", other_memory) == own ? 0 : 1);
    };
    EXPECT_EXIT(in_a_fork(), testing::ExitedWithCode(0), "");
    EXPECT_EQ(reader_of("e", other_memory), second);
}

// A reader that answers what it was not asked is not kept: its next file would get
// an answer that is not its own.
TEST(reader_pool, a_reader_that_speaks_unasked_is_not_kept)
{
    constexpr std::size_t other_memory = memory + (2U << 20U);
    const pid_t first = reader_of("extra", other_memory);
    ASSERT_GT(first, 0);
    std::this_thread::sleep_for(50ms);  // its second answer is on its way
    const pid_t second = reader_of("a", other_memory);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
}

// The time limit is each file's: a reader that has worked past it over many files,
// each well within it, fails none.
TEST(reader_pool, the_time_limit_is_a_file_at_a_time)
{
    const auto outcomes = pool_read({"work-250", "work-251", "work-252", "work-253", "work-254",
                                     "work-255", "work-256", "work-257"},
                                    1, 200ms);
    for (const auto& [word, outcome] : outcomes) {
        EXPECT_EQ(outcome.substr(0, 4), "pcm ") << word << ": " << outcome;
    }
}

// Without a time limit, a reader that works on is left to work.
TEST(reader_pool, no_limit_no_watch)
{
    const Moves files({"hang"});
    ReaderPool pool(fake_reader, 1, memory);
    bool done = false;
    int ticks = 0;
    EXPECT_THROW(pool.read(
                     1, [&](std::size_t) { return open_file(files.paths()[0], true); },
                     info_request(0ms), [&](std::size_t, ReadOutcome&&) { done = true; },
                     [&] {
                         if (++ticks == 5) {
                             throw std::runtime_error("stop");  // after half a second
                         }
                     }),
                 std::runtime_error);
    EXPECT_FALSE(done);
}

// What a reader says on standard error reaches this process's, a line at a time, its
// controls escaped and each line named as the reader's: no terminal title, colour or
// line of this program's own can come of it.
TEST(reader_pool, what_a_reader_says_is_escaped)
{
    testing::internal::CaptureStderr();
    const auto outcomes = pool_read({"escapes"}, 1);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcomes.at("escapes"), "pcm 7 0.000875");
    EXPECT_EQ(said, "musiccore-reader: \\x1B]0;owned\\x07\\x1B[31mred\\x0D\n"
                    "musiccore-reader: musiccore: forged\n");
}

// The real reader: sandboxed, it may open no file, write nowhere but its channel and
// standard error, execute nothing, signal or trace no other process, and change
// nothing of its own bounds.
TEST(reader_pool, the_reader_can_do_nothing_but_read)
{
    ReaderProcess reader(media::detail::reader_program(), memory);
    ReadRequest check;
    check.kind = ReadRequest::Kind::check_sandbox;
    reader.ask(check, {}, std::nullopt);
    const auto answer = reader.answer(5s);
    ASSERT_TRUE(answer);
    std::string expected;
    for (const char* attempt :
         {"open", "openat", "open to write", "mmap executable", "write to descriptor 1", "kill",
          "ptrace", "prctl", "setrlimit", "socket", "execve"}) {
        expected +=
            (expected.empty() ? "" : "; ") + std::string(attempt) + ": Operation not permitted";
    }
    EXPECT_EQ(answer->message, expected);
}

// A reader that runs out of memory says so, whether it ran out reading the file or
// putting its answer into words: 15 MiB of comments in 40 MiB.
TEST(reader_pool, a_reader_out_of_memory_says_so)
{
    if (media::detail::address_sanitized) {
        GTEST_SKIP() << "a sanitized reader has no bound on its memory";
    }
    media::Limits small;
    small.isolated = true;
    small.memory_limit = std::size_t{40} << 20U;
    for (const char* file : {"tags-big.opus"}) {
        try {
            media::read_info(test_files::hostile + file, small);
            ADD_FAILURE() << file << " was read";
        } catch (const media::media_error& e) {
            EXPECT_STREQ(e.what(), "reader exceeded 40 MiB") << file;
        }
    }
}

// The readers this process started, by their ids.
std::vector<pid_t> readers_started()
{
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos || line.find("(musiccore-reade") == std::string::npos) {
            continue;
        }
        char state = 0;
        pid_t parent = 0;
        std::istringstream(line.substr(close + 1)) >> state >> parent;
        if (parent == getpid()) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

// A scan's reader killed by a signal while it reads: that file fails with the
// signal's name, and every other file of the folder is listed.
TEST(reader_pool, a_scan_outlives_its_reader)
{
    const test_files::TempFolder dir("killed");
    for (const char* name : {"a.opus", "b.opus", "c-slow.opus", "d.opus"}) {
        std::filesystem::copy_file(test_files::samples + "short.opus", dir / name);
    }
    std::filesystem::copy_file(test_files::hostile + "slow.opus", dir / "c-slow.opus",
                               std::filesystem::copy_options::overwrite_existing);
    music_library::ScanOptions options;
    options.jobs = 1;
    options.file_time_limit = 0ms;  // only the signal stops it
    bool killed = false;
    options.on_progress = [&](std::size_t done, std::size_t) {
        if (done == 2 && !killed) {
            for (const pid_t reader : readers_started()) {
                kill(reader, SIGSEGV);
                killed = true;
            }
        }
    };
    const auto result = music_library::scan(dir.path(), options);
    EXPECT_TRUE(result.isolated);
    ASSERT_EQ(result.failures.size(), 1U);
    EXPECT_EQ(result.failures[0].path.filename(), "c-slow.opus");
    EXPECT_EQ(result.failures[0].message, "reader crashed: signal 11 (SIGSEGV)");
    EXPECT_EQ(result.tracks.size(), 3U);
}

// Where no reader can be had, a read that asks for isolation fails, and says why: it
// never falls back to reading here. The reader is looked for at absolute paths only.
TEST(reader_pool, without_a_reader_isolation_fails_closed)
{
    const struct {
        const char* reader;
        const char* refusal;
        std::string message;
    } rows[] = {
        {"/nonexistent/musiccore-reader", nullptr,
         "no sandboxed reader: /nonexistent/musiccore-reader is not a program that can be run"},
        {"musiccore-reader", nullptr,
         "no sandboxed reader: MUSICCORE_READER is not an absolute path"},
        {fake_reader.c_str(), "no seccomp here",
         "no sandboxed reader: the reader is not sandboxed: no seccomp here"},
    };
    media::Limits isolated;
    isolated.isolated = true;
    const std::string file = test_files::samples + "short.opus";
    for (const auto& row : rows) {
        setenv("MUSICCORE_READER", row.reader, 1);
        if (row.refusal != nullptr) {
            setenv("MUSICCORE_FAKE_REFUSE", row.refusal, 1);
        }
        try {
            music_library::scan(test_files::music / "a");
            ADD_FAILURE() << row.reader << ": the scan read without a sandbox";
        } catch (const media::media_error& e) {
            EXPECT_EQ(e.what(), row.message);
        }
        try {
            media::read_info(file, isolated);
            ADD_FAILURE() << row.reader << ": read_info read without a sandbox";
        } catch (const media::media_error& e) {
            EXPECT_EQ(e.what(), row.message);
        }
        unsetenv("MUSICCORE_FAKE_REFUSE");
    }
    unsetenv("MUSICCORE_READER");
    // Asked to, it reads here.
    music_library::ScanOptions here;
    here.isolated = false;
    const auto result = music_library::scan(test_files::music / "a", here);
    EXPECT_FALSE(result.isolated);
    EXPECT_EQ(result.tracks.size(), 2U);
}

// A host that blocks or ignores signals passes none of that to its readers, and one
// that ignores SIGCHLD (whose children the system reaps at once) still loses only the
// file whose reader crashed, told that how it ended is not known.
TEST(reader_pool, readers_take_nothing_of_the_hosts_signals)
{
    const auto in_a_host = [] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        std::signal(SIGCHLD, SIG_IGN);
        ReaderProcess reader(media::detail::reader_program(), memory);
        // The standard signals' bits (glibc's own, past them, are its business).
        unsigned long long masks = 0;
        for (const pid_t pid : readers_started()) {
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) {
                    masks |= std::stoull(line.substr(7), nullptr, 16) & 0x7FFFFFFFULL;
                }
            }
        }
        const auto outcomes = pool_read({"crash", "a"}, 1);
        const bool masks_clear = masks == 0;
        const bool told = outcomes.at("crash") ==
                              "reader ended, how is not known (this program ignores SIGCHLD)" &&
                          outcomes.at("a") == "pcm 1 0.000125";
        std::cerr << std::hex << masks << " " << outcomes.at("crash");
        std::_Exit(masks_clear && told ? 0 : 1);
    };
    EXPECT_EXIT(in_a_host(), testing::ExitedWithCode(0), "");
}

}  // namespace
