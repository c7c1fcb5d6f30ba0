#include "sandbox/reader_process.hpp"

#include <array>     // std::array
#include <cerrno>    // errno
#include <csignal>   // SIGKILL
#include <cstdlib>   // std::getenv
#include <cstring>   // std::strerror, sigabbrev_np
#include <fstream>   // std::ifstream
#include <iostream>  // std::cerr
#include <mutex>     // std::mutex
#include <sstream>   // std::istringstream
#include <string>    // std::string
#include <thread>    // std::this_thread::sleep_for
#include <vector>    // std::vector

#include <dlfcn.h>         // dladdr
#include <fcntl.h>         // O_RDONLY
#include <poll.h>          // poll
#include <spawn.h>         // posix_spawn
#include <sys/resource.h>  // rusage
#include <sys/socket.h>    // socketpair, send
#include <sys/wait.h>      // wait4
#include <unistd.h>        // close, sysconf

#include "sandbox/sanitized_reader.hpp"
#include "sandbox/seccomp_filter.hpp"

namespace media::detail {

namespace {

using Clock = std::chrono::steady_clock;

// How long a reader may take to start and say it is sandboxed.
constexpr std::chrono::milliseconds start_limit{10000};

std::string directory_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool executable(const std::string& path)
{
    return access(path.c_str(), X_OK) == 0;
}

// Processes killed but not yet gone (a read the system has not let go of): reaped
// when they are, at the next start or end of a reader.
struct Unreaped {
    std::mutex mutex;
    std::vector<pid_t> pids;
};

Unreaped& unreaped()
{
    static Unreaped processes;
    return processes;
}

void reap_the_gone()
{
    auto& [mutex, pids] = unreaped();
    const std::lock_guard<std::mutex> lock(mutex);
    for (auto it = pids.begin(); it != pids.end();) {
        int status = 0;
        it = waitpid(*it, &status, WNOHANG) == 0 ? it + 1 : pids.erase(it);
    }
}

std::string signal_name(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    return "signal " + std::to_string(signal) +
           (abbreviation != nullptr ? std::string(" (SIG") + abbreviation + ")" : "");
}

// Writes all of `bytes`, without SIGPIPE when the reader is gone.
bool send_all(int channel, const std::string& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t put = ::send(channel, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (put < 0 && errno != EINTR) {
            return false;
        }
        at += put > 0 ? static_cast<std::size_t>(put) : 0;
    }
    return true;
}

// What of this process's environment a reader gets: where libraries are, the
// sanitizers' options, the library's own; never a library to preload into it.
std::vector<char*> reader_environment()
{
    std::vector<char*> kept;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view entry = *variable;
        for (const std::string_view name : {"LD_LIBRARY_PATH=", "ASAN_OPTIONS=", "UBSAN_OPTIONS=",
                                            "LSAN_OPTIONS=", "MUSICCORE_"}) {
            if (entry.substr(0, name.size()) == name) {
                kept.push_back(*variable);
                break;
            }
        }
    }
    kept.push_back(nullptr);
    return kept;
}

}  // namespace

std::string memory_exceeded(std::size_t memory_limit)
{
    return "reader exceeded " + std::to_string(memory_limit >> 20U) + " MiB";
}

void say_unsandboxed(const std::string& why)
{
    static std::once_flag said;
    std::call_once(said, [&why] {
        std::cerr << "musiccore: reading files in this process, without a sandbox: " << why << '\n';
    });
}

