/*
 * work_gate_test.cpp - the gate lets in no more than its room, holds the
 * rest until a pass ends, and a null gate holds nobody.
 */
#include "pyramid/work_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

namespace nvx::pyramid {
namespace {

TEST(WorkGateTest, NoMoreInsideThanItsRoom) {
    WorkGate gate(3);
    std::atomic<int> inside{0}, most{0}, passes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t) {
        threads.emplace_back([&] {
            for (int n = 0; n < 100; ++n) {
                const WorkGate::Pass pass(&gate);
                const int now = ++inside;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                --inside;
                ++passes;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LE(most.load(), 3);
    EXPECT_EQ(passes.load(), 1200);
}

TEST(WorkGateTest, WaitsUntilAPassEndsAndANullGateHoldsNobody) {
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

    const WorkGate::Pass first(nullptr), second(nullptr);  // would block on a gate of one

    EXPECT_GE(WorkGate::ForThisMachine(), 2);
    EXPECT_LE(WorkGate::ForThisMachine(), WorkGate::kMostInside);
}

}  // namespace
}  // namespace nvx::pyramid
