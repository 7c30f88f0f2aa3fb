/*
 * refused_allocations.h - makes the tile workers run out of memory on
 * purpose: while a RefuseTileBuffers lives, every array of at least the
 * given bytes that the test binary allocates with new[] (the tile workers'
 * pixel buffers) fails with std::bad_alloc. The binary's operator new[]
 * (refused_allocations.cpp) checks it.
 */
#pragma once

#include <cstddef>

namespace nvx::pyramid::testing {

class RefuseTileBuffers {
public:
    explicit RefuseTileBuffers(std::size_t fromBytes);
    ~RefuseTileBuffers();
    RefuseTileBuffers(const RefuseTileBuffers&) = delete;
    RefuseTileBuffers& operator=(const RefuseTileBuffers&) = delete;
};

}  // namespace nvx::pyramid::testing
