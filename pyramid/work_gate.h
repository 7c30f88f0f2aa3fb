/*
 * work_gate.h - lets at most a few of a level's workers make tiles (decode,
 * transcode, encode) at once.
 *
 * A level has 64 workers whatever the machine, so that fetches that wait
 * for the disk leave the cores busy. On a few cores most of them are off
 * the CPU at any moment, and a worker taken off in the middle of a tile
 * holds that tile's pixels or coefficients meanwhile: some 60 tiles' worth
 * of working memory for two cores' work, and caches that hold none of it
 * when the worker comes back. Behind the gate a worker waits with only the
 * stored stream it fetched; the ones inside keep the cores busy.
 */
#pragma once

#include <semaphore>

namespace nvx::pyramid {

class WorkGate {
public:
    // The most a gate lets in: more than a level's workers is never needed.
    static constexpr int kMostInside = 64;

    explicit WorkGate(int inside);
    WorkGate(const WorkGate&) = delete;
    WorkGate& operator=(const WorkGate&) = delete;

    // How many a level lets in on this machine: twice its hardware threads,
    // so that a worker that stalls inside (a page fault) leaves no core idle.
    static int ForThisMachine();

    // Inside the gate from its making to its end; waits at the gate until
    // there is room. A null gate lets everyone in.
    class Pass {
    public:
        explicit Pass(WorkGate* gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

    private:
        WorkGate* gate_;
    };

private:
    std::counting_semaphore<kMostInside> room_;
};

}  // namespace nvx::pyramid
