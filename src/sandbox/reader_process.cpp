#include "sandbox/reader_process.hpp"

#include <algorithm>  // std::max
#include <array>      // std::array
#include <cerrno>     // errno
#include <csignal>    // SIGKILL, sigset_t
#include <cstdlib>    // secure_getenv
#include <cstring>    // std::strerror, sigabbrev_np, std::memcpy
#include <fstream>    // std::ifstream
#include <iostream>   // std::cerr
#include <mutex>      // std::mutex
#include <sstream>    // std::istringstream

#include <dlfcn.h>         // dladdr
#include <fcntl.h>         // O_*, fcntl
#include <poll.h>          // poll
#include <spawn.h>         // posix_spawn
#include <sys/random.h>    // getrandom
#include <sys/resource.h>  // getrusage, rusage
#include <sys/socket.h>    // socketpair, sendmsg, recv
#include <sys/wait.h>      // CLD_KILLED
#include <unistd.h>        // pipe2, sysconf, access

#include "sandbox/child_process.hpp"
#include "sandbox/sanitized_reader.hpp"

namespace media::detail {

namespace {

using Clock = std::chrono::steady_clock;

// How long a reader may take to start and say it is sandboxed, and to be gone once
// its channel has ended.
constexpr std::chrono::milliseconds start_limit{10000};
constexpr std::chrono::milliseconds end_limit{2000};
// What a reader may say on standard error, at most, and in one line.
constexpr std::size_t max_error_text = std::size_t{64} << 10U;
constexpr std::size_t max_error_line = 1024;

std::string directory_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool executable(const std::string& path)
{
    return path.size() > 1 && path.front() == '/' && access(path.c_str(), X_OK) == 0;
}

std::string signal_name(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    return "signal " + std::to_string(signal) +
           (abbreviation != nullptr ? std::string(" (SIG") + abbreviation + ")" : "");
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

// posix_spawn's attributes and file actions, released on every path.
class Spawn {
public:
    Spawn()
    {
        posix_spawnattr_init(&attributes_);
        posix_spawn_file_actions_init(&actions_);
        // Nothing of this process's signal handling: a host that blocks or ignores a
        // signal does not make its readers do so.
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    Spawn(const Spawn&) = delete;
    Spawn& operator=(const Spawn&) = delete;
    Spawn(Spawn&&) = delete;
    Spawn& operator=(Spawn&&) = delete;
    ~Spawn()
    {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }

    // Its channel on descriptor 3, standard error on `errors`, standard input and
    // output on /dev/null.
    pid_t start(const std::string& program, std::size_t memory_limit, int channel, int errors)
    {
        posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions_, errors, 2);
        posix_spawn_file_actions_adddup2(&actions_, channel, reader_channel);
        std::string limit = std::to_string(memory_limit);
        std::string name = program;
        char* const arguments[] = {name.data(), limit.data(), nullptr};
        std::vector<char*> environment = reader_environment();
        pid_t pid = -1;
        const int error = posix_spawn(&pid, program.c_str(), &actions_, &attributes_, arguments,
                                      environment.data());
        if (error != 0) {
            throw media_error("cannot start the reader " + program + ": " + std::strerror(error));
        }
        return pid;
    }

private:
    posix_spawnattr_t attributes_{};
    posix_spawn_file_actions_t actions_{};
};

void set_non_blocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);  // NOLINT(*-pro-type-vararg)
}

// A first request number that a reader cannot guess without reading a request.
std::uint64_t random_number()
{
    std::uint64_t number = 0;
    if (getrandom(&number, sizeof number, 0) != sizeof number) {
        number = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    }
    return number;
}

// What a reader said on standard error, safe for a terminal and a journal: controls and
// bytes past ASCII as \xHH.
std::string escaped(const std::string& line)
{
    std::string text;
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            text += "\\x";
            text += "0123456789ABCDEF"[byte >> 4U];
            text += "0123456789ABCDEF"[byte & 0xFU];
        }
    }
    return text;
}

}  // namespace

std::string memory_exceeded(std::size_t memory_limit)
{
    return "reader exceeded " + std::to_string(memory_limit >> 20U) + " MiB";
}

