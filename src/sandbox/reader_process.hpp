#pragma once
// One reader process (the musiccore-reader program), seen from the library:
// started with posix_spawn, talked to over a socket pair that never blocks this side,
// watched through /proc, and ended through its pidfd. Whatever it sends is judged
// before it is believed: the process may be a file's by then.

#include <chrono>    // std::chrono::nanoseconds, std::chrono::milliseconds
#include <cstddef>   // std::size_t
#include <cstdint>   // std::uint64_t
#include <deque>     // std::deque
#include <optional>  // std::optional
#include <string>    // std::string
#include <vector>    // std::vector

#include "io/unique_fd.hpp"
#include "sandbox/child_process.hpp"
#include "sandbox/wire.hpp"

namespace media::detail {

// Where the reader program is: $MUSICCORE_READER alone when it is set (an absolute
// path), else beside the running program, or as installed beside it
// (../libexec/musiccore/musiccore-reader), or beside the shared library, or where it
// was to be installed; only ever absolute paths. Throws media_error when it is in
// none of them: "no sandboxed reader: ...".
std::string reader_program();

// "reader exceeded 512 MiB"
std::string memory_exceeded(std::size_t memory_limit);

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

    // To wait on: answers come on the channel, and what the reader says on its
    // standard error comes on `errors` (-1 once that has ended).
    int channel() const { return channel_.get(); }
    int errors() const { return errors_.get(); }

    // Queues `request`, numbered here, with the descriptor of its file (none for a
    // check of the sandbox) of `size` bytes (none: a stream); its answer is judged by
    // both. Sent by pump().
    void ask(ReadRequest request, UniqueFd file, std::optional<std::int64_t> size);
    // Requests not yet answered.
    std::size_t unanswered() const { return expected_.size(); }
    // Whether bytes wait to be sent: the channel is then to be waited on for writing.
    bool sending() const { return !outgoing_.empty(); }
    // Sends what the channel takes; false when the reader is gone.
    bool send();
    // Sends what the channel takes, and adds each whole answer to `outcomes`, in the
    // order asked. False when the reader is done for: ending() says why. An answer that
    // is malformed, too long, out of turn or out of range retires it at once.
    bool pump(std::vector<ReadOutcome>& outcomes);
    // Passes on what the reader said on standard error: each line on this process's,
    // escaped, after "musiccore-reader: ".
    void pass_on_errors();
    // Waits up to `wait` for the next answer; none when the process ended first.
    std::optional<ReadOutcome> answer(std::chrono::milliseconds wait);

    // Whether it waits for a request, as a reader kept between reads must: not gone,
    // asked nothing, and with nothing unasked for on its channel.
    bool waiting() const;
    // Lets go of it without ending it: for a copy of this process made by fork, whose
    // readers are its parent's.
    void disown();

    std::optional<Usage> usage() const;  // none once it is gone
    // Ends it now, for `why`: its channel shut, killed, reaped once gone.
    void retire(const std::string& why);
    // Why it ended: "reader crashed: signal 11 (SIGSEGV)", "reader exceeded 512 MiB",
    // "reader sent a malformed answer", ... Ends it if it has not.
    std::string ending();

private:
    struct Outgoing {
        std::string bytes;
        std::size_t sent = 0;
        std::vector<UniqueFd> files;  // go with the first byte
    };
    struct Expected {
        ReadRequest request;
        std::optional<std::int64_t> size;
    };

    bool alive() const;
    // Appends what the channel holds, up to what the next answer may take and a block
    // (`more`: there may be more); false when the channel has ended.
    bool take_bytes(bool& more);
    std::size_t answer_limit_ahead() const;
    bool take_answers(std::vector<ReadOutcome>& outcomes);
    void say_error_line();

    ChildProcess child_;
    UniqueFd channel_;
    UniqueFd errors_;
    std::size_t memory_limit_;
    std::size_t inherited_peak_ = 0;  // this process's peak memory when the reader began
    std::uint64_t next_id_ = 0;
    std::deque<Outgoing> outgoing_;
    std::deque<Expected> expected_;
    std::string received_;  // bytes of answers not yet whole
    std::string error_line_;
    std::size_t errors_said_ = 0;
    std::optional<std::string> ending_;
};

}  // namespace media::detail
