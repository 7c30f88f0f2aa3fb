/*
 * work_gate.cpp - the CPU count, and the gate's slots under a lock.
 */
#include "pyramid/work_gate.h"

#include <algorithm>
#include <thread>

namespace nvx::pyramid {

int UsableCpus() {
    // hardware_concurrency is 0 where the system does not say.
    return std::max(static_cast<int>(std::thread::hardware_concurrency()), 1);
}

int TilesMadeAtOnce() { return std::clamp(2 * UsableCpus(), 2, WorkGate::kMostInside); }

WorkGate::WorkGate(int inside) : slots_(std::clamp(inside, 1, kMostInside)) {
    free_.reserve(static_cast<std::size_t>(slots_));
    // Handed out from the back: slot 0 first.
    for (int slot = slots_ - 1; slot >= 0; --slot) free_.push_back(slot);
}

WorkGate::Pass::Pass(WorkGate* gate) : gate_(gate) {
    std::unique_lock<std::mutex> lock(gate_->mutex_);
    gate_->freed_.wait(lock, [this] { return !gate_->free_.empty(); });
    slot_ = gate_->free_.back();
    gate_->free_.pop_back();
}

WorkGate::Pass::~Pass() {
    {
        const std::lock_guard<std::mutex> lock(gate_->mutex_);
        // Never grows: the slot came from this vector.
        gate_->free_.push_back(slot_);
    }
    gate_->freed_.notify_one();
}

}  // namespace nvx::pyramid