std::optional<std::string> reader_program()
{
    if (const char* chosen = std::getenv("MUSICCORE_READER")) {
        return executable(chosen) ? std::optional<std::string>(chosen) : std::nullopt;
    }
    // Where it is installed relative to the shared library, then to the program: a
    // package unpacked anywhere, and the build tree, where programs are one folder
    // down from the top as installed ones are in bin/.
    std::vector<std::string> places;
    Dl_info library{};
    if (dladdr(reinterpret_cast<void*>(&reader_program), &library) != 0 &&
        library.dli_fname != nullptr) {
        places.push_back(directory_of(library.dli_fname) + "/" MUSICCORE_READER_FROM_LIBRARY);
    }
    std::array<char, 4096> program{};
    const ssize_t size = readlink("/proc/self/exe", program.data(), program.size() - 1);
    if (size > 0) {
        places.push_back(directory_of(std::string(program.data(), static_cast<std::size_t>(size))) +
                         "/" MUSICCORE_READER_FROM_PROGRAM);
    }
    for (const auto& place : places) {
        const std::string beside = place + "/musiccore-reader";
        if (executable(beside)) {
            return beside;
        }
    }
    if (executable(MUSICCORE_READER_INSTALLED)) {
        return MUSICCORE_READER_INSTALLED;
    }
    return std::nullopt;
}

ReaderProcess::ReaderProcess(const std::string& program, std::size_t memory_limit)
    : memory_limit_(memory_limit)
{
    reap_the_gone();
    std::array<int, 2> ends{-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        throw media_error(std::string("cannot start the reader: ") + std::strerror(errno));
    }
    channel_ = ends[0];
    // Its channel on descriptor 3; standard input and output on /dev/null; standard
    // error shared, for what a sanitizer or the C library says before it dies.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], reader_channel);
    std::string limit = std::to_string(memory_limit);
    std::string name = program;
    char* const arguments[] = {name.data(), limit.data(), nullptr};
    std::vector<char*> environment = reader_environment();
    const int error =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, arguments, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (error != 0) {
        pid_ = -1;
        ::close(channel_);
        throw media_error("cannot start the reader " + program + ": " + std::strerror(error));
    }
    std::string refusal = "it said nothing";
    const auto until = Clock::now() + start_limit;
    bool open = true;
    while (open && (received_.size() < 4 || received_.size() < 4 + frame_length(received_)) &&
           Clock::now() < until) {
        pollfd ready{channel_, POLLIN, 0};
        poll(&ready, 1, 100);
        open = take_bytes();
    }
    if (received_.size() >= 4 && received_.size() >= 4 + frame_length(received_)) {
        try {
            refusal = decode_hello(std::string_view(received_).substr(4, frame_length(received_)));
        } catch (const media_error&) {
            refusal = "it said what is not a greeting";
        }
        received_.erase(0, 4 + frame_length(received_));
    }
    if (!refusal.empty()) {
        kill();
        ::close(channel_);
        channel_ = -1;
        throw media_error("the reader is not sandboxed: " + refusal);
    }
}

ReaderProcess::~ReaderProcess()
{
    if (!ending_) {
        kill();
    }
    if (channel_ >= 0) {
        ::close(channel_);
    }
}

bool ReaderProcess::send(const std::vector<ReadRequest>& requests)
{
    std::string frames;
    for (const ReadRequest& request : requests) {
        frames += framed(encode(request));
    }
    return !ending_ && send_all(channel_, frames);
}

