/*
 * handle_table.cpp - handle allocation. Handles count up and are not reused
 * until the counter wraps, so a stale handle of a closed slide does not
 * silently reach a slide opened later.
 */
#include "nvxlib/handle_table.h"

#include <limits>

namespace nvx {

int32_t HandleTable::Add(std::shared_ptr<const SlideReader> slide) {
    std::lock_guard lock(mutex_);
    for (int tries = 0; tries < 1000; ++tries) {
        const int32_t h = next_;
        next_ = next_ == std::numeric_limits<int32_t>::max() ? 1 : next_ + 1;
        if (!slides_.contains(h)) {
            slides_.emplace(h, std::move(slide));
            return h;
        }
    }
    return 0;
}

std::shared_ptr<const SlideReader> HandleTable::Find(int32_t handle) const {
    std::lock_guard lock(mutex_);
    auto it = slides_.find(handle);
    return it == slides_.end() ? nullptr : it->second;
}

bool HandleTable::Remove(int32_t handle) {
    std::lock_guard lock(mutex_);
    return slides_.erase(handle) == 1;
}

HandleTable& HandleTable::Instance() {
    static HandleTable table;
    return table;
}

}  // namespace nvx
