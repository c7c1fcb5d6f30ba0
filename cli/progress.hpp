#pragma once
// A progress line on a terminal's standard error.

#include <chrono>   // std::chrono::steady_clock
#include <cstddef>  // std::size_t
#include <ostream>  // std::ostream

namespace cli {

// Draws "[=====     ] 120/1000 files, 850 files/s, 1 s left" over itself on `err`,
// and clears it when it goes. Draws nothing unless `enabled`.
class ProgressBar {
public:
    ProgressBar(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {}
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    void operator()(std::size_t done, std::size_t total);

private:
    std::ostream& err_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace cli
