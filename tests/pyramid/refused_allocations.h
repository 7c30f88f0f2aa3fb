/*
 * refused_allocations.h - makes the tile workers run out of memory on
 * purpose: while a RefuseTileBuffers lives, every array of at least the
 * given bytes that the test binary allocates with new[] (the tile workers'
 * pixel buffers) fails with std::bad_alloc, and with `vectorsToo` every
 * block of that size from plain new as well (what std::vector takes: the
 * codecs' stream buffers). The binary's operators (refused_allocations.cpp)
 * check it. The fake slide library, loaded into the binary, gets its
 * vectors from the same operator new: with `vectorsToo`, test the codecs on
 * their own, not a conversion.
 */
#pragma once

#include <cstddef>

namespace nvx::pyramid::testing {

class RefuseTileBuffers {
public:
    explicit RefuseTileBuffers(std::size_t fromBytes, bool vectorsToo = false);
    ~RefuseTileBuffers();
    RefuseTileBuffers(const RefuseTileBuffers&) = delete;
    RefuseTileBuffers& operator=(const RefuseTileBuffers&) = delete;
};

}  // namespace nvx::pyramid::testing
