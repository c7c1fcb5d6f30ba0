#pragma once
// One reader process (sandbox/reader_main.cpp), seen from the library: started with
// posix_spawn, talked to over a socket pair, watched through /proc, and ended.

#include <chrono>    // std::chrono::nanoseconds, std::chrono::milliseconds
#include <cstddef>   // std::size_t
#include <cstdint>   // std::uint64_t
#include <optional>  // std::optional
#include <string>    // std::string
#include <vector>    // std::vector

#include <sys/types.h>  // pid_t

#include "sandbox/wire.hpp"

namespace media::detail {

// Where the reader program is: $MUSICCORE_READER, else beside the library or the
// program as installed (../libexec/musiccore/musiccore-reader), else where it was to
// be installed; none when it is nowhere.
std::optional<std::string> reader_program();

// "reader exceeded 512 MiB"
std::string memory_exceeded(std::size_t memory_limit);

// Says once on standard error that files are read in this process, and why.
void say_unsandboxed(const std::string& why);

class ReaderProcess {
public:
    // What the process has spent so far.
    struct Usage {
        std::chrono::nanoseconds cpu{0};
        std::uint64_t bytes_read = 0;  // by its read calls
    };

    // Starts `program` under `memory_limit` bytes of address space and waits for it
    // to say it is sandboxed. Throws media_error when it cannot start, or is not
    // sandboxed ("the reader is not sandboxed: seccomp_load: Invalid argument").
    ReaderProcess(const std::string& program, std::size_t memory_limit);
    ReaderProcess(const ReaderProcess&) = delete;
    ReaderProcess& operator=(const ReaderProcess&) = delete;
    ReaderProcess(ReaderProcess&&) = delete;
    ReaderProcess& operator=(ReaderProcess&&) = delete;
    ~ReaderProcess();  // ends it

    int channel() const { return channel_; }

    // Asks the files in order; false when the process is gone.
    bool send(const std::vector<ReadRequest>& requests);
    // Takes what the channel holds, adding each whole answer to `outcomes`. False
    // when the process has ended or sent what is not an answer: then ending() says
    // why.
    bool receive(std::vector<ReadOutcome>& outcomes);
    // Waits up to `wait` for the next answer; none when the process ended first.
    std::optional<ReadOutcome> answer(std::chrono::milliseconds wait);

    // Whether it waits for a request, as a reader kept between reads must: not gone,
    // and with nothing unasked for on its channel.
    bool waiting() const;
    // Lets go of it without ending it: for a copy of this process made by fork, whose
    // readers are its parent's.
    void disown();

    std::optional<Usage> usage() const;  // none once it is gone
    // Ends it now: killed, and reaped if it goes.
    void kill();
    // Why it ended: "reader crashed: signal 11 (SIGSEGV)", "reader exceeded 512 MiB",
    // "reader sent a malformed answer", ... Ends it if it has not.
    std::string ending();

private:
    // Appends what the channel holds; false when it has ended, or a frame is too long.
    bool take_bytes();

    pid_t pid_ = -1;
    int channel_ = -1;
    std::size_t memory_limit_;
    std::string received_;  // bytes of answers not yet whole
    bool malformed_ = false;
    std::optional<std::string> ending_;
};

}  // namespace media::detail
