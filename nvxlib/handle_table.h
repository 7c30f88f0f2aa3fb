/*
 * handle_table.h - the process-wide table from small integer handles to open
 * slides. A fetch takes a shared reference to its slide under the table's
 * lock and works without it, so a slide closed while a fetch runs lives
 * until that fetch ends.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "nvxlib/slide_reader.h"

namespace nvx {

class HandleTable {
public:
    // A new handle (>= 1), or 0 when the table is full.
    int32_t Add(std::shared_ptr<const SlideReader> slide);
    std::shared_ptr<const SlideReader> Find(int32_t handle) const;
    bool Remove(int32_t handle);

    static HandleTable& Instance();

private:
    mutable std::mutex mutex_;
    int32_t next_ = 1;
    std::unordered_map<int32_t, std::shared_ptr<const SlideReader>> slides_;
};

}  // namespace nvx
