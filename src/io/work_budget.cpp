#include "io/work_budget.hpp"

#include <ctime>  // clock_gettime, CLOCK_THREAD_CPUTIME_ID

namespace media::detail {

namespace {

Clock::duration thread_cpu_time()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(now.tv_sec) +
                                                       std::chrono::nanoseconds(now.tv_nsec));
}

// `from` plus `span`, or the clock's end when that is too far to add.
Clock::time_point later(Clock::time_point from, std::chrono::milliseconds span)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - from);
    return span < left ? from + span : Clock::time_point::max();
}

}  // namespace

WorkBudget::WorkBudget(std::chrono::milliseconds work, Deadline deadline, Heartbeat* heartbeat)
    : work_(work), deadline_(deadline), heartbeat_(heartbeat),
      cpu_start_(work.count() > 0 ? thread_cpu_time() : Clock::duration{}),
      next_cpu_check_(later(start_, work))
{
}

const char* WorkBudget::exhausted()
{
    const auto now = Clock::now();
    if (heartbeat_ != nullptr) {
        heartbeat_->store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }
    if (deadline_ && now >= *deadline_) {
        return "time limit passed";
    }
    if (work_.count() > 0 && now >= next_cpu_check_) {
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(thread_cpu_time() - cpu_start_);
        if (spent >= work_) {
            return "time limit passed";
        }
        next_cpu_check_ = later(now, work_ - spent);
    }
    return nullptr;
}

const char* WorkBudget::exhausted_every_few_calls()
{
    constexpr unsigned skipped = 15;
    if (calls_to_skip_ > 0) {
        --calls_to_skip_;
        return nullptr;
    }
    calls_to_skip_ = skipped;
    return exhausted();
}

}  // namespace media::detail
