#pragma once
// A child process, signalled and reaped through its pidfd, so that no other process
// that is given its id later can be reached. Where the system has no pidfds (valgrind
// does not know the calls), through its id, which is safe while it is not reaped:
// only this class reaps it.

#include <chrono>    // std::chrono::milliseconds
#include <optional>  // std::optional

#include <csignal>         // siginfo_t
#include <sys/resource.h>  // rusage
#include <sys/types.h>     // pid_t

#include "io/unique_fd.hpp"

namespace media::detail {

class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(pid_t pid);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess() = default;  // neither kills nor reaps: see kill() and reap()

    pid_t pid() const { return pid_; }
    explicit operator bool() const { return pid_ > 0; }

    // Whether it has ended; true too once it is reaped.
    bool ended() const;
    // Waits up to `wait` for it to end; whether it did.
    bool wait_for_end(std::chrono::milliseconds wait) const;
    void kill() const;

    // How it ended, reaping it: what waitid says and what it spent, or none when it
    // was reaped by the system (a host that ignores SIGCHLD). Call once it has ended.
    struct Ending {
        std::optional<siginfo_t> status;
        rusage spent{};
    };
    Ending reap();
    // Reaps it if it has ended; whether it is gone.
    bool reap_if_ended();
    // Lets go of it: a copy made by fork, whose child this is not.
    void forget();

private:
    pid_t pid_ = -1;
    UniqueFd pidfd_;
};

// Kills `child` and reaps it now, or once it ends: at a later call of this or of
// reap_the_gone(), which a reader's start calls.
void kill_and_reap(ChildProcess child);
void reap_the_gone();

}  // namespace media::detail