bool ReaderProcess::take_bytes()
{
    // Filled once and kept: a buffer zeroed at every call would cost more than the call.
    thread_local std::vector<char> chunk(65536);
    for (;;) {
        const ssize_t got = ::recv(channel_, chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got > 0) {
            received_.append(chunk.data(), static_cast<std::size_t>(got));
            // A frame's whole length is judged before it is waited for.
            if (received_.size() >= 4 && frame_length(received_) > max_message) {
                malformed_ = true;
                return false;
            }
            if (static_cast<std::size_t>(got) < chunk.size()) {
                return true;  // all there was: no second call to be told so
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

bool ReaderProcess::receive(std::vector<ReadOutcome>& outcomes)
{
    if (ending_ || malformed_) {
        return false;
    }
    const bool open = take_bytes();
    // Whole answers, each judged before it is taken.
    std::size_t at = 0;
    while (!malformed_ && received_.size() - at >= 4) {
        const std::uint32_t size = frame_length(std::string_view(received_).substr(at));
        if (size > max_message) {
            malformed_ = true;
        } else if (received_.size() - at - 4 < std::size_t{size}) {
            break;
        } else {
            try {
                outcomes.push_back(
                    decode_outcome(std::string_view(received_).substr(at + 4, size)));
            } catch (const media_error&) {
                malformed_ = true;
            }
            at += 4 + std::size_t{size};
        }
    }
    received_.erase(0, at);
    return open && !malformed_;
}

std::optional<ReadOutcome> ReaderProcess::answer(std::chrono::milliseconds wait)
{
    std::vector<ReadOutcome> outcomes;
    const auto until = Clock::now() + wait;
    while (outcomes.empty()) {
        if (!receive(outcomes) && outcomes.empty()) {
            return std::nullopt;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (!outcomes.empty() || left.count() <= 0) {
            break;
        }
        pollfd ready{channel_, POLLIN, 0};
        poll(&ready, 1, static_cast<int>(left.count()));
    }
    return outcomes.empty() ? std::nullopt
                            : std::optional<ReadOutcome>(std::move(outcomes.front()));
}

std::optional<ReaderProcess::Usage> ReaderProcess::usage() const
{
    if (ending_) {
        return std::nullopt;
    }
    const std::string proc = "/proc/" + std::to_string(pid_);
    std::ifstream stat_file(proc + "/stat");
    std::string stat;
    if (!std::getline(stat_file, stat)) {
        return std::nullopt;
    }
    // Past the name in parentheses, which may hold anything: the state is field 3,
    // user and system time fields 14 and 15.
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string field;
    unsigned long long ticks_spent = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        ticks_spent += i >= 14 ? std::stoull(field) : 0;
    }
    static const long ticks = sysconf(_SC_CLK_TCK);
    Usage usage;
    usage.cpu = std::chrono::nanoseconds(ticks_spent * 1000000000ULL /
                                         static_cast<unsigned long long>(ticks));
    std::ifstream io(proc + "/io");
    for (std::string name; io >> name >> field;) {
        if (name == "rchar:") {
            usage.bytes_read = std::stoull(field);
        }
    }
    return usage;
}

bool ReaderProcess::waiting() const
{
    if (ending_ || malformed_ || !received_.empty()) {
        return false;
    }
    char byte = 0;
    return ::recv(channel_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
           (errno == EAGAIN || errno == EWOULDBLOCK);
}

void ReaderProcess::disown()
{
    ::close(channel_);
    channel_ = -1;
    pid_ = -1;
    ending_ = "disowned";
}

void ReaderProcess::kill()
{
    if (pid_ < 0 || ending_) {
        return;
    }
    ::kill(pid_, SIGKILL);
    ending();
}

std::string ReaderProcess::ending()
{
    if (ending_) {
        return *ending_;
    }
    if (pid_ < 0) {
        return *(ending_ = "reader did not start");
    }
    if (!malformed_) {
        // Give a process that is ending a moment to be gone.
        ::shutdown(channel_, SHUT_RDWR);
    }
    int status = 0;
    rusage spent{};
    pid_t gone = 0;
    for (int tries = 0; tries < 100 && (gone = wait4(pid_, &status, WNOHANG, &spent)) == 0;
         ++tries) {
        if (tries == 50) {
            ::kill(pid_, SIGKILL);  // still there: no answer will come
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (gone == 0) {
        ::kill(pid_, SIGKILL);
        auto& [mutex, pids] = unreaped();
        const std::lock_guard<std::mutex> lock(mutex);
        pids.push_back(pid_);
        return *(ending_ = "reader did not end");
    }
    const auto peak = static_cast<std::size_t>(spent.ru_maxrss) * 1024;
    if (malformed_) {
        ending_ = "reader sent a malformed answer";
    } else if (WIFSIGNALED(status) && !address_sanitized && peak >= memory_limit_ / 4 * 3) {
        ending_ = memory_exceeded(memory_limit_);
    } else if (WIFSIGNALED(status)) {
        ending_ = "reader crashed: " + signal_name(WTERMSIG(status));
    } else {
        ending_ = "reader ended with status " + std::to_string(WEXITSTATUS(status));
    }
    return *ending_;
}

}  // namespace media::detail
