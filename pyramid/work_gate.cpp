/*
 * work_gate.cpp - the gate on a counting semaphore.
 */
#include "pyramid/work_gate.h"

#include <algorithm>
#include <thread>

namespace nvx::pyramid {

WorkGate::WorkGate(int inside) : room_(std::clamp(inside, 1, kMostInside)) {}

int WorkGate::ForThisMachine() {
    const auto threads = static_cast<int>(std::thread::hardware_concurrency());
    // hardware_concurrency is 0 where the system does not say.
    return std::clamp(2 * std::max(threads, 1), 2, kMostInside);
}

WorkGate::Pass::Pass(WorkGate* gate) : gate_(gate) {
    if (gate_ != nullptr) gate_->room_.acquire();
}

WorkGate::Pass::~Pass() {
    if (gate_ != nullptr) gate_->room_.release();
}

}  // namespace nvx::pyramid
