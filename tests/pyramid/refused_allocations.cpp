/*
 * refused_allocations.cpp - the pyramid tests' own operator new and new[]
 * and their deletes: malloc and free, unless a RefuseTileBuffers says to
 * fail.
 */
#include "tests/pyramid/refused_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace nvx::pyramid::testing {
namespace {

std::atomic<std::size_t> gRefuseFrom{0};  // 0: refuse nothing
std::atomic<bool> gVectorsToo{false};

}  // namespace

RefuseTileBuffers::RefuseTileBuffers(std::size_t fromBytes, bool vectorsToo) {
    gVectorsToo.store(vectorsToo);
    gRefuseFrom.store(fromBytes);
}

RefuseTileBuffers::~RefuseTileBuffers() {
    gRefuseFrom.store(0);
    gVectorsToo.store(false);
}

}  // namespace nvx::pyramid::testing

namespace {

void* Allocate(std::size_t bytes, bool array) {
    using namespace nvx::pyramid::testing;
    const std::size_t refuseFrom = gRefuseFrom.load();
    if (refuseFrom != 0 && bytes >= refuseFrom && (array || gVectorsToo.load())) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) return memory;
    throw std::bad_alloc();
}

}  // namespace

void* operator new[](std::size_t bytes) { return Allocate(bytes, true); }

void* operator new(std::size_t bytes) { return Allocate(bytes, false); }

void operator delete(void* memory) noexcept { std::free(memory); }

void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

void operator delete[](void* memory) noexcept { std::free(memory); }

void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
