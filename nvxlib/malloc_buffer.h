/*
 * malloc_buffer.h - a byte buffer from malloc, owned by a unique_ptr until
 * it is handed across the C interface, where NvxReleaseBuffer frees it.
 * malloc/free keep the release free of any bookkeeping, so buffers can be
 * released from any thread in any order.
 */
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace nvx {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

struct MallocBuffer {
    std::unique_ptr<uint8_t, FreeDeleter> data;
    size_t size = 0;

    explicit operator bool() const { return data != nullptr; }
};

// nullptr data on allocation failure (or size 0).
inline MallocBuffer AllocateBuffer(size_t size) {
    MallocBuffer b;
    if (size == 0) return b;
    b.data.reset(static_cast<uint8_t*>(std::malloc(size)));
    if (b.data) b.size = size;
    return b;
}

}  // namespace nvx
