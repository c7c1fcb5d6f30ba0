#include "progress.hpp"

#include <string>  // std::string

namespace cli {

namespace {

constexpr std::size_t bar_width = 30;

}  // namespace

ProgressBar::~ProgressBar()
{
    if (drawn_) {
        err_ << "\r\033[K" << std::flush;  // back to the line's start, erase to its end
    }
}

void ProgressBar::operator()(std::size_t done, std::size_t total)
{
    if (!enabled_ || total == 0) {
        return;
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = secs > 0 ? static_cast<double>(done) / secs : 0;
    const std::size_t filled = bar_width * done / total;
    err_ << "\r[" << std::string(filled, '=') << std::string(bar_width - filled, ' ') << "] "
         << done << '/' << total << " files, " << static_cast<long>(rate) << " files/s";
    if (rate > 0) {
        err_ << ", " << static_cast<long>(static_cast<double>(total - done) / rate) << " s left";
    }
    err_ << "\033[K" << std::flush;
    drawn_ = true;
}

}  // namespace cli