std::string reader_program()
{
    // Named by whoever started this program: then nowhere else.
    if (const char* chosen = secure_getenv("MUSICCORE_READER")) {
        if (*chosen != '/') {
            throw media_error("no sandboxed reader: MUSICCORE_READER is not an absolute path");
        }
        if (!executable(chosen)) {
            throw media_error(std::string("no sandboxed reader: ") + chosen +
                              " is not a program that can be run");
        }
        return chosen;
    }
    // Beside the program, or where it is installed relative to the program or the
    // shared library: a package unpacked anywhere, and the build tree, where programs
    // are one folder down from the top as installed ones are in bin/. Never a path
    // relative to the working folder: a static build's own name may be one.
    std::vector<std::string> places;
    std::array<char, 4096> program{};
    const ssize_t size = readlink("/proc/self/exe", program.data(), program.size() - 1);
    if (size > 0) {
        const std::string folder =
            directory_of(std::string(program.data(), static_cast<std::size_t>(size)));
        places.push_back(folder);
        places.push_back(folder + "/" MUSICCORE_READER_FROM_PROGRAM);
    }
    Dl_info library{};
    if (dladdr(reinterpret_cast<void*>(&memory_exceeded), &library) != 0 &&
        library.dli_fname != nullptr && *library.dli_fname == '/') {
        places.push_back(directory_of(library.dli_fname) + "/" MUSICCORE_READER_FROM_LIBRARY);
    }
    places.push_back(directory_of(MUSICCORE_READER_INSTALLED));
    std::string looked;
    for (const auto& place : places) {
        std::string beside = place + "/musiccore-reader";
        if (executable(beside)) {
            return beside;
        }
        looked += (looked.empty() ? "" : ", ") + beside;
    }
    throw media_error("no sandboxed reader: none of " + looked);
}

