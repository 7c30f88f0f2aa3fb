/*
 * work_gate_test.cpp - the gate lets in no more than its slots, never two
 * in one slot, holds the rest until a pass ends, and lets the first tile
 * waiting in first.
 */
#include "pyramid/work_gate.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nvx::pyramid {
namespace {

TEST(WorkGateTest, NoMoreInsideThanItsSlotsAndNeverTwoInOne) {
    WorkGate gate(3);
    ASSERT_EQ(gate.Slots(), 3);
    std::array<std::atomic<int>, 3> inSlot{};
    std::atomic<int> inside{0}, most{0}, passes{0}, shared{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t) {
        threads.emplace_back([&] {
            for (int n = 0; n < 100; ++n) {
                const WorkGate::Pass pass(&gate);
                if (++inSlot.at(static_cast<std::size_t>(pass.Slot())) != 1) ++shared;
                const int now = ++inside;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                --inside;
                --inSlot.at(static_cast<std::size_t>(pass.Slot()));
                ++passes;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LE(most.load(), 3);
    EXPECT_EQ(shared.load(), 0);
    EXPECT_EQ(passes.load(), 1200);
}

TEST(WorkGateTest, WaitsUntilAPassEnds) {
    WorkGate gate(1);
    std::atomic<bool> through{false};
    std::optional<WorkGate::Pass> mine(&gate);
    std::thread other([&] {
        const WorkGate::Pass pass(&gate);
        through = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(through.load());
    mine.reset();
    other.join();
    EXPECT_TRUE(through.load());
}

// Tiles are written in order, so the tile the file waits for must not wait
// at the gate behind later ones: they arrive here last first.
TEST(WorkGateTest, AFreedSlotGoesToTheFirstTileWaiting) {
    WorkGate gate(1);
    std::optional<WorkGate::Pass> mine(std::in_place, &gate, 0);
    std::mutex mutex;
    std::vector<std::int64_t> entered;
    std::vector<std::thread> threads;
    for (const std::int64_t order : {9, 5, 7, 3}) {
        const int before = gate.Waiting();
        threads.emplace_back([&, order] {
            const WorkGate::Pass pass(&gate, order);
            const std::lock_guard<std::mutex> lock(mutex);
            entered.push_back(order);
        });
        while (gate.Waiting() == before) std::this_thread::yield();
    }
    mine.reset();
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(entered, (std::vector<std::int64_t>{3, 5, 7, 9}));
}

struct QuotaRow {
    const char* name;
    const char* cpuMax;
    std::optional<int> cpus;
};

TEST(WorkGateTest, CgroupQuotaIsReadAsTheCpusItKeepsBusy) {
    const QuotaRow rows[] = {
        {"no quota", "max 100000\n", std::nullopt},
        {"one and a half rounds up", "150000 100000\n", 2},
        {"half a CPU is one", "50000 100000\n", 1},
        {"whole CPUs", "400000 100000", 4},
        {"quota alone", "150000\n", std::nullopt},
        {"words", "lots 100000\n", std::nullopt},
        {"zero period", "100000 0\n", std::nullopt},
        {"negative quota", "-1 100000\n", std::nullopt},
        {"text after the period", "150000 100000x\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CpusOfCpuMax(row.cpuMax), row.cpus);
    }
    // cgroup v1 keeps the two numbers in two files; -1 is no quota.
    EXPECT_EQ(CpusOfCfsQuota("250000\n", "100000\n"), 3);
    EXPECT_EQ(CpusOfCfsQuota("-1\n", "100000\n"), std::nullopt);
}

struct CgroupRow {
    const char* name;
    const char* procSelfCgroup;
    std::optional<std::string> path;
    bool v1;
};

TEST(WorkGateTest, TheCgroupThatHoldsTheCpuQuota) {
    const CgroupRow rows[] = {
        {"unified", "0::/user.slice/job_42\n", "/user.slice/job_42", false},
        {"v1 cpu beside cpuacct",
         "12:memory:/slurm/job\n4:cpu,cpuacct:/slurm/job_7\n1:name=systemd:/x\n", "/slurm/job_7",
         true},
        {"hybrid: the v1 cpu controller wins", "0::/a\n3:cpuacct,cpu:/b\n", "/b", true},
        {"cpuset is not cpu", "5:cpuset:/c\n", std::nullopt, false},
        {"malformed", "garbage\n", std::nullopt, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto cgroup = CpuCgroupOf(row.procSelfCgroup);
        ASSERT_EQ(cgroup.has_value(), row.path.has_value());
        if (!cgroup) continue;
        EXPECT_EQ(cgroup->path, *row.path);
        EXPECT_EQ(cgroup->v1, row.v1);
    }
}

TEST(WorkGateTest, ALimitOnlyLowersTheCpus) {
    const int cpus = UsableCpus();
    LimitUsableCpus(cpus + 5);
    EXPECT_EQ(UsableCpus(), cpus);
    EXPECT_EQ(TilesMadeAtOnce(), std::min(2 * cpus, WorkGate::kMostInside));
    LimitUsableCpus(1);
    EXPECT_EQ(UsableCpus(), 1);
    // Only the gate holds the run to one CPU where the system gives more.
    EXPECT_EQ(TilesMadeAtOnce(), cpus > 1 ? 1 : 2);
    LimitUsableCpus(std::numeric_limits<int>::max());
    EXPECT_EQ(UsableCpus(), cpus);
}

}  // namespace
}  // namespace nvx::pyramid
