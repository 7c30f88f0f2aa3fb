/*
 * work_gate_test.cpp - the gate lets in no more than its slots, never two
 * in one slot, and holds the rest until a pass ends.
 */
#include "pyramid/work_gate.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <optional>
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

}  // namespace
}  // namespace nvx::pyramid