ReaderProcess::ReaderProcess(const std::string& program, std::size_t memory_limit)
    : memory_limit_(memory_limit), next_id_(random_number())
{
    reap_the_gone();
    std::array<int, 2> ends{-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        throw media_error(std::string("cannot start the reader: ") + std::strerror(errno));
    }
    channel_.reset(ends[0]);
    UniqueFd their_channel(ends[1]);
    if (pipe2(ends.data(), O_CLOEXEC) != 0) {
        throw media_error(std::string("cannot start the reader: ") + std::strerror(errno));
    }
    errors_.reset(ends[0]);
    UniqueFd their_errors(ends[1]);
    set_non_blocking(channel_.get());
    set_non_blocking(errors_.get());
    // A child started by posix_spawn shares this process's memory until its exec, so
    // the peak that the system later reports for it is this process's at least.
    rusage own{};
    getrusage(RUSAGE_SELF, &own);
    inherited_peak_ = static_cast<std::size_t>(own.ru_maxrss) * 1024;
    child_ =
        ChildProcess(Spawn().start(program, memory_limit, their_channel.get(), their_errors.get()));
    their_channel.reset();
    their_errors.reset();
    // Its greeting: whether it is sandboxed.
    std::string refusal = "it said nothing";
    const auto until = Clock::now() + start_limit;
    bool open = true;
    while (open && (received_.size() < 4 || received_.size() < 4 + frame_length(received_)) &&
           frame_length(received_) <= max_request && Clock::now() < until) {
        std::array<pollfd, 2> ready{{{channel(), POLLIN, 0}, {errors(), POLLIN, 0}}};
        poll(ready.data(), ready.size(), 100);
        pass_on_errors();
        char chunk[256];
        const ssize_t got = ::recv(channel(), chunk, sizeof chunk, MSG_DONTWAIT);
        open = got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
        received_.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    if (received_.size() >= 4 && frame_length(received_) <= max_request &&
        received_.size() >= 4 + frame_length(received_)) {
        try {
            refusal = decode_hello(std::string_view(received_).substr(4, frame_length(received_)));
        } catch (const media_error&) {
            refusal = "it said what is not a greeting";
        }
        received_.erase(0, 4 + frame_length(received_));
    }
    if (!refusal.empty() || !received_.empty()) {
        retire("not sandboxed");
        throw media_error("the reader is not sandboxed: " +
                          (refusal.empty() ? std::string("it said more than hello") : refusal));
    }
}

ReaderProcess::~ReaderProcess()
{
    if (!ending_) {
        retire("ended");
    }
}

void ReaderProcess::ask(ReadRequest request, UniqueFd file, std::optional<std::int64_t> size)
{
    request.id = next_id_++;
    std::string frame = framed(encode(request));
    // Requests asked together go in one message, their descriptors with them.
    if (outgoing_.empty() || outgoing_.back().sent > 0 ||
        outgoing_.back().files.size() >= max_files_a_message) {
        outgoing_.emplace_back();
    }
    Outgoing& message = outgoing_.back();
    message.bytes += frame;
    if (file) {
        message.files.push_back(std::move(file));
    }
    expected_.push_back({request, size});
}

bool ReaderProcess::send()
{
    while (!outgoing_.empty()) {
        Outgoing& message = outgoing_.front();
        iovec bytes{message.bytes.data() + message.sent, message.bytes.size() - message.sent};
        msghdr header{};
        header.msg_iov = &bytes;
        header.msg_iovlen = 1;
        std::vector<char> control;
        if (!message.files.empty()) {
            control.resize(CMSG_SPACE(sizeof(int) * message.files.size()));
            header.msg_control = control.data();
            header.msg_controllen = control.size();
            cmsghdr* rights = CMSG_FIRSTHDR(&header);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(sizeof(int) * message.files.size());
            for (std::size_t i = 0; i < message.files.size(); ++i) {
                const int fd = message.files[i].get();
                std::memcpy(CMSG_DATA(rights) + i * sizeof(int), &fd, sizeof fd);
            }
        }
        const ssize_t sent = ::sendmsg(channel(), &header, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        // The descriptors went with the first byte: the reader holds them now.
        message.files.clear();
        message.sent += static_cast<std::size_t>(sent);
        if (message.sent == message.bytes.size()) {
            outgoing_.pop_front();
        }
    }
    return true;
}

bool ReaderProcess::take_bytes(bool& more)
{
    // Filled once and kept: a buffer zeroed at every call would cost more than the call.
    thread_local std::vector<char> chunk(65536);
    more = false;
    for (;;) {
        const ssize_t got = ::recv(channel(), chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got > 0) {
            received_.append(chunk.data(), static_cast<std::size_t>(got));
            if (static_cast<std::size_t>(got) < chunk.size()) {
                return true;  // all there was: no second call to be told so
            }
            if (received_.size() >= answer_limit_ahead()) {
                more = true;  // all that is judged at once
                return true;
            }
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
}

std::size_t ReaderProcess::answer_limit_ahead() const
{
    // The first answer's whole length and another block: a longer one is judged by
    // its header before more of it is taken.
    return expected_.empty()
               ? 4
               : std::size_t{answer_limit(expected_.front().request, expected_.front().size)} +
                     65536;
}

bool ReaderProcess::take_answers(std::vector<ReadOutcome>& outcomes)
{
    std::size_t at = 0;
    while (received_.size() - at >= 4) {
        if (expected_.empty()) {
            retire("reader sent an answer out of turn");
            return false;
        }
        const Expected& asked = expected_.front();
        const std::uint32_t size = frame_length(std::string_view(received_).substr(at));
        if (size > answer_limit(asked.request, asked.size)) {
            retire("reader sent an answer too long for its file");
            return false;
        }
        if (received_.size() - at - 4 < std::size_t{size}) {
            break;
        }
        Answer answer;
        try {
            answer = decode_answer(std::string_view(received_).substr(at + 4, size));
        } catch (const media_error&) {
            retire("reader sent a malformed answer");
            return false;
        }
        if (answer.id != asked.request.id) {
            retire("reader sent an answer out of turn");
            return false;
        }
        if (const std::string problem = answer_problem(asked.request, asked.size, answer.outcome);
            !problem.empty()) {
            retire("reader sent an answer out of range: " + problem);
            return false;
        }
        outcomes.push_back(std::move(answer.outcome));
        expected_.pop_front();
        at += 4 + std::size_t{size};
    }
    received_.erase(0, at);
    return true;
}

bool ReaderProcess::pump(std::vector<ReadOutcome>& outcomes)
{
    if (ending_) {
        return false;
    }
    // A reader that ended, so that nothing more can be sent, may have answered before:
    // those answers are taken first, for the end is the next file's, not theirs.
    const bool sent = send();
    // Answers as they come, each judged before the next is read: a reader cannot make
    // this process hold more than its answer to the file it reads may take.
    bool open = true;
    for (bool more = true; open && more;) {
        open = take_bytes(more);
        if (!take_answers(outcomes)) {
            return false;
        }
    }
    return sent && open && !ending_;
}

std::optional<ReadOutcome> ReaderProcess::answer(std::chrono::milliseconds wait)
{
    std::vector<ReadOutcome> outcomes;
    const auto until = Clock::now() + wait;
    while (outcomes.empty()) {
        const bool alive = pump(outcomes);
        pass_on_errors();
        if (!alive && outcomes.empty()) {
            return std::nullopt;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (!outcomes.empty() || left.count() <= 0) {
            break;
        }
        std::array<pollfd, 2> ready{
            {{channel(), static_cast<short>(POLLIN | (sending() ? POLLOUT : 0)), 0},
             {errors(), POLLIN, 0}}};
        poll(ready.data(), ready.size(), static_cast<int>(left.count()));
    }
    return outcomes.empty() ? std::nullopt
                            : std::optional<ReadOutcome>(std::move(outcomes.front()));
}

void ReaderProcess::pass_on_errors()
{
    if (!errors_) {
        return;
    }
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t got = ::read(errors(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                say_error_line();
                errors_.reset();  // it ended: nothing more to wait for
            }
            return;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[static_cast<std::size_t>(i)] == '\n') {
                say_error_line();
            } else if (error_line_.size() < max_error_line) {
                error_line_ += chunk[static_cast<std::size_t>(i)];
            }
        }
    }
}

void ReaderProcess::say_error_line()
{
    if (error_line_.empty()) {
        return;
    }
    if (errors_said_ < max_error_text) {
        std::cerr << "musiccore-reader: " << escaped(error_line_) << '\n';
    } else if (errors_said_ != static_cast<std::size_t>(-1)) {
        std::cerr << "musiccore-reader: (what it said more is left out)\n";
        errors_said_ = static_cast<std::size_t>(-1);
    }
    if (errors_said_ != static_cast<std::size_t>(-1)) {
        errors_said_ += error_line_.size();
    }
    error_line_.clear();
}

bool ReaderProcess::alive() const
{
    return !child_.ended();
}

std::optional<ReaderProcess::Usage> ReaderProcess::usage() const
{
    if (ending_ || !alive()) {
        return std::nullopt;
    }
    const std::string proc = "/proc/" + std::to_string(child_.pid());
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
    // Read while it still lived: the numbers are its, not a later process's of its id.
    return alive() ? std::optional<Usage>(usage) : std::nullopt;
}

bool ReaderProcess::waiting() const
{
    if (ending_ || !received_.empty() || !expected_.empty() || !outgoing_.empty() || !alive()) {
        return false;
    }
    char byte = 0;
    return ::recv(channel(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
           (errno == EAGAIN || errno == EWOULDBLOCK);
}

void ReaderProcess::disown()
{
    channel_.reset();
    errors_.reset();
    child_.forget();
    ending_ = "disowned";
}

void ReaderProcess::retire(const std::string& why)
{
    if (ending_) {
        return;
    }
    ending_ = why;
    if (child_) {
        ::shutdown(channel(), SHUT_RDWR);
        kill_and_reap(std::move(child_));
    }
}

std::string ReaderProcess::ending()
{
    if (ending_) {
        return *ending_;
    }
    pass_on_errors();
    // Its channel ended: the process is ending, or says so and goes on.
    if (!child_.wait_for_end(end_limit)) {
        retire("reader ended its channel but not itself");
        return *ending_;
    }
    const ChildProcess::Ending ended = child_.reap();
    pass_on_errors();
    const siginfo_t status = ended.status.value_or(siginfo_t{});
    const auto peak = static_cast<std::size_t>(ended.spent.ru_maxrss) * 1024;
    const bool signalled = status.si_code == CLD_KILLED || status.si_code == CLD_DUMPED;
    if (!ended.status) {
        ending_ = "reader ended, how is not known (this program ignores SIGCHLD)";
    } else if (signalled && !address_sanitized && peak >= memory_limit_ / 4 * 3 &&
               peak > inherited_peak_) {
        ending_ = memory_exceeded(memory_limit_);
    } else if (signalled && status.si_status == SIGXCPU) {
        ending_ = "reader ran out of processor time";
    } else if (signalled) {
        ending_ = "reader crashed: " + signal_name(status.si_status);
    } else {
        ending_ = "reader ended with status " + std::to_string(status.si_status);
    }
    return *ending_;
}

}  // namespace media::detail
