/*
 * held_bytes.cpp - the count of large blocks: glibc's allocator under
 * malloc, calloc, realloc, free and the aligned allocations, or the
 * sanitizer's malloc and free hooks. A block's size is read from the
 * allocator both when it comes and when it goes, so the two always agree.
 */
#include "tests/pyramid/held_bytes.h"

#include <atomic>
#include <cerrno>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NVX_SANITIZED_ALLOCATOR 1
#else
#include <malloc.h>

#include <cstdlib>
#endif

namespace nvx::pyramid::testing {
namespace {

std::atomic<std::size_t> gHeld{0};
std::atomic<std::size_t> gPeak{0};

void Came(std::size_t bytes) {
    if (bytes < kCountedBlockBytes) return;
    const std::size_t now = gHeld.fetch_add(bytes) + bytes;
    std::size_t peak = gPeak.load();
    while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
    }
}

void Went(std::size_t bytes) {
    if (bytes >= kCountedBlockBytes) gHeld.fetch_sub(bytes);
}

}  // namespace

std::size_t HeldBytes() { return gHeld.load(); }
std::size_t PeakHeldBytes() { return gPeak.load(); }
void RestartPeak() { gPeak.store(gHeld.load()); }

}  // namespace nvx::pyramid::testing

using nvx::pyramid::testing::Came;
using nvx::pyramid::testing::Went;

#if defined(NVX_SANITIZED_ALLOCATOR)

extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                  std::size_t),
                                              void (*free_hook)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* pointer);
}

namespace {

void OnMalloc(const volatile void* pointer, std::size_t bytes) {
    if (pointer != nullptr) Came(bytes);
}

// Called before the block is freed: its size is still there.
void OnFree(const volatile void* pointer) {
    if (pointer != nullptr) Went(__sanitizer_get_allocated_size(pointer));
}

[[maybe_unused]] const int gHooked = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);

}  // namespace

#else

// glibc's own allocator, beneath the replacements below.
// NOLINTBEGIN(readability-identifier-naming)
extern "C" {
void* __libc_malloc(std::size_t bytes) noexcept;
void* __libc_calloc(std::size_t count, std::size_t bytes) noexcept;
void* __libc_realloc(void* pointer, std::size_t bytes) noexcept;
void* __libc_memalign(std::size_t alignment, std::size_t bytes) noexcept;
void __libc_free(void* pointer) noexcept;
}
// NOLINTEND(readability-identifier-naming)

namespace {

void* Counted(void* pointer) {
    if (pointer != nullptr) Came(malloc_usable_size(pointer));
    return pointer;
}

}  // namespace

extern "C" {

void* malloc(std::size_t bytes) noexcept { return Counted(__libc_malloc(bytes)); }

void* calloc(std::size_t count, std::size_t bytes) noexcept {
    return Counted(__libc_calloc(count, bytes));
}

void* realloc(void* pointer, std::size_t bytes) noexcept {
    const std::size_t before = pointer != nullptr ? malloc_usable_size(pointer) : 0;
    void* moved = __libc_realloc(pointer, bytes);
    // A failed realloc leaves the block as it was; one to 0 bytes frees it.
    if (moved == nullptr && bytes != 0) return nullptr;
    Went(before);
    return Counted(moved);
}

void free(void* pointer) noexcept {
    if (pointer != nullptr) Went(malloc_usable_size(pointer));
    __libc_free(pointer);
}

void* memalign(std::size_t alignment, std::size_t bytes) noexcept {
    return Counted(__libc_memalign(alignment, bytes));
}

void* aligned_alloc(std::size_t alignment, std::size_t bytes) noexcept {
    return Counted(__libc_memalign(alignment, bytes));
}

int posix_memalign(void** pointer, std::size_t alignment, std::size_t bytes) noexcept {
    void* block = __libc_memalign(alignment, bytes);
    if (block == nullptr) return ENOMEM;
    *pointer = Counted(block);
    return 0;
}

void* valloc(std::size_t bytes) noexcept { return Counted(__libc_memalign(4096, bytes)); }

}  // extern "C"

#endif
