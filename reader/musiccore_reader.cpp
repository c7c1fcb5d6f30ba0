// musiccore-reader: reads the files the library asks for, one at a time, in a process
// of its own that may do nothing else, not even open a file: each comes as a
// descriptor with its request. Whatever a file does to a format library here, the
// library's process loses only that file.
//
// Started by the library with its channel on descriptor 3 and the memory it may use
// as its one argument, in bytes. Answers each request on the channel, and ends when
// the channel does.
#include <cerrno>      // errno
#include <csignal>     // kill
#include <cstdlib>     // std::strtoull
#include <cstring>     // std::strerror
#include <functional>  // std::function
#include <new>         // std::bad_alloc
#include <stdexcept>   // std::exception
#include <string>      // std::string

#include <fcntl.h>         // open, openat
#include <malloc.h>        // mallopt
#include <sys/mman.h>      // mmap
#include <sys/prctl.h>     // prctl
#include <sys/ptrace.h>    // ptrace
#include <sys/resource.h>  // setrlimit
#include <sys/socket.h>    // socket
#include <unistd.h>        // close_range, execve, write

#include "formats/format_table.hpp"
#include "formats/read_media.hpp"
#include "loudness/measure.hpp"
#include "sandbox/request_channel.hpp"
#include "sandbox/sanitized_reader.hpp"
#include "sandbox/wire.hpp"
#include "seccomp_filter.hpp"

namespace {

using namespace media::detail;

// What the sandbox must refuse, tried: "open: Operation not permitted; ...", or
// "allowed" where it lets a call through.
std::string refusals()
{
    const std::pair<const char*, std::function<long()>> attempts[] = {
        {"open", [] { return ::open("/etc/passwd", O_RDONLY); }},                // NOLINT(*-vararg)
        {"openat", [] { return ::openat(AT_FDCWD, "/etc/passwd", O_RDONLY); }},  // NOLINT(*-vararg)
        {"open to write",
         [] { return ::open("/tmp/musiccore-reader", O_WRONLY | O_CREAT, 0600); }},  // NOLINT
        {"mmap executable",
         [] {
             void* page =
                 mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             return page == MAP_FAILED ? -1L : 0L;
         }},
        {"write to descriptor 1", [] { return ::write(1, "x", 1); }},
        {"kill", [] { return static_cast<long>(::kill(1, 0)); }},
        {"ptrace", [] { return ptrace(PTRACE_PEEKDATA, getpid(), nullptr, nullptr); }},  // NOLINT
        {"prctl", [] { return static_cast<long>(prctl(PR_SET_DUMPABLE, 1)); }},          // NOLINT
        {"setrlimit",
         [] {
             const rlimit none{0, 0};
             return static_cast<long>(setrlimit(RLIMIT_CORE, &none));
         }},
        {"socket", [] { return static_cast<long>(::socket(AF_INET, SOCK_STREAM, 0)); }},
        {"execve",
         [] {
             char path[] = "/bin/true";
             char* const arguments[] = {path, nullptr};
             char* const environment[] = {nullptr};
             return static_cast<long>(::execve(path, arguments, environment));
         }},
    };
    std::string text;
    for (const auto& [name, attempt] : attempts) {
        errno = 0;
        const bool refused = attempt() == -1 && errno != 0;
        text += (text.empty() ? "" : "; ") + std::string(name) + ": " +
                (refused ? std::strerror(errno) : "allowed");
    }
    return text;
}

ReadOutcome outcome_of(const ReadRequest& request, UniqueFd file)
{
    ReadOutcome outcome;
    if (request.kind == ReadRequest::Kind::check_sandbox) {
        outcome.message = refusals();
        return outcome;
    }
    const media::Limits limits{request.work, std::nullopt};
    try {
        if (request.kind == ReadRequest::Kind::loudness) {
            // The work asked is the decode's: the library grew it by the file's length.
            outcome.loudness = measure_opened(opened(std::move(file), false), request.work,
                                              std::nullopt, request.true_peak, request.ranges);
            outcome.kind = ReadOutcome::Kind::loudness;
        } else if (request.kind == ReadRequest::Kind::picture) {
            outcome.picture = read_picture(opened(std::move(file), false), request.picture,
                                           request.picture_max, limits);
            outcome.kind = ReadOutcome::Kind::picture;
        } else {
            outcome.info = read_media(opened(std::move(file), false), limits, nullptr);
            outcome.kind = ReadOutcome::Kind::info;
        }
    } catch (const media::unsupported_format& e) {
        outcome.kind = ReadOutcome::Kind::unsupported;
        outcome.message = e.format();
        outcome.in_ogg = e.in_ogg();
    } catch (const std::bad_alloc&) {
        outcome = ReadOutcome{};
        outcome.kind = ReadOutcome::Kind::out_of_memory;
    } catch (const std::exception& e) {
        outcome.message = e.what();
    }
    return outcome;
}

// The answer's frame. Its encoding may want more memory than is left: then the
// answer says so, in few bytes, once what it would have said is let go.
std::string answer_to(const ReadRequest& request, UniqueFd file)
{
    Answer answer{request.id, outcome_of(request, std::move(file))};
    try {
        return framed(encode(answer));
    } catch (const std::bad_alloc&) {
        answer.outcome = ReadOutcome{};
        answer.outcome.kind = ReadOutcome::Kind::out_of_memory;
        return framed(encode(answer));
    }
}

void limit(int resource, rlim_t soft, rlim_t hard)
{
    const rlimit bound{soft, hard};
    setrlimit(resource, &bound);
}

}  // namespace

int main(int argc, char** argv)
{
    // Nothing of the library's process but the channel and the standard three.
    close_range(reader_channel + 1, ~0U, 0);
    if (argc != 2) {
        return 2;
    }
    bound_address_space(std::strtoull(argv[1], nullptr, 10));
    crash_by_signal();
    limit(RLIMIT_CORE, 0, 0);
    limit(RLIMIT_FSIZE, 0, 0);
    // The files asked ahead come as descriptors: room for them, and no more.
    limit(RLIMIT_NOFILE, max_asked_ahead + 16, max_asked_ahead + 16);
    // SIGXCPU, then SIGKILL: for a library that spins on after the library's process
    // has gone, and with it the watch on each file.
    const auto cpu = static_cast<rlim_t>(reader_cpu_backstop.count());
    limit(RLIMIT_CPU, cpu, cpu + 10);
    // Memory freed after one file is kept for the next: handed back at each file's end,
    // it came back as fresh pages, a fault each, which cost a reader more than its
    // channel does. The address space bound holds all the same.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    prepare_readers();  // what a reader would do the first time, while it still may
    const std::string refusal = allow_only_reading();
    RequestChannel channel(reader_channel);
    if (!channel.send(framed(encode_hello(refusal))) || !refusal.empty()) {
        return 1;
    }
    ReadRequest request;
    UniqueFd file;
    while (channel.next(request, file)) {
        try {
            if (!channel.send(answer_to(request, std::move(file)))) {
                return 1;
            }
        } catch (const std::exception&) {  // not even memory to say so
            return 1;
        }
    }
    return 0;
}
