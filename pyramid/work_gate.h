/*
 * work_gate.h - how many tiles a level makes (decodes, transcodes,
 * encodes) at once, and the gate that holds the others back.
 *
 * A level's 64 workers fetch; only the few inside the gate make a tile,
 * each in a slot of its own that keeps a set of codecs for the tiles made
 * there. A worker waits at the gate with what it fetched, never with a
 * tile's coefficients or decoded pixels, and only as many codecs exist as
 * there are slots.
 */
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

namespace nvx::pyramid {

// The CPUs this process may use (at least 1): the one place that counts them.
int UsableCpus();

// How many tiles a level makes at once: two for each usable CPU, so that a
// maker that stalls (a page fault, a preempted thread) leaves no CPU idle.
int TilesMadeAtOnce();

class WorkGate {
public:
    // The most a gate lets in: a level has no more workers than this.
    static constexpr int kMostInside = 64;

    // A gate with `inside` slots (1 to kMostInside).
    explicit WorkGate(int inside);
    WorkGate(const WorkGate&) = delete;
    WorkGate& operator=(const WorkGate&) = delete;

    int Slots() const { return slots_; }

    // A slot of the gate from its making to its end; waits at the gate until
    // one is free. No two passes that live at once hold the same slot.
    class Pass {
    public:
        explicit Pass(WorkGate* gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        // 0 to Slots() - 1.
        int Slot() const { return slot_; }

    private:
        WorkGate* gate_;
        int slot_;
    };

private:
    const int slots_;
    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<int> free_;  // the slots nobody holds
};

}  // namespace nvx::pyramid
