#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <thread>

#include "io/work_budget.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Spends `span` of this thread's processor time.
void burn(std::chrono::nanoseconds span)
{
    const auto cpu_time = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    const auto until = cpu_time() + span;
    while (cpu_time() < until) {
    }
}

// A budget counts the processor time its thread spends from its start on: neither
// what it spent before nor the time it waits; and it stops the read soon after the
// work runs out, however that work is spread.
TEST(work_budget, counts_processor_time_from_its_start)
{
    using media::detail::WorkBudget;
    burn(60ms);
    WorkBudget budget(100ms, std::nullopt);
    const auto start = Clock::now();
    burn(60ms);
    std::this_thread::sleep_until(start + 110ms);
    EXPECT_EQ(budget.exhausted(), nullptr);
    burn(45ms);
    EXPECT_STREQ(budget.exhausted(), "time limit passed");
}

// The shortest limit is checked too, from the budget's start. (Not under valgrind,
// where the test's own steps take more than a millisecond.)
TEST(work_budget, of_a_millisecond)
{
    burn(20ms);
    media::detail::WorkBudget shortest(1ms, std::nullopt);
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(shortest.exhausted(), nullptr);
    burn(5ms);
    EXPECT_STREQ(shortest.exhausted(), "time limit passed");
}

// Most of a parse's many reads skip the clock, but a spent budget stops the read
// within 16 calls: the first looks, then every sixteenth.
TEST(work_budget, now_and_then_is_soon_enough)
{
    media::detail::WorkBudget spent(0ms, Clock::now() - 1ms);
    EXPECT_STREQ(spent.exhausted_every_few_calls(), "time limit passed");

    media::detail::WorkBudget budget(0ms, Clock::now() + 20ms);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(budget.exhausted_every_few_calls(), nullptr);
    }
    std::this_thread::sleep_for(25ms);
    int calls = 1;
    while (budget.exhausted_every_few_calls() == nullptr) {
        ++calls;
        ASSERT_LE(calls, 16);
    }
    EXPECT_EQ(calls, 12);  // with the five before, the seventeenth call: the second look
}

}  // namespace
