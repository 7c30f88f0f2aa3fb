/*
 * progress_bar.cpp - drawing of the progress bar.
 */
#include "tools/progress_bar.h"

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace nvxmake {

ProgressBar::ProgressBar(std::string title, uint64_t total)
    : title_(std::move(title)), total_(total == 0 ? 1 : total), terminal_(isatty(2) != 0) {
    Draw(0);
}

ProgressBar::~ProgressBar() {
    if (shown_ < 100 && terminal_) Draw(100);
    if (terminal_) std::fputc('\n', stderr);
}

void ProgressBar::Advance(uint64_t amount) {
    done_ += amount;
    const int percent = static_cast<int>(std::min<uint64_t>(100, done_ * 100 / total_));
    if (percent != shown_) Draw(percent);
}

void ProgressBar::Draw(int percent) {
    if (!terminal_) {
        if (percent / 10 != shown_ / 10 || shown_ < 0)
            std::fprintf(stderr, "%s %d%%\n", title_.c_str(), percent / 10 * 10);
        shown_ = percent;
        return;
    }
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", title_.c_str(), filled,
                 "########################################", kWidth - filled, "", percent);
    std::fflush(stderr);
    shown_ = percent;
}

}  // namespace nvxmake
