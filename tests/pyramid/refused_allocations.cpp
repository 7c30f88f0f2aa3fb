/*
 * refused_allocations.cpp - the pyramid tests' own operator new[] and
 * delete[]: malloc and free, unless a RefuseTileBuffers says to fail.
 */
#include "tests/pyramid/refused_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace nvx::pyramid::testing {
namespace {

std::atomic<std::size_t> gRefuseFrom{0};  // 0: refuse nothing

}  // namespace

RefuseTileBuffers::RefuseTileBuffers(std::size_t fromBytes) { gRefuseFrom.store(fromBytes); }

RefuseTileBuffers::~RefuseTileBuffers() { gRefuseFrom.store(0); }

}  // namespace nvx::pyramid::testing

void* operator new[](std::size_t bytes) {
    const std::size_t refuseFrom = nvx::pyramid::testing::gRefuseFrom.load();
    if (refuseFrom != 0 && bytes >= refuseFrom) throw std::bad_alloc();
    if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) return memory;
    throw std::bad_alloc();
}

void operator delete[](void* memory) noexcept { std::free(memory); }

void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
