#include "sandbox/child_process.hpp"

#include <cerrno>   // errno
#include <mutex>    // std::mutex
#include <thread>   // std::this_thread::sleep_for
#include <utility>  // std::exchange
#include <vector>   // std::vector

#include <poll.h>         // poll
#include <sys/syscall.h>  // SYS_waitid, SYS_pidfd_open, SYS_pidfd_send_signal
#include <sys/wait.h>     // P_PIDFD, WEXITED
#include <unistd.h>       // syscall

namespace media::detail {

namespace {

using Clock = std::chrono::steady_clock;

// The system call, not glibc's waitid: it also gives what the process spent.
long wait_id(idtype_t type, int id, siginfo_t& info, int options, rusage* spent)
{
    info = siginfo_t{};
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    return syscall(SYS_waitid, type, id, &info, options | WNOHANG, spent);
}

}  // namespace

// Through the system calls: glibc 2.36 declares its wrappers without C linkage.
ChildProcess::ChildProcess(pid_t pid)
    : pid_(pid), pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)))  // NOLINT(*-vararg)
{
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_))
{
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::move(other.pidfd_);
    return *this;
}

bool ChildProcess::ended() const
{
    if (pid_ <= 0) {
        return true;
    }
    if (pidfd_) {
        pollfd gone{pidfd_.get(), POLLIN, 0};
        return poll(&gone, 1, 0) != 0;
    }
    siginfo_t info{};
    return wait_id(P_PID, pid_, info, WEXITED | WNOWAIT, nullptr) < 0 || info.si_pid != 0;
}

bool ChildProcess::wait_for_end(std::chrono::milliseconds wait) const
{
    const auto until = Clock::now() + wait;
    while (!ended()) {
        if (Clock::now() >= until) {
            return false;
        }
        if (pidfd_) {
            pollfd gone{pidfd_.get(), POLLIN, 0};
            poll(&gone, 1, 10);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}

void ChildProcess::kill() const
{
    if (pidfd_) {
        syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0);  // NOLINT(*-vararg)
    } else if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
    }
}

ChildProcess::Ending ChildProcess::reap()
{
    Ending ending;
    siginfo_t info{};
    const long got = pidfd_ ? wait_id(P_PIDFD, pidfd_.get(), info, WEXITED, &ending.spent)
                            : wait_id(P_PID, pid_, info, WEXITED, &ending.spent);
    if (got == 0 && info.si_pid != 0) {
        ending.status = info;
    }
    forget();
    return ending;
}

bool ChildProcess::reap_if_ended()
{
    if (!ended()) {
        return false;
    }
    reap();
    return true;
}

void ChildProcess::forget()
{
    pid_ = -1;
    pidfd_.reset();
}

namespace {

struct Unreaped {
    std::mutex mutex;
    std::vector<ChildProcess> children;
};

Unreaped& unreaped()
{
    static Unreaped processes;
    return processes;
}

}  // namespace

void kill_and_reap(ChildProcess child)
{
    child.kill();
    if (!child.reap_if_ended()) {
        auto& [mutex, children] = unreaped();
        const std::lock_guard<std::mutex> lock(mutex);
        children.push_back(std::move(child));
    }
}

void reap_the_gone()
{
    auto& [mutex, children] = unreaped();
    const std::lock_guard<std::mutex> lock(mutex);
    for (auto it = children.begin(); it != children.end();) {
        it = it->reap_if_ended() ? children.erase(it) : it + 1;
    }
}

}  // namespace media::detail
