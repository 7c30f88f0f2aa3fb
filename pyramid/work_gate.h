/*
 * work_gate.h - how many tiles a level fetches and makes (decodes,
 * transcodes, encodes) at once, and the gate that holds the others back.
 *
 * A level's 64 workers take tiles; only the few inside the gate fetch and
 * make one, each in a slot of its own that keeps a set of codecs for the
 * tiles made there. The fetch is inside, for the slide library decodes and
 * resamples on the thread that fetches: the gate is the one limit on the
 * CPUs a level keeps busy. A worker waits at the gate with nothing fetched,
 * never with a tile's coefficients or decoded pixels, and only as many
 * codecs exist as there are slots.
 *
 * A freed slot goes to the waiting worker whose tile comes first in the
 * file, handed over directly. Tiles are written in order, so every tile
 * made before the one the file waits for is held until that one is made:
 * a gate that let workers in at random could leave that tile waiting while
 * thousands of later ones, made in microseconds each (copied tiles), pile
 * up behind it.
 */
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nvx::pyramid {

// The CPUs this process may use (at least 1): the one place that counts them.
// The fewest of the hardware threads, the CPUs of the process's affinity mask,
// its cgroup's CPU quota (rounded up) and the limit set below.
int UsableCpus();

// Holds UsableCpus() to at most `cpus` (--threads) for the rest of the
// process; a limit above what the process may use changes nothing.
void LimitUsableCpus(int cpus);

// The CPUs a cgroup's quota allows, rounded up: from cgroup v2's cpu.max
// ("max 100000", "150000 100000") or cgroup v1's cpu.cfs_quota_us and
// cpu.cfs_period_us. None for no quota ("max", a quota of -1) and for text
// that is not a quota.
std::optional<int> CpusOfCpuMax(std::string_view cpuMax);
std::optional<int> CpusOfCfsQuota(std::string_view quotaUs, std::string_view periodUs);

// The directory of this process's cgroup, from /proc/self/cgroup's text:
// cgroup v2's "0::/path", or for v1 the path of the hierarchy that holds the
// cpu controller (`v1` set). None when neither is there.
struct CgroupPath {
    std::string path;
    bool v1 = false;
};
std::optional<CgroupPath> CpuCgroupOf(std::string_view procSelfCgroup);

// How many tiles a level makes at once: two for each usable CPU, so that a
// maker that stalls (a page fault, a preempted thread) leaves no CPU idle;
// one for each under a limit below the CPUs the system gives the process
// (--threads), which nothing but the gate holds the run to.
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
    // The passes waiting for a slot.
    int Waiting();

    // A slot of the gate from its making to its end; waits at the gate until
    // one is free and no waiting pass of a lower `order` (the tile's number)
    // is before it. No two passes that live at once hold the same slot.
    class Pass {
    public:
        explicit Pass(WorkGate* gate, std::int64_t order = 0);
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
    // A pass waiting for a slot; the pass that frees one fills in `slot`.
    struct Waiter {
        int slot = -1;
        std::condition_variable handedOver;
    };

    const int slots_;
    std::mutex mutex_;
    std::vector<int> free_;                         // the slots nobody holds
    std::multimap<std::int64_t, Waiter*> waiting_;  // by order: the first is served first
};

}  // namespace nvx::pyramid
