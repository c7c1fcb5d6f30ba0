#pragma once
// How long one file's read may go on.

#include <atomic>    // std::atomic
#include <chrono>    // std::chrono::steady_clock, std::chrono::milliseconds
#include <cstdint>   // std::int64_t
#include <optional>  // std::optional

namespace media::detail {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Where a reading thread shows that it is still moving: the steady clock's count at
// its latest read. A watcher that sees no change for long knows the thread is stuck.
using Heartbeat = std::atomic<std::int64_t>;

// The limits of one file's read, checked as it reads: the processor time
// that the reading thread spends on it (zero: none), and a wall-clock deadline.
// Processor time is fair: files that share the cores do not fail one another.
class WorkBudget {
public:
    WorkBudget(std::chrono::milliseconds work, Deadline deadline, Heartbeat* heartbeat = nullptr);

    // Null while the read may go on; otherwise why it must stop.
    const char* exhausted();
    // The same for the many small reads of a parse from what is buffered, such as a
    // walk of every MPEG frame: the clock is read at one call in 16 only, for it cost
    // a third of such a walk. A parse that spins is stopped all the same, 15 reads
    // later at most.
    const char* exhausted_every_few_calls();

private:
    std::chrono::milliseconds work_;
    Deadline deadline_;
    Heartbeat* heartbeat_;
    Clock::time_point start_ = Clock::now();
    Clock::duration cpu_start_{};
    // A thread cannot spend more processor time than passes on the clock, so its
    // own (costly) clock is read only once the work could have run out.
    Clock::time_point next_cpu_check_;
    unsigned calls_to_skip_ = 0;
};

}  // namespace media::detail
