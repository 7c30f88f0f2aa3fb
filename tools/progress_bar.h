/*
 * progress_bar.h - a one-line progress bar on standard error for long work.
 * Redrawn only when the shown percentage changes, so it costs nothing per
 * tile; on a terminal it rewrites its line, elsewhere it prints every 10%.
 */
#pragma once

#include <cstdint>
#include <string>

namespace nvxmake {

class ProgressBar {
public:
    ProgressBar(std::string title, uint64_t total);
    ~ProgressBar();  // ends the line
    void Advance(uint64_t amount = 1);

private:
    void Draw(int percent);
    std::string title_;
    uint64_t total_;
    uint64_t done_ = 0;
    int shown_ = -1;
    bool terminal_;
};

}  // namespace nvxmake
